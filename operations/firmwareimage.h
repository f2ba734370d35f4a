#pragma once
// TFirmwareImage: an image file read once. A run over many devices sends every one of them the
// same bytes (shared, not copied), and the SHA-256 recorded for each is that of the bytes sent.
// An image taken from the firmware library also knows its version and the device types it is
// for: the image files carry no header naming their type, so this is the only thing that keeps a
// board image away from a device of another type.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

struct TDeviceRecord;
class TDeviceSession;

// A device's type as its discovery reply tells it: the type text (parameter 5, "Palimor P3") and
// the type code (parameter 13, 0x000B1156; -1 when not reported). Several types may share a code.
struct TDeviceTypeId
{
    QString name;
    qint64 code = -1;

    static TDeviceTypeId of(const TDeviceRecord &device);
    bool isKnown() const { return !name.isEmpty() || code >= 0; }
    // "Palimor P3 (0x000B1156)", "0x000C2001", "unknown type".
    QString text() const;
};

// Whether a type as a library names it describes the device's type: a code ("0x000B1156", or
// decimal digits) compares with the type code, anything else with the type text, case and
// surrounding spaces ignored.
bool DeviceTypeMatches(const QString &libraryType, const TDeviceTypeId &device);
// Whether the text is a type code ("0x" and 1..8 hexadecimal digits, or decimal digits), and its value.
bool ParseTypeCode(const QString &text, qint64 *code = nullptr);

class TFirmwareImage
{
public:
    TFirmwareImage() = default;
    // Reads the whole file; raises TarvinoError with the system's words when it cannot.
    static TFirmwareImage read(const QString &fileName);

    bool isNull() const { return m_fileName.isEmpty(); }
    const QString &fileName() const { return m_fileName; }
    const QByteArray &bytes() const { return m_bytes; }
    const QString &sha256() const { return m_sha256; }

    // Marks the image as the library's: its version there and the device types it is for.
    void setLibraryInfo(const QString &version, const QStringList &deviceTypes);
    bool isLibraryImage() const { return !m_deviceTypes.isEmpty(); }
    const QString &libraryVersion() const { return m_libraryVersion; }
    const QStringList &deviceTypes() const { return m_deviceTypes; }
    // Empty when the image may be sent to a device of this type (always, for an image that is not
    // the library's); otherwise why not, in the words the window and the command line show.
    QString refusalFor(const TDeviceTypeId &type) const;

private:
    QString m_fileName;
    QByteArray m_bytes;
    QString m_sha256;
    QString m_libraryVersion;
    QStringList m_deviceTypes;
};

// The check both upgrades make before their first request: a library image goes only to a device
// whose type the caller gave and the image is for. True when the image was refused: the outcome
// then says why (a file error at "Image check") and nothing was sent.
bool RefusedForDeviceType(TDeviceSession &session, const TFirmwareImage &image,
                          const std::optional<TDeviceTypeId> &deviceType);
