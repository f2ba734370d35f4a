#pragma once
// LabSimulator: tarvino-devsim for a test that runs in the lab's PC namespace.
//
// It starts the simulator in the device namespace with a journal, a state file and an
// FTP root of its own (in a temporary directory), waits until it is ready, and ends it
// by process id when it goes out of scope.
//
//   LabSimulator sim;
//   QVERIFY2(sim.start(12, {"--fault", "198.18.1.3:silent"}), qPrintable(sim.errorString()));
//   ... talk to LabSimulator::deviceIp(2) ...
//   QVERIFY(sim.waitForJournal([](const auto &lines) { return !lines.isEmpty(); }));

#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class LabSimulator
{
public:
    LabSimulator();
    ~LabSimulator();
    LabSimulator(const LabSimulator &) = delete;
    LabSimulator &operator=(const LabSimulator &) = delete;

    // True inside the lab's PC namespace (LAB tests run there; others should QSKIP).
    static bool inLab();
    static QString devsimPath();

    static constexpr int StartTimeoutMs = 15000;

    // Starts the simulator with `devices` devices from 198.18.1.1 and the given extra
    // arguments (--fault, --seed, --updater-running...). False, with errorString(),
    // when it does not print "ready" in time.
    bool start(int devices = 12, const QStringList &arguments = {});
    // The device namespace it starts in: "tarvino-dev" (segment 1) unless set before start()
    // ("tarvino-dev2" for segment 2 of a lab with two segments; pass --base there).
    void setDeviceNamespace(const QString &name) { m_namespace = name; }
    // SIGTERM, then SIGKILL after a bounded wait; the state file is written on the way.
    void stop();
    // Mends every device (SIGUSR2); false when the simulator does not confirm it in time.
    bool clearFaults(int timeoutMs = 5000);
    bool isRunning() const;
    qint64 processId() const;
    QString errorString() const { return m_error; }
    QString standardError() const;

    // Addresses of the lab.
    static QHostAddress pcAddress();              // 198.18.0.1
    static QHostAddress deviceAddress(int index); // 198.18.1.1 + index
    static QString deviceIp(int index);
    static constexpr int LabPrefixLength = 15;

    QString workDir() const;
    QString journalPath() const;
    QString statePath() const;
    QString ftpRoot() const;

    // Every complete journal line so far.
    QList<QJsonObject> journal() const;
    // The request lines (those with a port), optionally of one device and one port.
    QList<QJsonObject> requests(const QString &device = {}, int port = 0) const;
    // The state-change lines of one device (or of all).
    QList<QJsonObject> stateChanges(const QString &device = {}) const;
    // Polls the journal until done(lines) holds; false after timeoutMs.
    bool waitForJournal(const std::function<bool(const QList<QJsonObject> &)> &done, int timeoutMs = 5000) const;

    // Asks for a fresh state dump (SIGUSR1) and returns it: {"devices": [...], "serial": n}.
    // An empty object when the simulator does not write it in time.
    QJsonObject state(int timeoutMs = 5000);
    QJsonObject deviceState(int index, int timeoutMs = 5000);

    // A file the FTP server of device `index` stored, as written under the FTP root.
    QByteArray storedFile(int index, const QString &name) const;

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    QString m_error;
    int m_lastSerial = 0;
    QString m_namespace = QStringLiteral("tarvino-dev");
};
