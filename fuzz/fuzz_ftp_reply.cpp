// The control connection of the board's FTP server, as the reply parser sees it.
//
// Input: the bytes the server sent, followed by the places where reads cut them: the last byte is
// the number of cuts (0..31), the cuts' 16-bit offsets come before it (taken from the end, as
// FuzzedDataProvider does), and what remains at the front is the stream. A TCP stream may be cut
// anywhere, so the replies must come out the same whether the stream arrives whole, at the chosen
// cuts or byte by byte (the first 64 bytes), and whether they are taken after every read or once at the end.

#include "ftp/ftpclient.h"
#include "fuzzcheck.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

constexpr qsizetype ByteByByteLimit = 64;

struct Outcome
{
    QList<Ftp::Reply> replies;
    bool partial = false;
};

bool sameReply(const Ftp::Reply &a, const Ftp::Reply &b)
{
    return a.code == b.code && a.lines == b.lines;
}

bool sameOutcome(const Outcome &a, const Outcome &b)
{
    return a.partial == b.partial && a.replies.size() == b.replies.size()
           && std::equal(a.replies.begin(), a.replies.end(), b.replies.begin(), sameReply);
}

void takeAll(Ftp::ReplyParser &parser, Outcome &outcome)
{
    while (std::optional<Ftp::Reply> reply = parser.takeReply())
        outcome.replies.append(std::move(*reply));
    FUZZ_CHECK(!parser.hasReply());
}

// The stream in pieces ending at the given offsets; replies taken after each piece or at the end.
Outcome parse(QByteArrayView stream, const std::vector<qsizetype> &ends, bool takeEachTime = true)
{
    Ftp::ReplyParser parser;
    Outcome outcome;
    qsizetype from = 0;
    for (qsizetype end : ends) {
        parser.feed(stream.sliced(from, end - from));
        from = end;
        if (takeEachTime)
            takeAll(parser, outcome);
    }
    parser.feed(stream.sliced(from));
    takeAll(parser, outcome);
    outcome.partial = parser.hasPartialReply();
    return outcome;
}

void checkReply(const Ftp::Reply &reply, bool checkText)
{
    FUZZ_CHECK(!reply.lines.isEmpty());
    FUZZ_CHECK(reply.lines.size() <= Ftp::ReplyParser::MaxLines);
    for (const QByteArray &line : reply.lines) {
        FUZZ_CHECK(line.size() <= Ftp::ReplyParser::MaxLineLength);
        FUZZ_CHECK(!line.contains('\n'));
    }
    FUZZ_CHECK(reply.isMalformed() == (reply.code == 0));
    if (reply.code != 0) {
        FUZZ_CHECK(reply.code >= 100 && reply.code <= 599);
        // The first line starts with the code, then a space (one line) or a hyphen (several), or
        // is the code alone; the last line of several starts with the code too.
        const QByteArray &first = reply.lines.first();
        FUZZ_CHECK(Ftp::replyCode(first) == reply.code);
        if (reply.lines.size() == 1) {
            FUZZ_CHECK(first.size() == 3 || first.at(3) == ' ');
        } else {
            FUZZ_CHECK(first.size() > 3 && first.at(3) == '-');
            const QByteArray &last = reply.lines.last();
            FUZZ_CHECK(Ftp::replyCode(last) == reply.code);
            FUZZ_CHECK(last.size() == 3 || last.at(3) == ' ');
        }
    }
    // What a technician would read in the error box: any bytes decode.
    if (checkText) {
        const QString text = reply.text();
        FUZZ_CHECK(text.isEmpty() == (reply.lines.size() == 1 && reply.lines.first().isEmpty()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const int cutCount = provider.ConsumeIntegralInRange<int>(0, 31);
    std::vector<quint16> rawCuts;
    for (int i = 0; i < cutCount && provider.remaining_bytes() > 0; ++i)
        rawCuts.push_back(provider.ConsumeIntegral<quint16>());
    const std::vector<uint8_t> bytes = provider.ConsumeRemainingBytes<uint8_t>();
    // The parser reads from this exact buffer: a read past it is an AddressSanitizer finding.
    const QByteArrayView stream(bytes.data(), static_cast<qsizetype>(bytes.size()));

    std::vector<qsizetype> cuts;
    for (quint16 cut : rawCuts)
        cuts.push_back(stream.isEmpty() ? 0 : cut % (stream.size() + 1));
    std::sort(cuts.begin(), cuts.end());

    // The stream in one read.
    Ftp::ReplyParser parser;
    parser.feed(stream);
    Outcome whole;
    takeAll(parser, whole);
    whole.partial = parser.hasPartialReply();
    for (qsizetype i = 0; i < whole.replies.size(); ++i)
        checkReply(whole.replies[i], i < 16);
    FUZZ_CHECK(sameOutcome(whole, parse(stream, cuts, true)));

    // Byte by byte, the hardest cut, on the first bytes only (it costs a read per byte).
    const QByteArrayView head = stream.first(std::min<qsizetype>(stream.size(), ByteByByteLimit));
    std::vector<qsizetype> everyByte;
    for (qsizetype i = 1; i < head.size(); ++i)
        everyByte.push_back(i);
    FUZZ_CHECK(sameOutcome(head.size() == stream.size() ? whole : parse(head, {}, false), parse(head, everyByte, true)));

    // clear() drops everything the whole stream left, a line being skipped included: the next
    // reply reads as new.
    parser.clear();
    FUZZ_CHECK(!parser.hasReply() && !parser.hasPartialReply());
    parser.feed(QByteArrayView("200 OK.\r\n"));
    const std::optional<Ftp::Reply> after = parser.takeReply();
    FUZZ_CHECK(after && after->code == 200 && !parser.hasReply());

    // The code of the first line as the client reads it.
    if (const std::optional<int> code = Ftp::replyCode(stream))
        FUZZ_CHECK(*code >= 100 && *code <= 599 && stream.size() >= 3);
    return 0;
}
