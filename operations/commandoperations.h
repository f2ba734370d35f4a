#pragma once
// The operations of the device list: one board command (DropBear and the raw start/stop
// commands), a search for one device over TCP, and a scan of the segment.

#include "protocol/datagram.h"
#include "operations/deviceoperation.h"
#include "operations/discovereddevices.h"
#include "protocol/wire.h"

#include <QList>
#include <mutex>

// What an acknowledged DropBear command means: the board toggles its SSH server, and neither the
// request nor the reply says on or off. The window's status bar and tarvino-cli say the same.
inline QString DropBearToggledText(const QString &ip)
{
    return QStringLiteral("%1 toggled its SSH server; the device does not report whether it is now on or off").arg(ip);
}

// One command of the board's command set, sent up to `attempts` times until the device
// acknowledges it (DropBear: five, after an ARP flush). Another attempt follows only when the
// device itself stayed silent or answered this command with another code: replies from other
// devices and to other commands never reach it.
class TDeviceCommand final : public TDeviceOperation
{
    Q_OBJECT
public:
    ~TDeviceCommand() override { stopWorker(); }
    struct Options
    {
        int attempts = 1;
        bool flushArpFirst = false;
    };
    TDeviceCommand(TDatagramEngine *engine, const TDeviceTarget &target, Wire::Command command, Options options,
                   const TOperationTiming &timing = {}, QObject *parent = nullptr);
    // The DropBear switch as the main window sends it.
    static Options dropBear() { return {5, true}; }

    QString title() const override;
    Wire::Command command() const { return m_command; }
    // The verdict on the last attempt's reply.
    TCommandResult result() const { return m_result.load(); }
    int attemptsMade() const { return m_attemptsMade.load(); }

protected:
    void run(TDeviceSession &session) override;

private:
    Wire::Command m_command;
    Options m_options;
    std::atomic<TCommandResult> m_result{ResultNoReply};
    std::atomic<int> m_attemptsMade{0};
};

// A discovery of one device by its address over TCP. The reply is kept as it came; a search with
// no reply succeeds with none (the device list stays empty), a failed connection fails.
class TSearchDevice final : public TDeviceOperation
{
    Q_OBJECT
public:
    ~TSearchDevice() override { stopWorker(); }
    TSearchDevice(TDatagramEngine *engine, const QString &ipText, const TOperationTiming &timing = {},
                  QObject *parent = nullptr);
    QString title() const override { return QStringLiteral("Search"); }
    bool worksOnDevice() const override { return false; }
    const QByteArray &reply() const { return m_reply; }
    // The device the reply describes, if it is a valid discovery reply.
    QList<TDeviceRecord> devices() const;

protected:
    void run(TDeviceSession &session) override;

private:
    QByteArray m_reply;
};

// A scan of the segment: the discovery broadcast, sent `pulses` times `intervalMs` apart, and
// every reply taken until `listenMs` after the first one. Each device is listed once.
class TScanDevices final : public TDeviceOperation
{
    Q_OBJECT
public:
    ~TScanDevices() override { stopWorker(); }
    struct Options
    {
        int pulses = 2;
        int intervalMs = 1000;
        int listenMs = 3000;
    };
    TScanDevices(TDatagramEngine *engine, Options options, QObject *parent = nullptr);
    TScanDevices(TDatagramEngine *engine, QObject *parent = nullptr) : TScanDevices(engine, Options(), parent) {}
    QString title() const override { return QStringLiteral("Scan"); }
    bool worksOnDevice() const override { return false; }
    // Any thread: the devices listed so far, in order of first reply.
    QList<TDeviceRecord> devices() const;
    // Any thread: the records that another address took over during the scan. The list, as the
    // window's, keeps one row per address record (MAC address) with its latest address; a second
    // device answering with the same MAC address (a cloned board) is here, at its own address.
    QList<TDeviceRecord> twins() const;

signals:
    // A device replied, for the first time or again (index into devices()).
    void deviceReplied(int index);
    // The discovery broadcast went out for the sent-th time of pulses.
    void pulseSent(int sent, int pulses);

protected:
    void run(TDeviceSession &session) override;

private:
    Options m_options;
    TDiscoveredDevices m_found;
};
