// FTP replies as RFC 959 shapes them, fed to the parser in every cut a TCP stream can make, and the
// small wire helpers of the upload (PORT argument, bare file name).

#include "ftp/ftpclient.h"

#include <QHostAddress>
#include <QTest>

namespace {

// A reply written as "code|line|line...", code 0 for an unreadable one.
QByteArray describe(const Ftp::Reply &reply)
{
    QByteArray text = QByteArray::number(reply.code);
    for (const QByteArray &line : reply.lines)
        text += '|' + line;
    return text;
}

QList<QByteArray> parseAll(const QList<QByteArray> &chunks)
{
    Ftp::ReplyParser parser;
    QList<QByteArray> replies;
    for (const QByteArray &chunk : chunks) {
        parser.feed(chunk);
        while (const std::optional<Ftp::Reply> reply = parser.takeReply())
            replies << describe(*reply);
    }
    return replies;
}

// The stream cut after every byte: the hardest way for a server's bytes to arrive.
QList<QByteArray> byteByByte(const QByteArray &stream)
{
    QList<QByteArray> chunks;
    for (char c : stream)
        chunks << QByteArray(1, c);
    return chunks;
}

} // namespace

class TestFtpReply : public QObject
{
    Q_OBJECT

private slots:
    void parses_data();
    void parses();
    void cutsAnywhere_data();
    void cutsAnywhere();
    void holdsPartialReply();
    void boundsLongLine();
    void boundsLongReply();
    void replyCode_data();
    void replyCode();
    void replyText();
    void portArgument_data();
    void portArgument();
    void bareFileName_data();
    void bareFileName();
};

void TestFtpReply::parses_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<QByteArray>>("expected");

    using L = QList<QByteArray>;
    QTest::newRow("single line") << L{"220 Ready.\r\n"} << L{"220|220 Ready."};
    QTest::newRow("code alone") << L{"200\r\n"} << L{"200|200"};
    QTest::newRow("two replies in one read") << L{"426 Aborted.\r\n226 Done.\r\n"}
                                             << L{"426|426 Aborted.", "226|226 Done."};
    QTest::newRow("line split across reads") << L{"33", "1 Password ", "required.\r\n"}
                                             << L{"331|331 Password required."};
    QTest::newRow("cr and lf in different reads") << L{"230 OK.\r", "\n"} << L{"230|230 OK."};
    QTest::newRow("bare lf") << L{"215 UNIX Type: L8\n"} << L{"215|215 UNIX Type: L8"};
    QTest::newRow("no line end yet") << L{"220 Ready."} << L{};
    QTest::newRow("multi-line") << L{"230-Welcome.\r\n230-Second line.\r\n230 Logged in.\r\n"}
                                << L{"230|230-Welcome.|230-Second line.|230 Logged in."};
    QTest::newRow("multi-line inner lines with digits")
        << L{"220-Banner\r\n123 not a code of ours\r\n220-still inside\r\n 220 indented\r\n2201 joined\r\n220 Ready.\r\n"}
        << L{"220|220-Banner|123 not a code of ours|220-still inside| 220 indented|2201 joined|220 Ready."};
    QTest::newRow("multi-line ended by bare code") << L{"211-Features:\r\n MDTM\r\n211\r\n"}
                                                   << L{"211|211-Features:| MDTM|211"};
    QTest::newRow("multi-line other final code is inner")
        << L{"250-Start\r\n226 inner\r\n250 End\r\n"} << L{"250|250-Start|226 inner|250 End"};
    QTest::newRow("multi-line empty inner line") << L{"220-A\r\n\r\n220 B\r\n"} << L{"220|220-A||220 B"};
    QTest::newRow("multi-line unfinished") << L{"230-Welcome.\r\n230-More\r\n"} << L{};
    QTest::newRow("binary text kept") << L{QByteArray("550 Fichier \xe9\x00x.\r\n", 18)}
                                      << L{QByteArray("550|550 Fichier \xe9\x00x.", 20)};

    QTest::newRow("text without code") << L{"hello\r\n"} << L{"0|hello"};
    QTest::newRow("empty line") << L{"\r\n"} << L{"0|"};
    QTest::newRow("two digits") << L{"22 Ready.\r\n"} << L{"0|22 Ready."};
    QTest::newRow("first digit 0") << L{"099 Odd.\r\n"} << L{"0|099 Odd."};
    QTest::newRow("first digit 6") << L{"631 Odd.\r\n"} << L{"0|631 Odd."};
    QTest::newRow("letter in code") << L{"2a0 Odd.\r\n"} << L{"0|2a0 Odd."};
    QTest::newRow("four digits") << L{"2200 Odd.\r\n"} << L{"0|2200 Odd."};
    QTest::newRow("code then tab") << L{"220\tOdd.\r\n"} << L{"0|220\tOdd."};
    QTest::newRow("malformed then good") << L{"junk\r\n200 OK.\r\n"} << L{"0|junk", "200|200 OK."};
}

void TestFtpReply::parses()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<QByteArray>, expected);
    QCOMPARE(parseAll(chunks), expected);
}

void TestFtpReply::cutsAnywhere_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("expected");
    using L = QList<QByteArray>;
    QTest::newRow("exchange") << QByteArray("220 Ready.\r\n331 Password.\r\n230 In.\r\n200 Binary.\r\n")
                              << L{"220|220 Ready.", "331|331 Password.", "230|230 In.", "200|200 Binary."};
    QTest::newRow("multi-line among singles")
        << QByteArray("220-A\r\n220-B 5\r\n330 x\r\n220 C\r\n426 Closed.\r\n226 Complete.\r\n")
        << L{"220|220-A|220-B 5|330 x|220 C", "426|426 Closed.", "226|226 Complete."};
    QTest::newRow("malformed among good") << QByteArray("200 A\r\n?\r\n200 B\n")
                                          << L{"200|200 A", "0|?", "200|200 B"};
}

void TestFtpReply::cutsAnywhere()
{
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, expected);
    QCOMPARE(parseAll({stream}), expected);
    QCOMPARE(parseAll(byteByByte(stream)), expected);
    for (qsizetype cut = 1; cut < stream.size(); ++cut)
        QCOMPARE(parseAll({stream.left(cut), stream.mid(cut)}), expected);
}

void TestFtpReply::holdsPartialReply()
{
    Ftp::ReplyParser parser;
    QVERIFY(!parser.hasPartialReply());
    parser.feed("230-Welcome\r\n");
    QVERIFY(!parser.hasReply());
    QVERIFY(parser.hasPartialReply());
    parser.feed("230 In.\r\n22");
    QVERIFY(parser.hasReply());
    QVERIFY(parser.hasPartialReply());
    QCOMPARE(describe(*parser.takeReply()), QByteArray("230|230-Welcome|230 In."));
    QVERIFY(!parser.takeReply());
    parser.clear();
    QVERIFY(!parser.hasPartialReply());
    parser.feed("0 after clear\r\n");
    QCOMPARE(describe(*parser.takeReply()), QByteArray("0|0 after clear")); // "22" was dropped
}

void TestFtpReply::boundsLongLine()
{
    Ftp::ReplyParser parser;
    const QByteArray longText(3 * Ftp::ReplyParser::MaxLineLength, 'x');
    // Fed in pieces, as a server flooding one line would send it.
    parser.feed("220 ");
    for (qsizetype at = 0; at < longText.size(); at += 1000)
        parser.feed(QByteArrayView(longText).sliced(at, std::min<qsizetype>(1000, longText.size() - at)));
    QVERIFY(parser.hasReply());
    const Ftp::Reply cut = *parser.takeReply();
    QVERIFY(cut.isMalformed());
    QCOMPARE(cut.lines.size(), 1);
    QCOMPARE(cut.lines.first().size(), Ftp::ReplyParser::MaxLineLength);
    QVERIFY(cut.lines.first().startsWith("220 xxx"));
    QVERIFY(!parser.hasPartialReply()); // the rest of the line is dropped, not held
    parser.feed("yyy\r\n200 Next.\r\n");
    QCOMPARE(describe(*parser.takeReply()), QByteArray("200|200 Next."));
    QVERIFY(!parser.hasReply());

    // A line of exactly the limit is still a line.
    Ftp::ReplyParser exact;
    exact.feed("200 " + QByteArray(Ftp::ReplyParser::MaxLineLength - 4, 'y') + "\r\n");
    QCOMPARE(exact.takeReply()->code, 200);
}

void TestFtpReply::boundsLongReply()
{
    Ftp::ReplyParser parser;
    parser.feed("220-Start\r\n");
    for (qsizetype i = 0; i < 2 * Ftp::ReplyParser::MaxLines; ++i)
        parser.feed("220-inner\r\n");
    QVERIFY(parser.hasReply());
    const Ftp::Reply tooLong = *parser.takeReply();
    QVERIFY(tooLong.isMalformed());
    QCOMPARE(tooLong.lines.size(), Ftp::ReplyParser::MaxLines);
    QCOMPARE(tooLong.lines.first(), QByteArray("220-Start"));
}

void TestFtpReply::replyCode_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("code"); // -1: none
    QTest::newRow("150") << QByteArray("150 Ok") << 150;
    QTest::newRow("599") << QByteArray("599") << 599;
    QTest::newRow("100-") << QByteArray("100-x") << 100;
    QTest::newRow("099") << QByteArray("099 x") << -1;
    QTest::newRow("600") << QByteArray("600 x") << -1;
    QTest::newRow("2x0") << QByteArray("2x0 x") << -1;
    QTest::newRow("20") << QByteArray("20") << -1;
    QTest::newRow("empty") << QByteArray() << -1;
    QTest::newRow(" 200") << QByteArray(" 200 x") << -1;
}

void TestFtpReply::replyCode()
{
    QFETCH(QByteArray, line);
    QFETCH(int, code);
    QCOMPARE(Ftp::replyCode(line).value_or(-1), code);
}

void TestFtpReply::replyText()
{
    Ftp::ReplyParser parser;
    parser.feed("530-Login incorrect.\r\n530 Caf\xc3\xa9 closed.\r\n");
    const Ftp::Reply reply = *parser.takeReply();
    QCOMPARE(reply.text(), QStringLiteral("530-Login incorrect.\n530 Caf\u00e9 closed."));
}

void TestFtpReply::portArgument_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("argument");
    QTest::newRow("loopback") << QStringLiteral("127.0.0.1") << 50000 << QByteArray("127,0,0,1,195,80");
    QTest::newRow("lab pc") << QStringLiteral("198.18.0.1") << 21 << QByteArray("198,18,0,1,0,21");
    QTest::newRow("high octets") << QStringLiteral("255.254.253.252") << 65535 << QByteArray("255,254,253,252,255,255");
    QTest::newRow("low port byte zero") << QStringLiteral("10.0.0.9") << 256 << QByteArray("10,0,0,9,1,0");
}

void TestFtpReply::portArgument()
{
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(QByteArray, argument);
    QCOMPARE(Ftp::portArgument(QHostAddress(address).toIPv4Address(), static_cast<quint16>(port)), argument);
}

void TestFtpReply::bareFileName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::newRow("folders") << QStringLiteral("/home/tech/images/board-2.4.bin") << QStringLiteral("board-2.4.bin");
    QTest::newRow("relative") << QStringLiteral("images/fw.img") << QStringLiteral("fw.img");
    QTest::newRow("bare") << QStringLiteral("fw.img") << QStringLiteral("fw.img");
    QTest::newRow("spaces") << QStringLiteral("/tmp/my images/new fw.bin") << QStringLiteral("new fw.bin");
}

void TestFtpReply::bareFileName()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QCOMPARE(Ftp::bareFileName(path), name);
}

QTEST_GUILESS_MAIN(TestFtpReply)
#include "tst_ftpreply.moc"
