#pragma once
// TCliRunner: carries out one checked command line: scans when the targets need it, asks before
// firmware or configuration is changed, runs the operations a few devices at a time and reports
// each device's outcome. run() returns the exit status.

#include "cli/clireport.h"
#include "cli/clirequest.h"
#include "operations/deviceoperation.h"
#include "operations/firmwareimage.h"

#include <QObject>

#include <cstdio>
#include <functional>

class TDeviceOperation;
class TOperationPool;
class TDatagramEngine;

struct TCliConsole
{
    std::FILE *out = stdout;
    std::FILE *err = stderr;
    bool errIsTerminal = false;
    // A line typed on the terminal, for the confirmation; empty when none can be read.
    std::function<QString()> readAnswer;
};

// The waits of the request's operations: --timeout sets how long each reply is waited for.
TOperationTiming OperationTiming(const TCliRequest &request);

class TCliRunner : public QObject
{
    Q_OBJECT
    friend class TCliFirmwareRun; // plan and apply
public:
    TCliRunner(const TCliRequest &request, TDatagramEngine *engine, const TCliConsole &console, QObject *parent = nullptr);
    ~TCliRunner() override;

    int run();
    // The discovery record of a device being worked on, when a scan listed it (for the history).
    const TDeviceRecord *recordFor(const QString &ip) const;
    // Ctrl+C, SIGTERM, SIGHUP: no new device is started, the running ones stop before their next
    // exchange and are put back.
    void interrupt();
    // Whether something could not be written to standard output (or flushed there).
    bool outputFailed() const { return m_outputFailed; }

private:
    int runScan();
    int runSearch();
    int runDoctor();
    // check, watch and scan --site (clisite.cpp).
    int runCheck();
    int runWatch();
    int reportSite(const QList<TDeviceRecord> &devices);
    int runInfo(const QList<TCliDevice> &devices);
    int runOperations(const QList<TCliDevice> &devices);
    // The devices that answer a scan; nullopt (after saying why) when the scan could not be sent.
    std::optional<QList<TDeviceRecord>> scan();
    // The scan of a request with --range: the sweep of its ranges (clisweep.cpp).
    std::optional<QList<TDeviceRecord>> sweepRanges();
    TDeviceOperation *makeOperation(const TCliDevice &device, const QByteArray &configuration);
    bool confirm(const QList<TCliDevice> &devices);
    bool confirmFirmware(const QList<TCliDevice> &devices);
    // What would be done to each device: --dry-run prints it and sends nothing more.
    int printPlan(const QList<TCliDevice> &devices);
    TOperationTiming timing() const;
    // A scan's devices, kept for the shell's completion; failing to keep them is no failure.
    void keepForCompletion(const QList<TDeviceRecord> &devices);
    TCliResult resultOf(TDeviceOperation *operation, const TCliDevice &device, bool several);
    // Stores what a read operation received; the error text when it could not be stored.
    QString store(const QByteArray &data, const TCliDevice &device, bool several, QString *path);
    void report(const QList<TCliResult> &results);
    void print(const QString &text);
    // The exit status once the work is done: a write failure on standard output outranks the rest.
    int finish(int status);
    void tell(const QString &text); // standard error
    QString verbName() const;

    TCliRequest m_request;
    TDatagramEngine *m_engine;
    TFirmwareImage m_image; // the file of an upgrade or a configuration write, read once per run
    TCliConsole m_console;
    TDeviceOperation *m_current = nullptr; // a scan or search under way
    TOperationPool *m_pool = nullptr;
    bool m_interrupted = false;
    bool m_outputFailed = false;
    QList<TCliDevice> m_devices;
};
