// The controller's firmware upgrade: the image goes over the controller bus from address 0,
// is read back and compared, and the controller is told to enter update mode.

#include "upgradeform.h"

#include "filenameedit.h"
#include "formwarning.h"
#include "tools.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QScopeGuard>

#include <algorithm>

namespace {

constexpr quint8 Unit = Wire::Bus::UnitAddress;

// Why an image cannot be sent; empty when it can. An empty image would read back empty,
// compare equal and take the controller into update mode with no firmware at all; bytes
// past the 24-bit address range would wrap round onto the start of the image.
QString imageProblem(const QString &fileName, qint64 size)
{
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

QString upperHex(qint64 value, int minimumDigits)
{
    return QStringLiteral("%1").arg(value, minimumDigits, 16, QLatin1Char('0')).toUpper();
}

} // namespace

QString TUpgradeForm::verifyErrorText(QByteArrayView image, QByteArrayView readBack)
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

void TUpgradeForm::UpgradeControlBtnClick()
{
    const QString fileName = UpgradeControlFile->fileName();
    if (DeviceIP.isEmpty() || !QFileInfo(fileName).isFile())
        return;
    // Refused before the warning: the user is not asked to confirm what cannot run, and the
    // device hears nothing.
    if (const QString problem = imageProblem(fileName, FileSizeOf(fileName)); !problem.isEmpty()) {
        showError(problem);
        return;
    }

    // Ends also when an exception leaves: the label goes, the bar keeps its last value.
    const UpgradePageOperation operation(*this, UpgradeControlLabel);

    if (runWarning() != TFormWarning::ResultUpgrade)
        return;
    FlushArpEntry();
    if (!StopDaemonStep() || !StartUpdaterStep())
        return;

    const auto showPhase = [this](const QString &text) {
        UpgradeControlLabel->setText(text);
        UpgradeControlLabel->show();
    };
    const TBlockProgressEvent progress = [this](int bytes) { ControlProgress(bytes); };
    // True only when every step ran: the image is in, verified, and the controller in update mode.
    const auto busSequence = [&](TXBus &bus) {
        UpgradeControlProgressBar->setValue(0);
        UpgradeControlProgressBar->setMaximum(int(std::min<qint64>(FileSizeOf(fileName), Wire::Bus::AddressSpace)));
        UpgradeControlProgressBar->show();
        showPhase(QStringLiteral("Writing Code"));
        const QByteArray image = LoadFileData(fileName);
        // The file may have changed since it was checked.
        if (const QString problem = imageProblem(fileName, image.size()); !problem.isEmpty()) {
            showError(problem);
            return false;
        }
        if (!bus.WriteBlock(Unit, 0, image, progress))
            return false;

        UpgradeControlProgressBar->setValue(0);
        showPhase(QStringLiteral("Verifying Code"));
        const QByteArray readBack = bus.ReadBlock(Unit, 0, int(image.size()), progress);
        if (const QString message = verifyErrorText(image, readBack); !message.isEmpty()) {
            showError(message);
            return false;
        }

        showPhase(QStringLiteral("Entring Update Mode"));
        if (bus.SendCommand(Unit, Wire::Bus::EnterUpdateMode).isEmpty())
            return false;
        settle();
        return true;
    };

    bool upgraded = false;
    {
        TXBus bus(this, DeviceIP, Wire::BusPort, timing().bus);
        // A controller left with a partial or unverified image must not stay in its transfer:
        // it is reset whatever stopped the sequence, the reply does not matter.
        try {
            upgraded = busSequence(bus);
        } catch (...) {
            bus.SendCommand(Unit, Wire::Bus::Reset);
            throw;
        }
        if (!upgraded)
            bus.SendCommand(Unit, Wire::Bus::Reset);
    }
    // After a failure the device keeps its updater running and its daemon stopped.
    if (!upgraded || !StopUpdaterStep())
        return;
    StartDaemonStep();
}
