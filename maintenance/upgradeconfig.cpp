// The "Config" page: the controller's configuration in the editor and in ".cfg" files,
// its diagnostics and logs, and its reset.
//
// Configuration, diagnostics and each log block pass through the same transfer area of
// controller memory, chosen by the command sent before: a big-endian length word at 0,
// then the text at 4.

#include "upgradeform.h"

#include "configtext.h"

#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QtEndian>

#include <optional>

namespace {

constexpr quint8 Unit = Wire::Bus::UnitAddress;
constexpr quint32 LengthAddress = 0;
constexpr int LengthSize = 4;
constexpr quint32 TextAddress = LengthAddress + LengthSize;
static_assert(TUpgradeForm::MaxConfigTextSize == Wire::Bus::AddressSpace - TextAddress);

// The warning dialog's "Upgrade" button.
constexpr int WarningAccepted = 6;

// A controller's log store holds far fewer blocks; a device that never reports the end would
// otherwise keep the window busy for ever.
constexpr int MaxLogBlocks = 10000;

QString configFilter()
{
    return QStringLiteral("Config files (*.cfg);;All files (*.*)");
}

QString tooLongMessage(qsizetype size)
{
    return QStringLiteral("The text is %1 bytes long; the controller holds at most %2 bytes. Nothing was written.")
        .arg(size)
        .arg(TUpgradeForm::MaxConfigTextSize);
}

// The length word of the area; nothing when the read fails or when the length cannot be right
// (reading it would start over a hundred thousand exchanges for nothing).
std::optional<int> readAreaLength(TXBus &bus)
{
    const QByteArray word = bus.ReadBlock(Unit, LengthAddress, LengthSize);
    if (word.size() != LengthSize)
        return std::nullopt;
    const quint32 length = qFromBigEndian<quint32>(word.constData());
    if (length > TUpgradeForm::MaxConfigTextSize)
        return std::nullopt;
    return static_cast<int>(length);
}

// A log block ends with CR LF more often than not; in the editor each block is one line.
QByteArrayView withoutFinalCrLf(QByteArrayView block)
{
    return block.endsWith("\r\n") ? block.chopped(2) : block;
}

} // namespace

// ---- Files -------------------------------------------------------------------------------

void TUpgradeForm::OpenButtonClick()
{
    const QString fileName = chooseOpenFile ? chooseOpenFile()
                                            : QFileDialog::getOpenFileName(this, QString(), QString(), configFilter());
    if (fileName.isEmpty())
        return;
    // An unreadable file raises before the editor is touched.
    SetEditorBytes(Memo, LoadConfigFile(fileName));
}

void TUpgradeForm::SaveButtonClick()
{
    const QString fileName = chooseSaveFile ? chooseSaveFile()
                                            : QFileDialog::getSaveFileName(this, QString(), QString(), configFilter(),
                                                                           nullptr, QFileDialog::DontConfirmOverwrite);
    if (fileName.isEmpty())
        return;
    SaveConfigFile(fileName, EditorBytes(Memo));
}

// ---- Handlers ----------------------------------------------------------------------------

void TUpgradeForm::runConfigSequence(const QString &failureMessage, bool askWarning,
                                     const std::function<bool()> &operation)
{
    BusyScope busy(*this);
    DisableConfigControls();
    bool complete = false;
    bool result = false;
    try {
        if (!askWarning || runWarning() == WarningAccepted) {
            FlushArpEntry();
            if (StopDaemonStep() && StartUpdaterStep()) {
                result = operation();
                // The device is put back whether the operation succeeded or not.
                complete = StopUpdaterStep() && StartDaemonStep();
            }
        }
    } catch (...) {
        showError(failureMessage);
        EnableConfigControls();
        throw;
    }
    if (!complete || !result)
        showError(failureMessage);
    EnableConfigControls();
}

// While an operation of either page runs, no other may start: two brackets on one device
// would interleave their start/stop requests, and a reset would cut a firmware write short.

void TUpgradeForm::ReadConfigBtnClick()
{
    if (DeviceIP.isEmpty() || IsBusy())
        return;
    Memo->clear();
    runConfigSequence(QStringLiteral("Read Config Failed"), false, [this] { return DoReadConfig(); });
}

void TUpgradeForm::DiagnoseBtnClick()
{
    if (DeviceIP.isEmpty() || IsBusy())
        return;
    Memo->clear();
    runConfigSequence(QStringLiteral("Read Diagnose Failed"), false, [this] { return DoReadDiagnose(); });
}

void TUpgradeForm::ReadLogsBtnClick()
{
    if (DeviceIP.isEmpty() || IsBusy())
        return;
    Memo->clear();
    runConfigSequence(QStringLiteral("Read Config Failed"), false, [this] { return DoReadLogs(); });
}

void TUpgradeForm::EraseLogsBtnClick()
{
    if (DeviceIP.isEmpty() || IsBusy())
        return;
    Memo->clear();
    runConfigSequence(QStringLiteral("Read Config Failed"), false, [this] { return DoEraseLogs() && DoReadLogs(); });
}

void TUpgradeForm::WriteConfigBtnClick()
{
    if (DeviceIP.isEmpty() || IsBusy())
        return;
    const QString failureMessage = QStringLiteral("Write Config Failed");
    // A text the area cannot hold is refused before the device is disturbed at all.
    const qsizetype size = EditorBytes(Memo).size();
    if (size > qsizetype(MaxConfigTextSize)) {
        showError(tooLongMessage(size));
        showError(failureMessage);
        return;
    }
    runConfigSequence(failureMessage, true, [this] { return DoWriteConfig(); });
}

void TUpgradeForm::ResetBtnClick()
{
    if (IsBusy())
        return;
    BusyScope busy(*this);
    TXBus bus(this, DeviceIP, Wire::BusPort, timing().bus);
    bus.SendCommand(Unit, Wire::Bus::Reset);
}

// ---- Bus operations ----------------------------------------------------------------------

void TUpgradeForm::showConfigStatus(const QString &label)
{
    ReadConfigLabel->setText(label);
    ReadConfigLabel->show();
}

bool TUpgradeForm::runBusOperation(const std::function<bool(TXBus &bus)> &operation)
{
    TXBus bus(this, DeviceIP, Wire::BusPort, timing().bus);
    bool result = false;
    try {
        result = operation(bus);
    } catch (...) {
        bus.SendCommand(Unit, Wire::Bus::Reset);
        throw;
    }
    // The controller may be half way through a transfer: take it back to its normal state.
    if (!result)
        bus.SendCommand(Unit, Wire::Bus::Reset);
    return result;
}

bool TUpgradeForm::readAreaText(quint8 startCommand, quint8 stopCommand, const QString &startLabel,
                                const QString &readLabel, const QString &stopLabel)
{
    return runBusOperation([&](TXBus &bus) {
        showConfigStatus(startLabel);
        if (bus.SendCommand(Unit, startCommand).isEmpty())
            return false;
        settle();
        showConfigStatus(readLabel);
        const std::optional<int> length = readAreaLength(bus);
        if (!length)
            return false;
        // A length of 0 reads nothing, which fails like a transfer that gets no reply.
        const QByteArray text = bus.ReadBlock(Unit, TextAddress, *length);
        if (text.isEmpty())
            return false;
        SetEditorBytes(Memo, text);
        showConfigStatus(stopLabel);
        return !bus.SendCommand(Unit, stopCommand).isEmpty();
    });
}

bool TUpgradeForm::DoReadConfig()
{
    return readAreaText(Wire::Bus::GetConfigStart, Wire::Bus::GetConfigStop, QStringLiteral("Get Config Start"),
                        QStringLiteral("Reading Config"), QStringLiteral("Get Config Stop"));
}

bool TUpgradeForm::DoReadDiagnose()
{
    return readAreaText(Wire::Bus::GetDiagnoseStart, Wire::Bus::GetDiagnoseStop, QStringLiteral("Get Diagnose Start"),
                        QStringLiteral("Reading Diagnose"), QStringLiteral("Get Diagnose Stop"));
}

bool TUpgradeForm::DoWriteConfig()
{
    return runBusOperation([this](TXBus &bus) {
        showConfigStatus(QStringLiteral("Set Config Start"));
        if (bus.SendCommand(Unit, Wire::Bus::SetConfigStart).isEmpty())
            return false;
        settle();
        // The status line reads as while reading: one label for both directions of the transfer.
        showConfigStatus(QStringLiteral("Reading Config"));
        const QByteArray text = EditorBytes(Memo);
        if (text.size() > qsizetype(MaxConfigTextSize)) {
            showError(tooLongMessage(text.size()));
            return false;
        }
        QByteArray length(LengthSize, '\0');
        qToBigEndian<quint32>(static_cast<quint32>(text.size()), length.data());
        if (!bus.WriteBlock(Unit, LengthAddress, length))
            return false;
        // An empty text writes its length and nothing else.
        if (!bus.WriteBlock(Unit, TextAddress, text))
            return false;
        showConfigStatus(QStringLiteral("Set Config Stop"));
        return !bus.SendCommand(Unit, Wire::Bus::SetConfigStop).isEmpty();
    });
}

bool TUpgradeForm::DoReadLogs()
{
    return runBusOperation([this](TXBus &bus) {
        showConfigStatus(QStringLiteral("Get Logs"));
        if (bus.SendCommand(Unit, Wire::Bus::GetLogs).isEmpty())
            return false;
        settle();
        std::optional<int> length = readAreaLength(bus);
        if (!length)
            return false;
        QByteArray block = bus.ReadBlock(Unit, TextAddress, *length);
        if (block.isEmpty())
            return false;
        // The first block makes the text of an empty editor; every block is a line of its own.
        if (Memo->document()->isEmpty())
            SetEditorBytes(Memo, withoutFinalCrLf(block));
        else
            AppendEditorLine(Memo, withoutFinalCrLf(block));
        for (int next = 0;; ++next) {
            if (next == MaxLogBlocks)
                return false;
            showConfigStatus(QStringLiteral("Reading Logs"));
            if (bus.SendCommand(Unit, Wire::Bus::NextLogBlock).isEmpty())
                return false;
            // Each "next block" moves the controller on by one. When it had to be sent again, an
            // earlier copy may have moved it on already (only its reply lost), and a block would be
            // missing from the logs without a word: the read fails instead.
            if (bus.LastAttempts() > 1)
                return false;
            length = readAreaLength(bus);
            if (!length)
                return false;
            if (*length == 0)
                break;
            block = bus.ReadBlock(Unit, TextAddress, *length);
            if (block.isEmpty())
                return false;
            AppendEditorLine(Memo, withoutFinalCrLf(block));
        }
        showConfigStatus(QStringLiteral("Get Logs Stop"));
        return !bus.SendCommand(Unit, Wire::Bus::GetLogsStop).isEmpty();
    });
}

bool TUpgradeForm::DoEraseLogs()
{
    return runBusOperation([this](TXBus &bus) {
        showConfigStatus(QStringLiteral("Erase Logs"));
        return !bus.SendCommand(Unit, Wire::Bus::EraseLogs).isEmpty();
    });
}
