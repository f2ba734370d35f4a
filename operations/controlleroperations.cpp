#include "operations/controlleroperations.h"

#include "operations/devicesession.h"
#include "protocol/errors.h"
#include "protocol/tools.h"
#include "bus/controllerbus.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <optional>

namespace {

constexpr quint8 Unit = Wire::Bus::UnitAddress;
constexpr quint32 LengthAddress = 0;
constexpr int LengthSize = 4;
constexpr quint32 TextAddress = LengthAddress + LengthSize;
static_assert(MaxConfigTextSize == Wire::Bus::AddressSpace - TextAddress);

// A controller's log store holds far fewer blocks; a device that never reports the end would
// otherwise keep the operation busy for ever.
constexpr int MaxLogBlocks = 10000;

QString upperHex(qint64 value, int minimumDigits)
{
    return QStringLiteral("%1").arg(value, minimumDigits, 16, QLatin1Char('0')).toUpper();
}

// The name of a bus sub-command, as the failures name what got no answer.
QString subCommandName(quint8 subCommand)
{
    switch (subCommand) {
    case Wire::Bus::Reset: return QStringLiteral("Reset");
    case Wire::Bus::SetConfigStart: return QStringLiteral("SetConfigStart");
    case Wire::Bus::SetConfigStop: return QStringLiteral("SetConfigStop");
    case Wire::Bus::GetConfigStart: return QStringLiteral("GetConfigStart");
    case Wire::Bus::GetConfigStop: return QStringLiteral("GetConfigStop");
    case Wire::Bus::GetLogs: return QStringLiteral("GetLogs");
    case Wire::Bus::GetLogsStop: return QStringLiteral("GetLogsStop");
    case Wire::Bus::NextLogBlock: return QStringLiteral("NextLogBlock");
    case Wire::Bus::EraseLogs: return QStringLiteral("EraseLogs");
    case Wire::Bus::GetDiagnoseStart: return QStringLiteral("GetDiagnoseStart");
    case Wire::Bus::GetDiagnoseStop: return QStringLiteral("GetDiagnoseStop");
    case Wire::Bus::EnterUpdateMode: return QStringLiteral("EnterUpdateMode");
    default: return QStringLiteral("sub-command 0x%1").arg(subCommand, 2, 16, QLatin1Char('0'));
    }
}

// How long one attempt of a request waits for its reply, as TControllerBus reckons it.
int attemptMs(const TDeviceSession &session, const QByteArray &request, int replyDataLength)
{
    return ControllerBus::exchangeTimeoutMs(int(ControllerBus::seal(request).size()), replyDataLength, session.timing().bus.baseTimeoutMs);
}

// Marks the session failed at its step with what the bus did not answer, in the detail: the
// window's message stays the operation's own ("Read Config Failed").
void failOnBus(TDeviceSession &session, const TControllerBus &bus, const QString &request, int waitMs)
{
    session.fail({}, session.busNoAnswer(bus, request, waitMs));
}

// Reads count bytes at address; a failure is marked with what was read and what came instead.
QByteArray readOrFail(TDeviceSession &session, TControllerBus &bus, quint32 address, int count, const QString &what)
{
    QByteArray bytes = bus.ReadBlock(Unit, address, count);
    if (bytes.isEmpty() && count > 0 && !session.cancelled())
        failOnBus(session, bus, QStringLiteral("the read of %1 (%2 bytes at %3)").arg(what).arg(count).arg(address),
                  attemptMs(session, ControllerBus::readRequest(Unit, address, std::min(count, int(Wire::Bus::MaxChunk))),
                            ControllerBus::ReadReplyHeader + std::min(count, int(Wire::Bus::MaxChunk))));
    return bytes;
}

// The length word of the area; nothing when the read fails or when the length cannot be right
// (reading it would start over a hundred thousand exchanges for nothing).
std::optional<int> readAreaLength(TDeviceSession &session, TControllerBus &bus)
{
    const QByteArray word = readOrFail(session, bus, LengthAddress, LengthSize, QStringLiteral("the length word"));
    if (word.size() != LengthSize)
        return std::nullopt;
    const quint32 length = qFromBigEndian<quint32>(word.constData());
    if (length > MaxConfigTextSize) {
        session.fail({}, QStringLiteral("the length word reads %1, more than the %2 bytes the area holds")
                         .arg(length)
                         .arg(MaxConfigTextSize));
        return std::nullopt;
    }
    return static_cast<int>(length);
}

// A log block ends with CR LF more often than not; each block is one line.
QByteArray withoutFinalCrLf(const QByteArray &block)
{
    return block.endsWith("\r\n") ? block.chopped(2) : block;
}

// Sends a sub-command; when it gets no answer the session is marked failed with what was
// awaited and for how long.
bool commandAnswered(TDeviceSession &session, TControllerBus &bus, quint8 subCommand)
{
    if (!bus.SendCommand(Unit, subCommand).isEmpty())
        return true;
    if (!session.cancelled())
        failOnBus(session, bus, subCommandName(subCommand),
                  attemptMs(session, ControllerBus::commandRequest(Unit, subCommand), ControllerBus::CommandReplyData));
    return false;
}

} // namespace

QByteArray LoadFileData(const QString &fileName)
{
    const qint64 size = FileSizeOf(fileName);
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw TarvinoError(QStringLiteral("Cannot open %1: %2").arg(fileName, file.errorString()));
    QByteArray data = file.read(size);
    if (data.size() < size)
        throw TarvinoError(QStringLiteral("Read error on %1: %2").arg(fileName, file.errorString()));
    return data;
}

QString FirmwareImageProblem(const QString &fileName, qint64 size)
{
    // An empty image would read back empty, compare equal and take the controller into update
    // mode with no firmware at all; bytes past the 24-bit address range would wrap round onto
    // the start of the image.
    const QString name = QFileInfo(fileName).fileName();
    if (size <= 0)
        return QStringLiteral("The file %1 is empty: there is no firmware to write.").arg(name);
    if (size > qint64(Wire::Bus::AddressSpace))
        return QStringLiteral("The file %1 holds %2 bytes, more than the %3 bytes the controller can address.")
            .arg(name)
            .arg(size)
            .arg(Wire::Bus::AddressSpace);
    return {};
}

QString VerifyErrorText(QByteArrayView image, QByteArrayView readBack)
{
    const QString title = QStringLiteral("Verify Error");
    // A controller that stopped answering gives no read-back at all: nothing to point at.
    if (readBack.isEmpty())
        return image.isEmpty() ? QString() : title;
    const auto [written, read] = std::mismatch(image.begin(), image.end(), readBack.begin(), readBack.end());
    if (written == image.end() || read == readBack.end())
        return image.size() == readBack.size() ? QString() : title;
    // The spaces after "Write:" and "Read:" line the two values up.
    const QString lineEnd = QStringLiteral("\r\n");
    return title + lineEnd + QStringLiteral("Address: ") + upperHex(written - image.begin(), 4) + lineEnd
        + QStringLiteral("Write:   ") + upperHex(quint8(*written), 2) + lineEnd + QStringLiteral("Read:    ")
        + upperHex(quint8(*read), 2);
}

QString ConfigDifference(QByteArrayView written, QByteArrayView readBack)
{
    if (written == readBack)
        return {};
    const auto [w, r] = std::mismatch(written.begin(), written.end(), readBack.begin(), readBack.end());
    const qsizetype offset = w - written.begin();
    // The line around the offset, as written and as read, without its break.
    const auto lineAt = [offset](QByteArrayView text) {
        const qsizetype start = offset == 0 ? 0 : text.first(std::min(offset, text.size())).lastIndexOf('\n') + 1;
        qsizetype end = start;
        while (end < text.size() && text.at(end) != '\n' && text.at(end) != '\r')
            ++end;
        return QString::fromLatin1(text.sliced(start, end - start));
    };
    const qsizetype line = written.first(offset).count('\n') + 1;
    return QStringLiteral("The configuration read back differs from the one written at byte %1, line %2: "
                          "\"%3\" was written, \"%4\" read back (%5 bytes written, %6 read).")
        .arg(offset)
        .arg(line)
        .arg(lineAt(written), lineAt(readBack))
        .arg(written.size())
        .arg(readBack.size());
}

QString ConfigTooLongMessage(qsizetype size)
{
    return QStringLiteral("The text is %1 bytes long; the controller holds at most %2 bytes. Nothing was written.")
        .arg(size)
        .arg(MaxConfigTextSize);
}

// ---- Controller firmware upgrade ---------------------------------------------------------------

TControllerUpgrade::TControllerUpgrade(TDatagramEngine *engine, const TDeviceTarget &target, const QString &fileName,
                                       const TOperationTiming &timing, QObject *parent)
    : TDeviceOperation(engine, target, timing, parent), m_fileName(fileName)
{
}

TControllerUpgrade::TControllerUpgrade(TDatagramEngine *engine, const TDeviceTarget &target, const TFirmwareImage &image,
                                       const TOperationTiming &timing, QObject *parent)
    : TDeviceOperation(engine, target, timing, parent), m_fileName(image.fileName()), m_image(image)
{
}

void TControllerUpgrade::run(TDeviceSession &session)
{
    // Read once, before anything is sent: the bytes written, read back and recorded are the same.
    if (m_image.isNull())
        m_image = TFirmwareImage::read(m_fileName);
    if (RefusedForDeviceType(session, m_image, m_deviceType))
        return;
    session.flushArp();
    bool upgraded = false;
    try {
        // A controller left with a partial or unverified image must not stay in its transfer: the
        // bus work resets it whatever stopped the sequence.
        if (session.step(Wire::Command::StopDaemon) && session.step(Wire::Command::StartUpdater)
            && !session.cancelled())
            upgraded = session.busOperation([&](TControllerBus &bus) { return transfer(session, bus); });
    } catch (...) {
        session.restoreService();
        throw;
    }
    // Whatever happened, the updater is stopped and the daemon started again.
    if (session.restoreService() && upgraded)
        session.succeed();
}

// True only when every step ran: the image is in, verified, and the controller in update mode.
bool TControllerUpgrade::transfer(TDeviceSession &session, TControllerBus &bus)
{
    const QByteArray &image = m_image.bytes();
    const qint64 total = std::min<qint64>(image.size(), Wire::Bus::AddressSpace);
    qint64 done = 0;
    const TBlockProgressEvent progress = [&](int bytes) { emit progressed(done += bytes, total); };

    emit transferStarted(total);
    session.phase(QStringLiteral("Writing Code"));
    session.outcome().sentSha256 = m_image.sha256();
    // The file may have changed since it was checked.
    if (const QString problem = FirmwareImageProblem(m_fileName, image.size()); !problem.isEmpty()) {
        session.fail(problem, {}, TOperationError::FileError);
        return false;
    }
    session.outcome().deviceChanged = true;
    if (!bus.WriteBlock(Unit, 0, image, progress)) {
        if (!session.cancelled())
            session.fail(TDeviceSession::notResponding(session.currentLabel()),
                         session.busNoAnswer(bus,
                                             QStringLiteral("a chunk of the image written after %1 of %2 bytes")
                                                 .arg(done)
                                                 .arg(total),
                                             attemptMs(session, ControllerBus::writeRequest(Unit, 0, QByteArray(Wire::Bus::MaxChunk, '\0')),
                                                       ControllerBus::WriteReplyData)));
        return false;
    }

    done = 0;
    emit transferStarted(total);
    session.phase(QStringLiteral("Verifying Code"));
    const QByteArray readBack = bus.ReadBlock(Unit, 0, int(image.size()), progress);
    if (session.cancelled())
        return false;
    if (const QString message = VerifyErrorText(image, readBack); !message.isEmpty()) {
        // An empty read-back is a controller that stopped answering, not a difference.
        session.fail(message,
                     readBack.isEmpty()
                         ? session.busNoAnswer(bus, QStringLiteral("a chunk of the read-back"),
                                               attemptMs(session, ControllerBus::readRequest(Unit, 0, Wire::Bus::MaxChunk),
                                                         ControllerBus::ReadReplyHeader + Wire::Bus::MaxChunk))
                         : QString(),
                     readBack.isEmpty() ? TOperationError::NotResponding : TOperationError::VerifyFailed);
        return false;
    }

    session.phase(QStringLiteral("Entring Update Mode"));
    if (!commandAnswered(session, bus, Wire::Bus::EnterUpdateMode)) {
        session.fail(TDeviceSession::notResponding(session.currentLabel()));
        return false;
    }
    session.waitForDeviceToSettle();
    return true;
}

// ---- The bracket -------------------------------------------------------------------------------

void TControllerBracketOperation::run(TDeviceSession &session)
{
    session.flushArp();
    bool result = false;
    try {
        if (session.step(Wire::Command::StopDaemon) && session.step(Wire::Command::StartUpdater)
            && !session.cancelled())
            result = work(session);
    } catch (...) {
        session.restoreService();
        throw;
    }
    // The device is put back whether the work succeeded or not.
    const bool restored = session.restoreService();
    if (result && restored)
        session.succeed();
    else
        session.fail();
}

bool TControllerBracketOperation::readArea(TDeviceSession &session, TControllerBus &bus, quint8 startCommand,
                                           const QString &startLabel, const QString &readLabel, QByteArray *text,
                                           bool emptyAllowed)
{
    session.phase(startLabel);
    if (!commandAnswered(session, bus, startCommand))
        return false;
    session.waitForDeviceToSettle();
    session.phase(readLabel);
    const std::optional<int> length = readAreaLength(session, bus);
    if (!length)
        return false;
    if (*length == 0) {
        text->clear();
        return emptyAllowed;
    }
    // A length of 0 reads nothing, which fails like a transfer that gets no reply.
    *text = readOrFail(session, bus, TextAddress, *length, startLabel.startsWith(u"Get Diag") ? QStringLiteral("the diagnostics") : QStringLiteral("the configuration"));
    return !text->isEmpty();
}

// ---- Read Config, Diagnose ---------------------------------------------------------------------

TReadControllerText::TReadControllerText(TDatagramEngine *engine, const TDeviceTarget &target, Kind kind,
                                         const TOperationTiming &timing, QObject *parent)
    : TControllerBracketOperation(engine, target, timing, parent), m_kind(kind)
{
}

QString TReadControllerText::title() const
{
    return m_kind == Kind::Configuration ? QStringLiteral("Read configuration") : QStringLiteral("Read diagnostics");
}

QString TReadControllerText::failureMessage() const
{
    return m_kind == Kind::Configuration ? QStringLiteral("Read Config Failed") : QStringLiteral("Read Diagnose Failed");
}

bool TReadControllerText::work(TDeviceSession &session)
{
    const bool configuration = m_kind == Kind::Configuration;
    return session.busOperation([&](TControllerBus &bus) {
        QByteArray text;
        const bool read =
            configuration
                ? readArea(session, bus, Wire::Bus::GetConfigStart, QStringLiteral("Get Config Start"),
                           QStringLiteral("Reading Config"), &text)
                : readArea(session, bus, Wire::Bus::GetDiagnoseStart, QStringLiteral("Get Diagnose Start"),
                           QStringLiteral("Reading Diagnose"), &text);
        if (!read)
            return false;
        m_text = text;
        emit textRead(text);
        session.phase(configuration ? QStringLiteral("Get Config Stop") : QStringLiteral("Get Diagnose Stop"));
        return commandAnswered(session, bus, configuration ? Wire::Bus::GetConfigStop : Wire::Bus::GetDiagnoseStop);
    });
}

// ---- Write Config ------------------------------------------------------------------------------

TWriteConfig::TWriteConfig(TDatagramEngine *engine, const TDeviceTarget &target, const QByteArray &text,
                           const TOperationTiming &timing, QObject *parent)
    : TControllerBracketOperation(engine, target, timing, parent), m_text(text), m_sha256(Sha256Text(text))
{
}

bool TWriteConfig::work(TDeviceSession &session)
{
    session.outcome().sentSha256 = m_sha256;
    const bool stored = session.busOperation([this, &session](TControllerBus &bus) {
        session.phase(QStringLiteral("Set Config Start"));
        if (!commandAnswered(session, bus, Wire::Bus::SetConfigStart))
            return false;
        session.outcome().deviceChanged = true;
        session.waitForDeviceToSettle();
        // The status line reads as while reading: one label for both directions of the transfer.
        session.phase(QStringLiteral("Reading Config"));
        if (m_text.size() > qsizetype(MaxConfigTextSize)) {
            session.fail(ConfigTooLongMessage(m_text.size()), {}, TOperationError::FileError);
            return false;
        }
        QByteArray length(LengthSize, '\0');
        qToBigEndian<quint32>(static_cast<quint32>(m_text.size()), length.data());
        // An empty text writes its length and nothing else.
        if (!bus.WriteBlock(Unit, LengthAddress, length) || !bus.WriteBlock(Unit, TextAddress, m_text)) {
            session.fail(TDeviceSession::notResponding(QStringLiteral("writing the configuration")),
                         session.busNoAnswer(bus, QStringLiteral("a chunk of the configuration written"),
                                             attemptMs(session, ControllerBus::writeRequest(Unit, 0, QByteArray(Wire::Bus::MaxChunk, '\0')),
                                                       ControllerBus::WriteReplyData)));
            return false;
        }
        session.phase(QStringLiteral("Set Config Stop"));
        return commandAnswered(session, bus, Wire::Bus::SetConfigStop);
    });
    if (!stored)
        return false;
    // Read back as Read Config reads it: only the device's own requests can tell what it keeps
    // (an acknowledgement that came late for an earlier chunk can stand in for a lost one).
    return session.busOperation([this, &session](TControllerBus &bus) {
        QByteArray readBack;
        if (!readArea(session, bus, Wire::Bus::GetConfigStart, QStringLiteral("Get Config Start"),
                      QStringLiteral("Reading Config"), &readBack, true))
            return false;
        session.phase(QStringLiteral("Get Config Stop"));
        if (!commandAnswered(session, bus, Wire::Bus::GetConfigStop))
            return false;
        if (const QString difference = ConfigDifference(m_text, readBack); !difference.isEmpty()) {
            session.fail(difference, {}, TOperationError::VerifyFailed);
            return false;
        }
        return true;
    });
}

// ---- Logs --------------------------------------------------------------------------------------

TReadLogs::TReadLogs(TDatagramEngine *engine, const TDeviceTarget &target, bool eraseFirst, const TOperationTiming &timing,
                     QObject *parent)
    : TControllerBracketOperation(engine, target, timing, parent), m_eraseFirst(eraseFirst)
{
}

QString TReadLogs::title() const
{
    return m_eraseFirst ? QStringLiteral("Erase logs") : QStringLiteral("Read logs");
}

bool TReadLogs::work(TDeviceSession &session)
{
    if (m_eraseFirst && !eraseLogs(session))
        return false;
    return readLogs(session);
}

bool TReadLogs::eraseLogs(TDeviceSession &session)
{
    return session.busOperation([&session](TControllerBus &bus) {
        session.phase(QStringLiteral("Erase Logs"));
        session.outcome().deviceChanged = true;
        return commandAnswered(session, bus, Wire::Bus::EraseLogs);
    });
}

bool TReadLogs::readLogs(TDeviceSession &session)
{
    return session.busOperation([this, &session](TControllerBus &bus) {
        const auto take = [this](const QByteArray &block) {
            m_blocks.append(withoutFinalCrLf(block));
            emit textRead(m_blocks.constLast());
        };
        session.phase(QStringLiteral("Get Logs"));
        if (!commandAnswered(session, bus, Wire::Bus::GetLogs))
            return false;
        session.waitForDeviceToSettle();
        std::optional<int> length = readAreaLength(session, bus);
        if (!length)
            return false;
        // A first block of length 0 is a log with nothing in it (just erased, or never written).
        QByteArray block;
        if (*length > 0) {
            block = readOrFail(session, bus, TextAddress, *length, QStringLiteral("the first log block"));
            if (block.isEmpty())
                return false;
            take(block);
        }
        for (int next = 0; *length > 0; ++next) {
            if (session.cancelled())
                return false;
            if (next == MaxLogBlocks) {
                session.fail({}, QStringLiteral("the controller reported no end of its logs after %1 blocks").arg(MaxLogBlocks));
                return false;
            }
            session.phase(QStringLiteral("Reading Logs"));
            if (!commandAnswered(session, bus, Wire::Bus::NextLogBlock))
                return false;
            // Each "next block" moves the controller on by one. When it had to be sent again, an
            // earlier copy may have moved it on already (only its reply lost), and a block would be
            // missing from the logs without a word: the read fails instead.
            if (bus.LastAttempts() > 1) {
                session.fail({}, QStringLiteral("NextLogBlock had to be sent %1 times: a block may have been skipped")
                                 .arg(bus.LastAttempts()));
                return false;
            }
            length = readAreaLength(session, bus);
            if (!length)
                return false;
            if (*length == 0)
                break;
            block = readOrFail(session, bus, TextAddress, *length, QStringLiteral("log block %1").arg(next + 2));
            if (block.isEmpty())
                return false;
            take(block);
        }
        session.phase(QStringLiteral("Get Logs Stop"));
        return commandAnswered(session, bus, Wire::Bus::GetLogsStop);
    });
}

// ---- Reset -------------------------------------------------------------------------------------

const QString TControllerReset::UnansweredText =
    QStringLiteral("The controller did not answer the reset: a controller answers its bus only while its updater runs.");

TControllerReset::TControllerReset(TDatagramEngine *engine, const TDeviceTarget &target, Mode mode,
                                   const TOperationTiming &timing, QObject *parent)
    : TDeviceOperation(engine, target, timing, parent), m_mode(mode)
{
}

QString TControllerReset::title() const
{
    return m_mode == Mode::WithUpdater ? QStringLiteral("Controller reset with updater")
                                       : QStringLiteral("Controller reset");
}

void TControllerReset::run(TDeviceSession &session)
{
    if (m_mode == Mode::Plain) {
        if (resetOnBus(session))
            session.succeed();
        return;
    }
    session.flushArp();
    bool reset = false;
    try {
        if (session.step(Wire::Command::StopDaemon) && session.step(Wire::Command::StartUpdater)
            && !session.cancelled())
            reset = resetOnBus(session);
    } catch (...) {
        session.restoreService();
        throw;
    }
    // The device is put back whether the reset was answered or not.
    if (session.restoreService() && reset)
        session.succeed();
}

bool TControllerReset::resetOnBus(TDeviceSession &session)
{
    TControllerBus bus(nullptr, session.ip(), Wire::BusPort, session.timing().bus);
    bus.setStopFlag(&session.cancelFlag());
    session.phase(QStringLiteral("Reset"));
    session.outcome().deviceChanged = true;
    if (!bus.SendCommand(Unit, Wire::Bus::Reset).isEmpty())
        return true;
    if (!session.cancelled())
        session.fail(m_mode == Mode::Plain ? UnansweredText : TDeviceSession::notResponding(session.currentLabel()),
                     session.busNoAnswer(bus, subCommandName(Wire::Bus::Reset),
                                         attemptMs(session, ControllerBus::commandRequest(Unit, Wire::Bus::Reset),
                                                   ControllerBus::CommandReplyData)));
    return false;
}
