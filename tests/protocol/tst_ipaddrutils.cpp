// The dotted-address checks: every message at the check that reports it, the order in
// which the checks run, and the two kinds of failure.
#include "protocol/ipaddrutils.h"

#include <QtTest>

#include <functional>

namespace {
enum class Failure { None, Assertion, Error };

struct Outcome
{
    Failure failure = Failure::None;
    QString message;
};

Outcome outcomeOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const EAssertionFailed &e) {
        return {Failure::Assertion, e.message()};
    } catch (const EIPAddressError &e) {
        return {Failure::Error, e.message()};
    }
    return {};
}

const QString piecesMessage = QStringLiteral("IPAddress must include 4 pieces of length 1..3. IPAddressString[%1]");
const QString leadingZeroMessage = QStringLiteral("Leading zero not allowed. IPAddressString[%1]");
const QString symbolsMessage = QStringLiteral("IP Address contains illegal symbols. IPAddressString[%1]");
const QString rangeMessage = QStringLiteral("Triplets must be of range 0..255  IPAddressString[%1]");
const QString dotsMessage = QStringLiteral("Must include exactly 3 dots! [%1]");
} // namespace

Q_DECLARE_METATYPE(Failure)

class TestIPAddrUtils : public QObject
{
    Q_OBJECT

private:
    // Rows shared by every routine that validates: input, failure kind, message,
    // and for a valid input its normalized form.
    static void addressRows()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("normalized");

        auto valid = [](const char *name, const char *input, const char *normalized) {
            QTest::newRow(name) << QString::fromLatin1(input) << Failure::None << QString()
                                << QString::fromLatin1(normalized);
        };
        auto fails = [](const char *name, const QString &input, Failure failure, const QString &format) {
            QTest::newRow(name) << input << failure << format.arg(input) << QString();
        };
        const auto s = [](const char *text) { return QString::fromUtf8(text); };

        valid("typical", "192.168.1.20", "192168001020");
        valid("zeros", "0.0.0.0", "000000000000");
        valid("fifteen characters", "255.255.255.255", "255255255255");
        valid("single digits", "1.2.3.4", "001002003004");

        QTest::newRow("length over 15") << s("1234.1234.1234.1") << Failure::Assertion
                                        << s("Illegal length for IPString![1234.1234.1234.1(16)]") << QString();
        QTest::newRow("length checked before dots") << s("1.2.3.4.5.6.7.8.9") << Failure::Assertion
                                                    << s("Illegal length for IPString![1.2.3.4.5.6.7.8.9(17)]")
                                                    << QString();
        QTest::newRow("percent signs stay text") << s("1.2.3.4%1%2%3%45") << Failure::Assertion
                                                 << s("Illegal length for IPString![1.2.3.4%1%2%3%45(16)]")
                                                 << QString();

        fails("two dots", s("1.2.3"), Failure::Assertion, dotsMessage);
        fails("four dots", s("1.2.3.4.5"), Failure::Assertion, dotsMessage);
        fails("no dots", s("1234"), Failure::Assertion, dotsMessage);
        fails("empty", QString(), Failure::Assertion, dotsMessage);

        fails("empty piece", s("1..3.4"), Failure::Error, piecesMessage);
        fails("trailing dot", s("1.2.3."), Failure::Error, piecesMessage);
        fails("leading dot", s(".1.2.3"), Failure::Error, piecesMessage);
        fails("piece of four digits", s("1.2345.6.7"), Failure::Error, piecesMessage);

        fails("leading zero", s("192.168.01.1"), Failure::Error, leadingZeroMessage);
        fails("double zero", s("00.1.1.1"), Failure::Error, leadingZeroMessage);
        fails("leading zero before long piece", s("01.2.3.4567"), Failure::Error, leadingZeroMessage);
        fails("long piece before leading zero", s("1.2345.01.1"), Failure::Error, piecesMessage);

        fails("illegal symbol", s("1.2.x.4"), Failure::Error, symbolsMessage);
        fails("minus sign", s("1.2.3.-4"), Failure::Error, symbolsMessage);
        fails("space", s(" 1.2.3.4"), Failure::Error, symbolsMessage);
        fails("percent sign", s("%1.2.3.4"), Failure::Error, symbolsMessage);
        fails("non-latin digit", s("1.2.\u0663.4"), Failure::Error, symbolsMessage);

        fails("out of range", s("256.1.1.1"), Failure::Error, rangeMessage);
        fails("last octet out of range", s("1.1.1.999"), Failure::Error, rangeMessage);
        fails("range of an earlier triplet first", s("256.1.x.1"), Failure::Error, rangeMessage);
        fails("symbol of an earlier triplet first", s("x.256.1.1"), Failure::Error, symbolsMessage);
    }

private slots:
    void extractField_data()
    {
        QTest::addColumn<QString>("s");
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("expected");

        const QString abc = QStringLiteral("a.bb.ccc");
        QTest::newRow("first") << abc << 1 << QStringLiteral("a");
        QTest::newRow("second") << abc << 2 << QStringLiteral("bb");
        QTest::newRow("last, no separator after it") << abc << 3 << QStringLiteral("ccc");
        QTest::newRow("past the end") << abc << 4 << QString();
        QTest::newRow("between two separators") << QStringLiteral("a..c") << 2 << QString();
        QTest::newRow("after the separator that ends the text") << QStringLiteral("a.b.") << 3 << QString();
        QTest::newRow("before a leading separator") << QStringLiteral(".x") << 1 << QString();
        QTest::newRow("after a leading separator") << QStringLiteral(".x") << 2 << QStringLiteral("x");
        QTest::newRow("no separator at all") << QStringLiteral("abc") << 1 << QStringLiteral("abc");
        QTest::newRow("empty text") << QString() << 1 << QString();
        QTest::newRow("field zero") << abc << 0 << QString();
    }

    void extractField()
    {
        QFETCH(QString, s);
        QFETCH(int, n);
        QFETCH(QString, expected);
        QCOMPARE(ExtractField(s, n, u'.'), expected);
    }

    void smallRoutines_data()
    {
        QTest::addColumn<QString>("s");
        QTest::addColumn<int>("dots");
        QTest::addColumn<QString>("withoutDotsAndSpaces");
        QTest::addColumn<bool>("digits");

        QTest::newRow("empty") << QString() << 0 << QString() << true;
        QTest::newRow("digits") << QStringLiteral("0123456789") << 0 << QStringLiteral("0123456789") << true;
        QTest::newRow("address") << QStringLiteral("1.22.3.4") << 3 << QStringLiteral("12234") << false;
        QTest::newRow("dots and spaces") << QStringLiteral(". .. ") << 3 << QString() << false;
        QTest::newRow("letter") << QStringLiteral("12a") << 0 << QStringLiteral("12a") << false;
        QTest::newRow("sign") << QStringLiteral("-1") << 0 << QStringLiteral("-1") << false;
        QTest::newRow("non-latin digit") << QStringLiteral("1\u0663") << 0 << QStringLiteral("1\u0663") << false;
    }

    void smallRoutines()
    {
        QFETCH(QString, s);
        QFETCH(int, dots);
        QFETCH(QString, withoutDotsAndSpaces);
        QFETCH(bool, digits);
        QCOMPARE(CountChar(s, u'.'), dots);
        QCOMPARE(RemoveChars(s, u". "), withoutDotsAndSpaces);
        QCOMPARE(IsDigitString(s), digits);
    }

    void validateIPString_data() { addressRows(); }

    void validateIPString()
    {
        QFETCH(QString, input);
        QFETCH(Failure, failure);
        QFETCH(QString, message);
        QFETCH(QString, normalized);

        const Outcome outcome = outcomeOf([&] { ValidateIPString(input); });
        QCOMPARE(outcome.failure, failure);
        QCOMPARE(outcome.message, message);
        if (failure == Failure::None)
            QCOMPARE(NormalizeIPString(input), normalized);
    }

    void getIPOctetValidatesFirst_data() { addressRows(); }

    void getIPOctetValidatesFirst()
    {
        QFETCH(QString, input);
        QFETCH(Failure, failure);
        QFETCH(QString, message);

        for (int n : {1, 4, 5}) {
            const Outcome outcome = outcomeOf([&] { GetIPOctet(input, n); });
            QCOMPARE(outcome.failure, failure);
            QCOMPARE(outcome.message, message);
        }
    }

    void getIPOctet_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("octet");

        const QString a = QStringLiteral("10.0.0.1");
        QTest::newRow("10.0.0.1 first") << a << 1 << 10;
        QTest::newRow("10.0.0.1 second") << a << 2 << 0;
        QTest::newRow("10.0.0.1 fourth") << a << 4 << 1;
        QTest::newRow("10.0.0.1 fifth") << a << 5 << 0;
        QTest::newRow("10.0.0.1 zeroth") << a << 0 << 0;
        QTest::newRow("10.0.0.1 negative") << a << -1 << 0;
        const QString b = QStringLiteral("192.168.9.255");
        QTest::newRow("192.168.9.255 second") << b << 2 << 168;
        QTest::newRow("192.168.9.255 third") << b << 3 << 9;
        QTest::newRow("192.168.9.255 fourth") << b << 4 << 255;
    }

    void getIPOctet()
    {
        QFETCH(QString, address);
        QFETCH(int, n);
        QFETCH(int, octet);
        QCOMPARE(GetIPOctet(address, n), octet);
    }

    // Called directly, the check of a normalized string reports a wrong length itself.
    void checkNormalizedIP_data()
    {
        QTest::addColumn<QString>("norm");
        QTest::addColumn<QString>("input");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QString>("message");

        const QString in = QStringLiteral("typed");
        QTest::newRow("valid") << QStringLiteral("192168001020") << in << Failure::None << QString();
        QTest::newRow("eleven characters") << QStringLiteral("19216800102") << in << Failure::Assertion
                                           << QStringLiteral("Illegal length for IPString![typed (Length:11) ]");
        QTest::newRow("thirteen characters") << QStringLiteral("1921680010200") << in << Failure::Assertion
                                             << QStringLiteral("Illegal length for IPString![typed (Length:13) ]");
        QTest::newRow("empty") << QString() << QString() << Failure::Assertion
                               << QStringLiteral("Illegal length for IPString![ (Length:0) ]");
        QTest::newRow("symbol in the last triplet") << QStringLiteral("19216800102x") << in << Failure::Error
                                                    << symbolsMessage.arg(in);
        QTest::newRow("range of the second triplet") << QStringLiteral("001256001001") << in << Failure::Error
                                                     << rangeMessage.arg(in);
    }

    void checkNormalizedIP()
    {
        QFETCH(QString, norm);
        QFETCH(QString, input);
        QFETCH(Failure, failure);
        QFETCH(QString, message);

        const Outcome outcome = outcomeOf([&] { CheckNormalizedIP(norm, input); });
        QCOMPARE(outcome.failure, failure);
        QCOMPARE(outcome.message, message);
    }

    // Callers that only want to know "valid or not" can catch the common base.
    void bothKindsShareTheProgramsErrorType()
    {
        for (const QString &bad : {QStringLiteral("1.2.3"), QStringLiteral("1.2.3.256")}) {
            bool caught = false;
            try {
                ValidateIPString(bad);
            } catch (const TarvinoError &e) {
                caught = !e.message().isEmpty();
            }
            QVERIFY2(caught, qPrintable(bad));
        }
    }
};

QTEST_GUILESS_MAIN(TestIPAddrUtils)
#include "tst_ipaddrutils.moc"
