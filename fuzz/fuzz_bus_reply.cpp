// Frames of the controller bus: the CRC, sealing a request, the residue test that a received frame
// must pass and the data of a read reply.
//
// Input: byte 0 is the number of data bytes a read asked for (0..255), the rest is the frame that
// came back. The client takes a read reply only when it has exactly 7 + count + 2 bytes and a zero
// CRC residue (TControllerBus::Exchange), then takes bytes 7.. of it as the data (ControllerBus::readReplyData).

#include "fuzzcheck.h"
#include "bus/controllerbus.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstddef>
#include <cstdint>

namespace {

// CRC-16/MODBUS bit by bit: polynomial 0xA001 (reflected), initial 0xFFFF, no final XOR.
quint16 bitwiseCrc(QByteArrayView bytes)
{
    quint16 crc = 0xFFFF;
    for (char c : bytes) {
        crc ^= static_cast<quint8>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<quint16>((crc >> 1) ^ 0xA001u) : static_cast<quint16>(crc >> 1);
    }
    return crc;
}

quint8 byteAt(QByteArrayView bytes, qsizetype i)
{
    return static_cast<quint8>(bytes[i]);
}

// What the client does with a reply to a read of count bytes: the exact length, a zero residue,
// then the data bytes.
std::optional<QByteArray> acceptReadReply(QByteArrayView frame, int count)
{
    if (frame.size() != ControllerBus::ReadReplyHeader + count + ControllerBus::CrcSize || !ControllerBus::residueIsZero(frame))
        return std::nullopt;
    return ControllerBus::readReplyData(frame, count);
}

void checkSeal(QByteArrayView request)
{
    const QByteArray sealed = ControllerBus::seal(request.toByteArray());
    FUZZ_CHECK(sealed.size() == request.size() + ControllerBus::CrcSize);
    for (qsizetype i = 0; i < request.size(); ++i) {
        // Only a unit byte 0x00 is replaced, by the unit every controller answers.
        const quint8 expected = (i == 0 && byteAt(request, 0) == 0) ? Wire::Bus::UnitAddress : byteAt(request, i);
        FUZZ_CHECK(byteAt(sealed, i) == expected);
    }
    const QByteArrayView body = QByteArrayView(sealed).first(request.size());
    const quint16 crc = bitwiseCrc(body);
    // Low byte first on the wire; ComputeCrc gives it as the high byte of its value.
    FUZZ_CHECK(byteAt(sealed, request.size()) == (crc & 0xFF));
    FUZZ_CHECK(byteAt(sealed, request.size() + 1) == (crc >> 8));
    FUZZ_CHECK(TControllerBus::ComputeCrc(body) == static_cast<quint16>(((crc & 0xFF) << 8) | (crc >> 8)));
    FUZZ_CHECK(ControllerBus::residueIsZero(sealed));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int count = data[0];
    const QByteArrayView frame(data + 1, static_cast<qsizetype>(size - 1));

    // The table-driven CRC against the bit-by-bit one; the residue test is the CRC over the whole frame.
    const quint16 crc = ControllerBus::crc16(frame);
    FUZZ_CHECK(crc == bitwiseCrc(frame));
    const bool good = ControllerBus::residueIsZero(frame);
    FUZZ_CHECK(good == (crc == 0));
    if (frame.size() >= ControllerBus::CrcSize) {
        // Zero residue exactly when the last two bytes are the CRC of the rest, low byte first.
        const qsizetype bodySize = frame.size() - ControllerBus::CrcSize;
        const quint16 bodyCrc = bitwiseCrc(frame.first(bodySize));
        FUZZ_CHECK(good == (byteAt(frame, bodySize) == (bodyCrc & 0xFF) && byteAt(frame, bodySize + 1) == (bodyCrc >> 8)));
    }

    // Sealing any request gives a frame with a zero residue.
    checkSeal(frame);

    // The data of a read reply: present when the reply holds the header and count bytes, and then
    // exactly those bytes; never for a negative count.
    const std::optional<QByteArray> replyData = ControllerBus::readReplyData(frame, count);
    FUZZ_CHECK(replyData.has_value() == (frame.size() >= ControllerBus::ReadReplyHeader + count));
    if (replyData)
        FUZZ_CHECK(*replyData == frame.sliced(ControllerBus::ReadReplyHeader, count));
    FUZZ_CHECK(!ControllerBus::readReplyData(frame, -1 - count));

    // The reply as the client takes it: exact length and a good CRC, or nothing.
    const std::optional<QByteArray> accepted = acceptReadReply(frame, count);
    if (accepted) {
        FUZZ_CHECK(good && frame.size() == ControllerBus::ReadReplyHeader + count + ControllerBus::CrcSize);
        FUZZ_CHECK(*accepted == frame.sliced(ControllerBus::ReadReplyHeader, count));
    }

    // A controller's reply to a read of the input's bytes is taken, with exactly those bytes, and a
    // change of one byte or of two neighbouring bytes (a burst within 16 bits) anywhere is refused.
    const int n = static_cast<int>(std::min<qsizetype>(count, frame.size()));
    const QByteArray payload = frame.first(n).toByteArray();
    QByteArray body = ControllerBus::readRequest(Wire::Bus::UnitAddress, 0x123456u + static_cast<quint32>(count), n);
    body += payload;
    const QByteArray reply = ControllerBus::seal(body);
    const std::optional<QByteArray> taken = acceptReadReply(reply, n);
    FUZZ_CHECK(taken && *taken == payload);
    const qsizetype position = (count * 7 + n) % reply.size();
    const quint8 delta = static_cast<quint8>(1 + (frame.isEmpty() ? 0 : byteAt(frame, frame.size() - 1) % 255));
    QByteArray damaged = reply;
    damaged[position] = static_cast<char>(byteAt(damaged, position) ^ delta);
    FUZZ_CHECK(!ControllerBus::residueIsZero(damaged));
    FUZZ_CHECK(!acceptReadReply(damaged, n));
    if (position + 1 < reply.size()) {
        damaged[position + 1] = static_cast<char>(byteAt(damaged, position + 1) ^ static_cast<quint8>(count));
        FUZZ_CHECK(!ControllerBus::residueIsZero(damaged));
    }
    // One byte short or one byte over is refused whatever the residue.
    FUZZ_CHECK(!acceptReadReply(QByteArrayView(reply).chopped(1), n));
    FUZZ_CHECK(!acceptReadReply(reply + '\0', n));
    return 0;
}
