#pragma once
// The devices' behaviour without sockets: requests in, replies (with their delays) out,
// journal lines and state changes on the side. The server (simserver) does the I/O;
// tests drive this class in-process.

#include "devsim/faults.h"
#include "devsim/simdevice.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>
#include <unordered_map>

namespace DevSim {

class Journal;

struct SimulatorOptions
{
    quint64 seed = 1;
    bool logsConsumed = false;  // 0xD6 removes the block read
    bool ftpAlwaysOn = false;   // port 21 answers even before StartFtpServer
    bool updaterRunning = false; // devices start with the updater running
    // After installing an image (command 11) the board restarts: every service silent this long,
    // then back in normal service. 0: the device goes on answering, as if it never restarted.
    int restartMs = 0;
    quint16 devicePort = 52389;
    quint16 busPort = 52390;
    quint16 ftpPort = 21;
    QString ftpRoot; // stored files are also written under ftpRoot/<device ip>/<name>
};

// One reply: a datagram, or one write on a TCP connection.
struct Outgoing
{
    QByteArray data;
    int delayMs = 0;
    int fromDevice = -1; // another device sends it (a stray reply); -1: the device itself
    // A reply held back (swap) goes to the requester it answers, not to the one of the request
    // that let it go; 0: the current requester.
    quint32 toAddress = 0;
    quint16 toPort = 0;
};

struct AddressedOutgoing
{
    int device = 0;
    Outgoing out;
};

class DeviceSimulator
{
public:
    DeviceSimulator(QList<SimDevice> devices, const QList<Fault> &faults, const SimulatorOptions &options);

    // How long a power cut keeps the device silent before it is back.
    static constexpr int PowerCutOutageMs = 2000;

    void setJournal(Journal *journal) { m_journal = journal; }
    // Milliseconds on a monotonic clock, for blackouts; tests give their own.
    void setClock(std::function<qint64()> now) { m_now = std::move(now); }
    const SimulatorOptions &options() const { return m_options; }

    int count() const { return int(m_devices.size()); }
    int indexOf(quint32 ip) const; // -1 for an address that is no device
    SimDevice &device(int index) { return m_devices[index]; }
    const SimDevice &device(int index) const { return m_devices.at(index); }

    // Port 52389, UDP or TCP, to one device (its own address).
    QList<Outgoing> deviceRequest(int index, QByteArrayView data, Transport transport, const QString &peer);
    // Port 52389, a broadcast: every device reads it and answers when it is addressed.
    QList<AddressedOutgoing> broadcastRequest(QByteArrayView data, const QString &peer);
    // Port 52390: one controller bus frame.
    QList<Outgoing> busRequest(int index, QByteArrayView data, const QString &peer);

    // TCP connections. A refused one is reset at once; a silent FTP connection is
    // accepted and never answered.
    bool deviceConnectionRefused(int index, const QString &peer);
    enum class FtpAdmission { Accept, Refuse, Silent };
    struct FtpConnection
    {
        FtpAdmission admission = FtpAdmission::Accept;
        bool logInAtUser = false;
        bool end426 = false;
        int bytesPerSecond = 0; // the upload's pace; 0: as fast as it comes
        qint64 resetAfterBytes = -1; // the data connection of a STOR is reset after so many bytes
        qint64 stallAfterBytes = -1; // the server stops reading (and answering) after so many bytes
    };
    FtpConnection ftpConnect(int index, const QString &peer);
    void ftpLineReceived(int index, const QString &peer, const QByteArray &line);
    void ftpEvent(int index, const QString &peer, const QString &event);
    void ftpStored(int index, const QString &peer, const QByteArray &name, const QByteArray &data);
    bool ftpDelete(int index, const QByteArray &name);

    // A blackout or a power cut: the device hears nothing now, on any service.
    bool silentNow(int index) const;

    QJsonObject deviceState(int index) const;
    QJsonObject state() const; // every device
    // Every device behaves well from now on (their state stays as it is).
    void clearFaults();

private:
    QJsonObject requestEntry(int index, int port, Transport transport, const QString &peer) const;
    void journal(const QJsonObject &entry);
    void journalState(int index);
    std::optional<Outgoing> handleDeviceRequest(int index, const struct DeviceRequest &request,
                                                const FaultEffects &effects, QJsonObject &entry, bool &stateTouched);
    static QList<Outgoing> shape(const QByteArray &reply, const FaultEffects &effects, Transport transport);
    qint64 now() const;
    void startOutage(int index, int ms);
    bool dropInOutage(int index, QJsonObject &entry);
    // Lets the reply held back (swap) go after this one, or holds this one back.
    static QList<Outgoing> swapped(QList<Outgoing> &held, QList<Outgoing> out, bool hold, const QString &peer);

    // What a device is going through beside its own state: an outage, a reply held back.
    struct DeviceRun
    {
        qint64 silentUntilMs = -1;
        QList<Outgoing> heldDeviceReply;
        QList<Outgoing> heldBusReply;
    };

    QList<SimDevice> m_devices;
    QList<DeviceFaults> m_faults;
    QList<DeviceRun> m_runs;
    QElapsedTimer m_clock;
    std::function<qint64()> m_now;
    std::unordered_map<quint32, int> m_byAddress;
    SimulatorOptions m_options;
    Journal *m_journal = nullptr;
};

} // namespace DevSim
