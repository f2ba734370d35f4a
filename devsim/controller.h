#pragma once
// The controller behind a device's communication board, as the controller bus sees it:
// frames in, frames out, and a memory with a firmware area and a transfer area.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

namespace DevSim {

// One request frame of the controller bus, decoded.
struct BusRequest
{
    quint8 unit = 0;
    quint8 function = 0;
    quint8 subCommand = 0; // function 0x64 only
    quint32 address = 0;   // functions 0x6E and 0x6F: 24 bits
    int count = 0;         // functions 0x6E and 0x6F: 1..128
    QByteArray data;       // function 0x6F: the bytes to write
};

struct BusDecodeResult
{
    std::optional<BusRequest> request;
    QString error; // why a frame was refused, when request is empty
};

// Checks the CRC, the length that the function code implies, the block marker and the
// count. A device answers nothing to a frame refused here.
BusDecodeResult decodeBusRequest(QByteArrayView frame);

class ControllerMemory
{
public:
    // What address 0 shows: the firmware area, or the transfer area filled with a text.
    enum class View { Firmware, Configuration, Diagnostics, Log, ConfigurationWrite };

    static constexpr quint32 FirmwareAreaSize = 1u << 24;

    void setConfiguration(const QByteArray &text) { m_configuration = text; }
    void setDiagnostics(const QByteArray &text) { m_diagnostics = text; }
    void setLogBlocks(const QList<QByteArray> &blocks);
    // When set, 0xD6 removes the block just read instead of moving past it.
    void setLogsConsumed(bool consumed) { m_logsConsumed = consumed; }

    // Carries out a decoded request and returns the reply frame, CRC included. A read
    // that covers corruptAddress returns that byte inverted (with a correct CRC).
    QByteArray execute(const BusRequest &request, std::optional<quint32> corruptAddress = {});

    // The power went: a transfer in progress is lost, the firmware area keeps what was written.
    void powerLost();

    View view() const { return m_view; }
    const QByteArray &configuration() const { return m_configuration; }
    const QByteArray &diagnostics() const { return m_diagnostics; }
    const QList<QByteArray> &logBlocks() const { return m_logBlocks; }
    int logCursor() const { return m_logCursor; }
    const QByteArray &firmware() const { return m_firmware; }
    int configurationWrites() const { return m_configurationWrites; }
    int updateModeCount() const { return m_updateModeCount; }
    const QByteArray &updateImage() const { return m_updateImage; }

    static QString viewName(View view);

private:
    QByteArray transferArea() const; // length word then text, for the text views
    QByteArray read(quint32 address, int count) const;
    void write(quint32 address, const QByteArray &data);
    void command(quint8 subCommand);

    View m_view = View::Firmware;
    QByteArray m_configuration;
    QByteArray m_diagnostics;
    QList<QByteArray> m_logBlocks;
    int m_logCursor = 0;
    bool m_logsConsumed = false;
    QByteArray m_pendingConfiguration; // the transfer area as written after 0xD0
    QByteArray m_firmware;             // written bytes from address 0; unwritten flash reads 0xFF
    int m_configurationWrites = 0;
    int m_updateModeCount = 0;
    QByteArray m_updateImage;
};

} // namespace DevSim
