// The platform of a system without a folder of its own: every call says it is not available on
// this system, in a line the caller can show, and has no other effect.
#include "platform/platform.h"

#include <QtTest>

using namespace Qt::StringLiterals;
using Level = Platform::Notice::Level;

namespace {
// What each call gives, as the text the caller shows and whether it is only a warning.
struct Answer
{
    QString text;
    bool warningOnly = true; // nothing the call says is a problem of the PC's
};

Answer answerOf(const QString &call)
{
    if (call == u"flushNeighbour"_s) {
        const Platform::NeighbourFlush flush = Platform::flushNeighbour(u"198.18.1.7"_s, 1000);
        return {flush.message, !flush.ran && !flush.refused && flush.message.contains(u"198.18.1.7"_s)};
    }
    if (call == u"neighbourFlushNotice"_s) {
        const Platform::Notice notice = Platform::neighbourFlushNotice();
        return {notice.text, notice.level == Level::Warning};
    }
    if (call == u"udpPortHolder"_s)
        return {Platform::udpPortHolder(52389), true};
    const QList<Platform::Notice> notices = Platform::firewallNotices({52389, 52390});
    return {notices.value(0).text, notices.size() == 1 && notices.first().level == Level::Warning};
}
} // namespace

class TestPlatformNone : public QObject
{
    Q_OBJECT
private slots:
    void name()
    {
        QCOMPARE(Platform::name(), u"none"_s);
        QCOMPARE(Platform::notAvailable(), u"not available on this system"_s);
        QCOMPARE(Platform::systemTool(u"ip"_s), QString()); // no system's tools to look for
        QVERIFY(!Platform::giveWayToOtherThreads()); // the thread runs as any other
    }

    void callsSayNotAvailable_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("word"); // what the line is about, for the reader
        QTest::newRow("flushNeighbour") << u"flushNeighbour"_s << u"cached hardware address"_s;
        QTest::newRow("neighbourFlushNotice") << u"neighbourFlushNotice"_s << u"ARP flush"_s;
        QTest::newRow("udpPortHolder") << u"udpPortHolder"_s << u"another program"_s;
        QTest::newRow("firewallNotices") << u"firewallNotices"_s << u"firewall rules"_s;
    }

    void callsSayNotAvailable()
    {
        QFETCH(QString, call);
        QFETCH(QString, word);
        const Answer answer = answerOf(call);
        QVERIFY2(answer.text.contains(u"not available on this system"_s), qPrintable(answer.text));
        QVERIFY2(answer.text.contains(word), qPrintable(answer.text));
        QVERIFY(answer.warningOnly);
    }
};

QTEST_GUILESS_MAIN(TestPlatformNone)
#include "tst_platform_none.moc"
