#pragma once
// The device's side of the datagram protocol: reading requests, writing replies.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

namespace DevSim {

struct SimDevice;

struct DeviceRequest
{
    QByteArray destination; // 8-byte address record
    QByteArray source;      // 8-byte address record
    quint16 version = 0;
    quint16 protocolCode = 0;
    quint32 status = 0;
    quint8 command = 0;
    QList<quint16> ids; // parameters named in the list, in order
    bool terminated = false; // the list ended with FF FF
};

struct DeviceDecodeResult
{
    std::optional<DeviceRequest> request;
    QString error;
};

// A request is read when it has the 25-byte header with format version 00 01 and
// protocol code 11 56; the parameter list is walked up to FF FF or the end.
DeviceDecodeResult decodeDeviceRequest(QByteArrayView bytes);

// Over TCP requests come as a byte stream: the size of the first complete request in
// the buffer (header, elements, FF FF), or 0 while more bytes are needed.
qsizetype completeRequestSize(QByteArrayView buffer);

// True when the destination record names this device: the broadcast record
// (type 1, six 0xFF), its own type 1 record or a type 2 record with its address.
bool addressedTo(const QByteArray &destination, const SimDevice &device);

// A discovery reply: header (destination = the requester's record, source = the
// device's record, 00 01, 11 56, status 0, the command byte), one element per known
// requested parameter, then FF FF. An empty list asks for every parameter the device has.
QByteArray encodeDiscoveryReply(const SimDevice &device, const QByteArray &requesterRecord,
                                const QList<quint16> &ids, quint8 commandByte = 1);

// A command reply: header with the command byte, then the acknowledgement code.
QByteArray encodeCommandReply(const SimDevice &device, const QByteArray &requesterRecord, quint8 command,
                              quint16 ackCode);

// Every parameter id a device answers, in the order of an empty request.
QList<quint16> knownParameterIds();

} // namespace DevSim
