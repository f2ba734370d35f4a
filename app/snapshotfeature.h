#pragma once
// A device's configuration against its snapshots, in the main window's Device menu: compare the
// device with a snapshot, compare two snapshots of it, and write a snapshot's configuration back
// (read back the same, or told). Each works on the current device, never while a batch runs.

#include "fleet/configuration/configsnapshot.h"
#include "fleet/jobs/job.h"

#include <QObject>

#include <functional>
#include <optional>

class QAction;
class TMainWindow;

class TSnapshotFeature : public QObject
{
    Q_OBJECT
public:
    explicit TSnapshotFeature(TMainWindow *form);

    QAction *CompareAction = nullptr;
    QAction *CompareSnapshotsAction = nullptr;
    QAction *RestoreAction = nullptr;

    // The snapshot's folder; tests replace it.
    std::function<QString(const QString &title)> chooseFolder;

    void compareWithSnapshot();
    void compareSnapshots();
    void restoreFromSnapshot();

private:
    void updateActions();
    // The configuration of the device in a snapshot chosen by the user; empty when none (told).
    std::optional<QByteArray> snapshotConfiguration(const TDeviceRecord &device, QString *title);
    // The current device and its configuration in a snapshot; false when there is no device, the
    // user chose none, or it holds none of this device (told).
    bool currentDeviceAndSnapshot(TDeviceRecord *device, QByteArray *saved, QString *title);

    // A job of one item on the device, waited for; its item at the end.
    TJobItemStatus runOnDevice(TJobAction action, const TDeviceRecord &device, const std::optional<QByteArray> &text = {});
    static QString failureText(const TJobItemStatus &status);

    TMainWindow *m_form;
};
