#pragma once
// The controller's operations over its bus: firmware upgrade, configuration, diagnostics, logs and
// reset. All but the reset run inside the maintenance bracket: ARP flush, stop the daemon, start
// the updater, the work, stop the updater, start the daemon.
//
// Configuration, diagnostics and each log block pass through one transfer area of controller
// memory, chosen by the command sent before: a big-endian length word at 0, then the text at 4.

#include "operations/deviceoperation.h"
#include "operations/firmwareimage.h"
#include "protocol/wire.h"

#include <QByteArray>
#include <QByteArrayView>

// The transfer area holds a 4-byte length word, then the text, within the bus's 24-bit space.
constexpr quint32 MaxConfigTextSize = Wire::Bus::AddressSpace - 4;

// The whole content of a file; a file that cannot be opened, or reads shorter than its size,
// raises TarvinoError.
QByteArray LoadFileData(const QString &fileName);
// Why an image cannot be sent (empty, or past the 24-bit address range); empty when it can.
QString FirmwareImageProblem(const QString &fileName, qint64 size);
// The verify message for a read-back that differs from the image; empty when they are equal.
QString VerifyErrorText(QByteArrayView image, QByteArrayView readBack);
QString ConfigTooLongMessage(qsizetype size);
// What differs between a configuration written and the one read back (the first differing byte's
// offset and line, the line as written and as read); empty when they are equal.
QString ConfigDifference(QByteArrayView written, QByteArrayView readBack);

// Writes an image from address 0, reads it back, compares, and takes the controller into update
// mode. Asks for confirmation first.
class TControllerUpgrade final : public TDeviceOperation
{
    Q_OBJECT
public:
    ~TControllerUpgrade() override { stopWorker(); }
    // The file is read when the operation runs.
    TControllerUpgrade(TDatagramEngine *engine, const TDeviceTarget &target, const QString &fileName,
                       const TOperationTiming &timing = {}, QObject *parent = nullptr);
    // An image read once for a whole run of devices.
    TControllerUpgrade(TDatagramEngine *engine, const TDeviceTarget &target, const TFirmwareImage &image,
                       const TOperationTiming &timing = {}, QObject *parent = nullptr);
    QString payloadSha256() const override { return m_image.sha256(); }
    QString title() const override { return QStringLiteral("Controller upgrade"); }
    bool needsConfirmation() const override { return true; }
    const QString &fileName() const { return m_fileName; }
    // The image, once read (at once for an image given, when the operation runs for a file name).
    const TFirmwareImage &image() const { return m_image; }
    // The type of the device, from its discovery record: a library image is sent only to a
    // device of one of its types, and to none when this was not given.
    void setDeviceType(const TDeviceTypeId &type) { m_deviceType = type; }

protected:
    void run(TDeviceSession &session) override;

private:
    bool transfer(TDeviceSession &session, TControllerBus &bus);
    QString m_fileName;
    TFirmwareImage m_image;
    std::optional<TDeviceTypeId> m_deviceType;
};

// The bracket around a piece of bus work. A failure shows the operation's failure message, after
// the device was put back as far as the bracket goes.
class TControllerBracketOperation : public TDeviceOperation
{
    Q_OBJECT
public:
    using TDeviceOperation::TDeviceOperation;

signals:
    // A text read from the transfer area: the whole configuration or diagnostics, or one log block
    // without its final CR LF. Emitted as soon as it is read, also when a later step fails.
    void textRead(const QByteArray &text);

protected:
    void run(TDeviceSession &session) override;
    virtual bool work(TDeviceSession &session) = 0;
    // Reads the transfer area after startCommand. A length of 0 fails unless emptyAllowed.
    bool readArea(TDeviceSession &session, TControllerBus &bus, quint8 startCommand, const QString &startLabel,
                  const QString &readLabel, QByteArray *text, bool emptyAllowed = false);
};

// Read Config, or Diagnose: the area's text after its begin command, then its end command.
class TReadControllerText final : public TControllerBracketOperation
{
    Q_OBJECT
public:
    ~TReadControllerText() override { stopWorker(); }
    enum class Kind { Configuration, Diagnostics };
    TReadControllerText(TDatagramEngine *engine, const TDeviceTarget &target, Kind kind, const TOperationTiming &timing = {},
                        QObject *parent = nullptr);
    QString title() const override;
    // Valid once finished; empty when the read failed.
    const QByteArray &text() const { return m_text; }
    Kind kind() const { return m_kind; }

protected:
    bool work(TDeviceSession &session) override;
    QString failureMessage() const override;

private:
    Kind m_kind;
    QByteArray m_text;
};

// Write Config: the text's length word, then the text, between the write's begin and end commands.
// Asks for confirmation first.
class TWriteConfig final : public TControllerBracketOperation
{
    Q_OBJECT
public:
    ~TWriteConfig() override { stopWorker(); }
    TWriteConfig(TDatagramEngine *engine, const TDeviceTarget &target, const QByteArray &text,
                 const TOperationTiming &timing = {}, QObject *parent = nullptr);
    QString title() const override { return QStringLiteral("Write configuration"); }
    bool needsConfirmation() const override { return true; }
    QString payloadSha256() const override { return m_sha256; }
    const QByteArray &text() const { return m_text; }

protected:
    bool work(TDeviceSession &session) override;
    QString failureMessage() const override { return QStringLiteral("Write Config Failed"); }

private:
    QByteArray m_text;
    QString m_sha256;
};

// Read Logs, and Erase Logs (erase, then read what is left).
class TReadLogs final : public TControllerBracketOperation
{
    Q_OBJECT
public:
    ~TReadLogs() override { stopWorker(); }
    TReadLogs(TDatagramEngine *engine, const TDeviceTarget &target, bool eraseFirst, const TOperationTiming &timing = {},
              QObject *parent = nullptr);
    QString title() const override;
    // The blocks read, in order (also those read before a failure).
    const QList<QByteArray> &blocks() const { return m_blocks; }

protected:
    bool work(TDeviceSession &session) override;
    QString failureMessage() const override { return QStringLiteral("Read Config Failed"); }

private:
    bool readLogs(TDeviceSession &session);
    bool eraseLogs(TDeviceSession &session);
    bool m_eraseFirst;
    QList<QByteArray> m_blocks;
};

// The controller's reset. Plain, it is the one bus command the window's Reset sends, which only
// a controller whose updater already runs answers; with the updater, it runs inside the bracket
// (stop the daemon, start the updater, reset, stop the updater, start the daemon), the device put
// back whatever step failed. Succeeds when the controller answered (and the device is back).
class TControllerReset final : public TDeviceOperation
{
    Q_OBJECT
public:
    enum class Mode { Plain, WithUpdater };
    // The failure of a plain reset that got no answer, and why that is the usual case.
    static const QString UnansweredText;

    ~TControllerReset() override { stopWorker(); }
    TControllerReset(TDatagramEngine *engine, const TDeviceTarget &target, Mode mode = Mode::Plain,
                     const TOperationTiming &timing = {}, QObject *parent = nullptr);
    QString title() const override;
    Mode mode() const { return m_mode; }

protected:
    void run(TDeviceSession &session) override;

private:
    bool resetOnBus(TDeviceSession &session);
    Mode m_mode;
};
