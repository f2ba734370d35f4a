#pragma once
// What a front end asks the job service to do: which work, on which devices, with which image or
// configuration, and with which options. The window, tarvino-cli and the benchmarks all describe
// their device work this way; only the job service turns a request into device operations.

#include "operations/deviceoperation.h"
#include "protocol/devicerecord.h"
#include "protocol/wire.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The work one item of a job does to its device.
enum class TJobAction {
    ControllerUpgrade,   // an image over the controller bus, read back and compared
    BoardUpgrade,        // an image to the board's FTP server, then the board's upgrade
    ReadConfiguration,   // the controller's configuration text
    ReadDiagnostics,     // the controller's diagnostics text
    WriteConfiguration,  // a configuration text into the controller
    ReadLogs,            // the controller's log blocks
    EraseAndReadLogs,    // the log erased first, then read
    Reset,               // the controller reset alone (answered while the updater runs)
    ResetWithUpdater,    // the reset inside the maintenance bracket
    ToggleSsh,           // the board's DropBear command (the device reports no state)
    BoardCommand,        // one raw command of the board's command set
    BackUpConfiguration, // the configuration read and kept in a snapshot
};

// "Controller upgrade", "Configuration back-up": what lists, logs and the history call the work.
QString JobActionTitle(TJobAction action);
// Whether the work changes the device (firmware, configuration, log, state), so that the caller
// asks first and a retry must know whether it got that far.
bool JobActionChangesDevice(TJobAction action);
// Whether the work sends a firmware image, which the service checks against the library.
bool JobActionSendsImage(TJobAction action);

// One device as the caller knows it.
struct TJobDevice
{
    TDeviceTarget target;
    // Its discovery record when a scan listed it: its type (for the library's check), its versions
    // (before and after an upgrade) and its address record (to see it answer again).
    std::optional<TDeviceRecord> record;

    static TJobDevice of(const TDeviceRecord &device) { return {{device.IpText, device.Transport}, device}; }
};

// One piece of work on one device.
struct TJobItem
{
    TJobDevice device;
    TJobAction action = TJobAction::ReadConfiguration;
    // The image of an upgrade or the configuration of a write, as a file; read once per job,
    // however many items name it.
    QString file;
    // A configuration given in memory (the window's editor) instead of a file.
    std::optional<QByteArray> text;
    // The library version the caller planned to bring the device to (plan and apply); shown and
    // recorded, while the service still checks the bytes against the library itself.
    QString plannedVersion;
};

struct TJobOptions
{
    int jobs = 4;                       // devices worked on at once
    TOperationTiming timing;
    // The caller asked the user once for the whole job; otherwise the job asks by
    // confirmationRequested() before anything is sent.
    bool confirmed = false;
    // After an upgrade the device must answer a scan again within this bound (after a board
    // upgrade: go away first, as a restart does).
    int comeBackTimeoutMs = 120000;
    int comeBackListenMs = 1000;        // each confirming scan listens this long
    Wire::Command command{};            // BoardCommand
    int commandAttempts = 1;            // BoardCommand
    QString snapshotRoot;               // BackUpConfiguration; empty: the default root
    // The firmware library whose manifest every image is looked up in by its SHA-256, read afresh
    // when the job starts; empty: the folder the settings and TARVINO_LIBRARY name.
    QString libraryFolder;
};

struct TJobRequest
{
    QList<TJobItem> items;
    TJobOptions options;

    // The same work on every device (a batch, one device of the upgrade window, a CLI verb).
    static TJobRequest forDevices(TJobAction action, const QList<TJobDevice> &devices, const QString &file = {},
                                  const TJobOptions &options = {});
};
