// A device's answer to a command, as the engine judges it.
//
// Input: byte 0 is the command the engine sent, bytes 1..2 the acknowledgement code it waits for
// (most significant first), the rest is the reply datagram. An acknowledgement has byte 23 = 0,
// byte 24 = the command and bytes 25..26 = the code; bytes after 26 do not matter.

#include "protocol/datagram.h"
#include "fuzzcheck.h"
#include "protocol/wire.h"

#include <QByteArrayView>

#include <cstddef>
#include <cstdint>

namespace {

bool modelAcknowledges(const uint8_t *reply, std::size_t size, quint8 command, quint16 ackCode)
{
    if (size < static_cast<std::size_t>(Wire::CommandReplyMinSize))
        return false;
    return reply[23] == 0 && reply[24] == command && ((reply[25] << 8) | reply[26]) == ackCode;
}

void checkJudge(const uint8_t *reply, std::size_t size, quint8 command, quint16 ackCode)
{
    const QByteArrayView view(reply, static_cast<qsizetype>(size));
    const TCommandResult result = JudgeCommandReply(view, command, ackCode);
    // A reply that came is never judged as none.
    FUZZ_CHECK(result == ResultAcknowledged || result == ResultOtherReply);
    FUZZ_CHECK((result == ResultAcknowledged) == modelAcknowledges(reply, size, command, ackCode));
    if (size >= static_cast<std::size_t>(Wire::CommandReplyMinSize))
        FUZZ_CHECK(JudgeCommandReply(view.first(Wire::CommandReplyMinSize), command, ackCode) == result);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const quint8 command = data[0];
    const quint16 ackCode = static_cast<quint16>((data[1] << 8) | data[2]);
    const uint8_t *reply = data + 3;
    const std::size_t replySize = size - 3;

    // The command and code the input names, and the same reply for the command and code as cut short.
    checkJudge(reply, replySize, command, ackCode);
    for (std::size_t cut : {std::size_t(0), std::size_t(26), replySize / 2})
        if (cut <= replySize)
            checkJudge(reply, cut, command, ackCode);

    // Every command the program sends, with its own code: one at most acknowledges a reply, as
    // each has a command byte of its own.
    const QByteArrayView view(reply, static_cast<qsizetype>(replySize));
    int acknowledged = 0;
    for (const Wire::CommandInfo &info : Wire::Commands) {
        const TCommandResult result = JudgeCommandReply(view, info.command);
        FUZZ_CHECK(result == JudgeCommandReply(view, static_cast<quint8>(info.command), info.ackCode));
        FUZZ_CHECK((result == ResultAcknowledged)
                   == modelAcknowledges(reply, replySize, static_cast<quint8>(info.command), info.ackCode));
        if (result == ResultAcknowledged)
            ++acknowledged;
    }
    FUZZ_CHECK(acknowledged <= 1);
    return 0;
}
