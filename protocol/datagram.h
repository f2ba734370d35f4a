#pragma once
// Building requests and reading replies of the device datagram protocol.
// Pure functions over bytes: no sockets, no windows.

#include "protocol/netadapters.h"
#include "protocol/devicerecord.h"
#include "protocol/devicetypes.h"
#include "protocol/wire.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>

// A 27-byte request: broadcast destination when both halves are -1 (otherwise the
// high half goes to bytes 0..3 and the low half to bytes 4..7), zero source,
// version, ProtocolCode, zero status, the command code and an empty parameter list.
QByteArray BuildRequest(quint8 command, qint32 destinationLow = -1, qint32 destinationHigh = -1);
// Appends one requested parameter (length 0) before the list's terminator.
void AppendParameterId(QByteArray &request, quint16 id);

// The request of an engine operation: for Discover the fourteen discovery ids.
QByteArray BuildCommandRequest(Wire::Command command);

// Address records (8 bytes at offset 0 or 8 of the header).
void WriteIPv4Record(QByteArray &message, int offset, quint32 ip, quint16 port = Wire::DevicePort);
quint16 RecordType(QByteArrayView message, int offset);
quint32 RecordIPv4(QByteArrayView message, int offset);
bool RecordIsZero(QByteArrayView message, int offset);

// The three states a command's caller keeps.
enum TCommandResult : quint8 {
    ResultNoReply = 0,
    ResultAcknowledged = 1,
    ResultOtherReply = 2,
};

// An acknowledgement has byte 23 = 0, byte 24 = the command and bytes 25..26 = its
// acknowledgement code. Anything else, a reply too short to carry the code included,
// is another reply.
TCommandResult JudgeCommandReply(QByteArrayView reply, quint8 command, quint16 ackCode);
TCommandResult JudgeCommandReply(QByteArrayView reply, Wire::Command command);

// Whether a reply that comes over a stream connection is all there: a command reply once it
// carries its acknowledgement code, a discovery reply once its parameter list reaches its
// terminator (the element walk of the reply, so that FF FF inside a value does not end it).
bool IsCompleteReply(QByteArrayView reply, Wire::Command command);

// The acceptance tests of a discovery reply: a full header, source address neither all
// 0x00 nor all 0xFF, version 00 01, ProtocolCode, zero status, command byte 0 or 1.
bool IsValidDiscoveryReply(QByteArrayView reply);

// Takes a valid reply's address record, hardware address and parameters into the
// record. Elements running past the end of the reply end the walk; ids outside
// 1..4095 are skipped; a value whose length does not fit its kind is left as it was. The values
// are decoded as the device's type says in types.
void ApplyDiscoveryReply(TDeviceRecord &device, QByteArrayView reply,
                         const TDeviceTypeRegistry &types = TDeviceTypeRegistry::standard());

// The whole of a discovery reply's handling on a list: validates, finds the device by
// its address record or appends it, records the peer and transport, and decodes.
// Returns the device's index, or -1 for a reply that was ignored.
int MergeDiscoveryReply(QList<TDeviceRecord> &list, const QString &peerIp, QByteArrayView reply, bool viaDatagram,
                        const TDeviceTypeRegistry &types = TDeviceTypeRegistry::standard());

// The list's devices by address record, for merging the replies of a large segment without walking
// the list for each one. It mends itself when the list was changed behind it (cleared, sorted,
// appended to).
using TDeviceIndex = QHash<quint64, int>;
int MergeDiscoveryReply(QList<TDeviceRecord> &list, TDeviceIndex &index, const QString &peerIp, QByteArrayView reply,
                        bool viaDatagram, const TDeviceTypeRegistry &types = TDeviceTypeRegistry::standard());

// Records the adapter a discovery reply came in on: the first one, or a later one whose subnet
// holds the device's address (PreferAdapter), so the device keeps an adapter its commands reach
// it through.
void NoteReplyAdapter(TDeviceRecord &device, const TNetworkAdapter &adapter);
