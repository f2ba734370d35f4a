#pragma once
// TCliRunner: carries out one checked command line. It scans when the targets need it, resolves
// them, hands the verb its devices (cli/verbs/) and keeps what every verb shares: the console,
// standard output and its write failures, and Ctrl+C. run() returns the exit status.

#include "cli/clirequest.h"
#include "cli/clitargets.h"
#include "operations/deviceoperation.h"

#include <QObject>

#include <QStringList>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

class TDatagramEngine;
class TJob;
class TJobService;

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
public:
    TCliRunner(const TCliRequest &request, TDatagramEngine *engine, const TCliConsole &console, QObject *parent = nullptr);
    ~TCliRunner() override;

    int run();
    // The discovery record of a device being worked on, when a scan listed it (for the history).
    const TDeviceRecord *recordFor(const QString &ip) const;
    // Ctrl+C, SIGTERM, SIGHUP: no new device is started, the running ones stop before their next
    // exchange and are put back.
    void interrupt();
    bool interrupted() const { return m_interrupted; }
    // Whether something could not be written to standard output (or flushed there).
    bool outputFailed() const { return m_outputFailed; }

    // What the verbs share.
    const TCliRequest &request() const { return m_request; }
    TDatagramEngine *engine() const { return m_engine; }
    const TCliConsole &console() const { return m_console; }
    QString verbName() const;
    TOperationTiming timing() const;
    // Standard output, flushed at once; a failure is told once and makes the exit status 3.
    void print(const QString &text);
    // Bytes as a device sent them, to standard output; false (the output counted as failed) when
    // they could not be written.
    bool printBytes(const QByteArray &data);
    void tell(const QString &text); // standard error
    // What an interrupt stops while the verb runs it (a scan, a pool, a job); {} once it has ended.
    void setStop(std::function<void()> stop);
    // The devices that answer a scan; nullopt (after saying why) when the scan could not be sent.
    std::optional<QList<TDeviceRecord>> scan();
    // Where the verbs' device work goes: one service for the run, made when first needed.
    TJobService &jobService();
    // Runs a job made by jobService() to its end: its items' progress on a terminal under title
    // (labels: one per item), Ctrl+C cancels it, and itemEnded(index) is called once as each item
    // ends. The user was asked before the job was made: the job does not ask again.
    void runJob(TJob &job, const QString &title, const QStringList &labels, const std::function<void(int)> &itemEnded);

private:
    int runVerb();
    // The scan of a request with --range: the sweep of its ranges (clisweep.cpp).
    std::optional<QList<TDeviceRecord>> sweepRanges();
    // The exit status once the work is done: a write failure on standard output outranks the rest.
    int finish(int status);

    TCliRequest m_request;
    TDatagramEngine *m_engine;
    TCliConsole m_console;
    std::function<void()> m_stop;
    std::unique_ptr<TJobService> m_jobService;
    bool m_interrupted = false;
    bool m_outputFailed = false;
    QList<TCliDevice> m_devices;
};
