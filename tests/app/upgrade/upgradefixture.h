#pragma once
// The upgrade window against simulated devices in the lab: an engine and its job service, a
// stand-in main window, the window itself with short settling waits, and hooks that record what the
// window shows instead of opening modal boxes.

#include "fleet/history/operationjournal.h"
#include "fleet/jobs/jobservice.h"
#include "labsim.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "protocol/devicerecord.h"
#include "app/upgrade/boardupgradepanel.h"
#include "app/upgrade/controllertextpage.h"
#include "app/upgrade/controllerupgradepanel.h"
#include "app/upgrade/upgradedialog.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QMainWindow>
#include <QWidget>

#include <memory>

struct UpgradeFixture
{
    std::unique_ptr<LabSimulator> sim;
    std::unique_ptr<TDatagramEngine> serveur;
    QTemporaryDir historyDir; // the confirmations of upgrades go here, not to the user's history
    std::unique_ptr<TOperationJournal> journal;
    std::unique_ptr<TJobService> jobs;
    std::unique_ptr<QMainWindow> mainWindow; // its status bar hears whether an upgraded device came back
    std::unique_ptr<TUpgradeDialog> form;
    QStringList errors;     // the program's error boxes, in order
    QStringList infos;      // its information boxes
    int warningResult = 6;  // what the warning dialog answers
    int warningsShown = 0;

    static TUpgradeDialog::Timing shortTiming()
    {
        // The lab answers at once: a third of the device's bus wait is plenty, and makes the
        // cases of an unanswered request quick.
        TUpgradeDialog::Timing timing;
        timing.settleMs = 50;
        timing.bus.baseTimeoutMs = 300;
        return timing;
    }

    // Starts the simulator (its arguments as LabSimulator::start's) and the window.
    bool start(int devices, const QStringList &simArguments, QString *error,
               const TUpgradeDialog::Timing &timing = shortTiming())
    {
        StartupInit(); // the protocol code every request carries, as the main window's start sets it
        sim = std::make_unique<LabSimulator>();
        if (!sim->start(devices, simArguments)) {
            *error = sim->errorString();
            return false;
        }
        serveur = std::make_unique<TDatagramEngine>();
        if (serveur->boundAddresses().isEmpty()) {
            *error = QStringLiteral("engine not bound: ") + serveur->bindError();
            return false;
        }
        journal = std::make_unique<TOperationJournal>(historyDir.filePath(QStringLiteral("history.jsonl")));
        jobs = std::make_unique<TJobService>(serveur.get(), journal.get());
        mainWindow = std::make_unique<QMainWindow>();
        mainWindow->resize(608, 250);
        form = std::make_unique<TUpgradeDialog>(jobs.get(), mainWindow.get(), timing);
        form->CreateControls(); // the tests work the controls without showing the window
        // An upgraded board of the lab does not restart: the look for its return ends soon.
        form->jobOptions.comeBackTimeoutMs = 2000;
        form->jobOptions.comeBackListenMs = 250;
        form->runWarning = [this] {
            ++warningsShown;
            return warningResult;
        };
        form->showError = [this](const QString &message) { errors.append(message); };
        form->showInfo = [this](const QString &message) { infos.append(message); };
        return true;
    }

    // Points the window at simulated device `index`, as opening it for that device does.
    void selectDevice(int index, quint8 transport = TransportUdp)
    {
        TDeviceRecord device;
        device.IpText = LabSimulator::deviceIp(index);
        device.Transport = transport;
        form->DeviceIP = device.IpText;
        form->DeviceTransport = transport;
        form->deviceRecord = device;
        form->UpdateButtons();
    }

    // The commands (port 52389) and bus requests (52390) a device received, in order.
    QList<QJsonObject> received(int index, int port) const
    {
        return sim->requests(LabSimulator::deviceIp(index), port);
    }
};
