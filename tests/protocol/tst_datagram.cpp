// Request layout, command acknowledgements and the reading of discovery replies.
#include "protocol/datagram.h"
#include "replybuilder.h"
#include "protocol/resource.h"
#include "protocol/ipv4text.h"

#include <QtTest>

class TestDatagram : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        StartupInit();
    }

    void discoveryBroadcast()
    {
        const QByteArray request = BuildCommandRequest(Wire::Command::Discover);
        const QByteArray expected = QByteArray::fromHex("0001ffffffffffff"
                                                        "0000000000000000"
                                                        "0001" "1156" "00000000" "01"
                                                        "000100" "000200" "000300" "000400" "000500" "000700"
                                                        "000600" "000d00" "000c00" "000e00" "000f00" "001000"
                                                        "001100" "001200"
                                                        "ffff");
        QCOMPARE(request.size(), 69);
        QCOMPARE(request.toHex(' '), expected.toHex(' '));
    }

    void startFtpServerByDatagram()
    {
        QByteArray request = BuildCommandRequest(Wire::Command::StartFtpServer);
        WriteIPv4Record(request, Wire::DestinationOffset, TextToIp(QStringLiteral("192.168.1.20")));
        QVERIFY(RecordIsZero(request, Wire::SourceOffset));
        WriteIPv4Record(request, Wire::SourceOffset, TextToIp(QStringLiteral("192.168.1.5")));
        const QByteArray expected = QByteArray::fromHex("0002c0a80114cca5"
                                                        "0002c0a80105cca5"
                                                        "0001" "1156" "00000000" "03" "ffff");
        QCOMPARE(request.toHex(' '), expected.toHex(' '));
        QCOMPARE(RecordType(request, 0), quint16(2));
        QCOMPARE(RecordIPv4(request, 0), 0xC0A80114u);
    }

    void buildRequestWithDestinationHalves()
    {
        const QByteArray request = BuildRequest(7, 0x0102CCA5, 0x0002C0A8);
        QCOMPARE(request.left(8).toHex(), QByteArray("0002c0a80102cca5"));
        QCOMPARE(request.size(), 27);
    }

    void appendKeepsOrder()
    {
        QByteArray request = BuildRequest(1);
        for (quint16 id : {0x0FFF, 0x0001, 0x0123})
            AppendParameterId(request, id);
        QCOMPARE(request.mid(25).toHex(), QByteArray("0fff00" "000100" "012300" "ffff"));
    }

    void commandTable_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("waitCount");
        QTest::addColumn<QByteArray>("ack");
        QTest::newRow("3 StartFtpServer") << 3 << 50 << QByteArray::fromHex("fffe");
        QTest::newRow("4 StopFtpServer") << 4 << 50 << QByteArray::fromHex("fffe");
        QTest::newRow("5 StartUpdater") << 5 << 50 << QByteArray::fromHex("fffd");
        QTest::newRow("6 StopUpdater") << 6 << 50 << QByteArray::fromHex("fffc");
        QTest::newRow("7 StartDaemon") << 7 << 100 << QByteArray::fromHex("fffb");
        QTest::newRow("8 StopDaemon") << 8 << 100 << QByteArray::fromHex("fffa");
        QTest::newRow("9 SetDropBear") << 9 << 50 << QByteArray::fromHex("fff9");
        QTest::newRow("11 SystemUpgrade") << 11 << 50 << QByteArray::fromHex("fff7");
    }
    void commandTable()
    {
        QFETCH(int, code);
        QFETCH(int, waitCount);
        QFETCH(QByteArray, ack);
        const Wire::CommandInfo *info = Wire::findCommand(static_cast<quint8>(code));
        QVERIFY(info);
        QCOMPARE(info->waitCount, waitCount);
        const QByteArray request = BuildCommandRequest(info->command);
        QCOMPARE(request.size(), 27);
        QCOMPARE(quint8(request[24]), quint8(code));

        const QByteArray acknowledgement = ReplyBuilder(static_cast<quint8>(code)).raw(ack);
        QCOMPARE(JudgeCommandReply(acknowledgement, info->command), ResultAcknowledged);

        QByteArray statusSet = acknowledgement;
        statusSet[23] = 1;
        QCOMPARE(JudgeCommandReply(statusSet, info->command), ResultOtherReply);
        QByteArray otherCommand = acknowledgement;
        otherCommand[24] = static_cast<char>(code == 3 ? 4 : 3);
        QCOMPARE(JudgeCommandReply(otherCommand, info->command), ResultOtherReply);
        QByteArray otherCode = acknowledgement;
        otherCode[26] = static_cast<char>(quint8(otherCode[26]) ^ 0x01);
        QCOMPARE(JudgeCommandReply(otherCode, info->command), ResultOtherReply);
        QCOMPARE(JudgeCommandReply(acknowledgement.left(26), info->command), ResultOtherReply);
        QCOMPARE(JudgeCommandReply(QByteArray(), info->command), ResultOtherReply);
    }

    void codesNeverSent_data()
    {
        QTest::addColumn<int>("code");
        QTest::newRow("0") << 0;
        QTest::newRow("2") << 2;
        QTest::newRow("10") << 10;
        QTest::newRow("12") << 12;
    }
    void codesNeverSent()
    {
        QFETCH(int, code);
        QVERIFY(!Wire::findCommand(static_cast<quint8>(code)));
    }

    void startFtpServerNotAckedByFFFF()
    {
        // Command 3 expects the same code as command 4, not FF FF.
        const QByteArray reply = ReplyBuilder(3).raw(QByteArray::fromHex("ffff"));
        QCOMPARE(JudgeCommandReply(reply, Wire::Command::StartFtpServer), ResultOtherReply);
    }

    void replyValidity_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("valid");
        const QByteArray good = ReplyBuilder().text(7, "pump").terminate();
        QTest::newRow("valid") << good << true;
        QTest::newRow("exactly 25 bytes") << good.left(25) << true;
        QTest::newRow("24 bytes") << good.left(24) << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("command 0") << ReplyBuilder(0).terminate().bytes() << true;
        QTest::newRow("command 2") << ReplyBuilder(2).terminate().bytes() << false;
        QTest::newRow("address all ff") << ReplyBuilder(1, QByteArray::fromHex("0001ffffffffffff")).bytes() << false;
        QTest::newRow("address all 00") << ReplyBuilder(1, QByteArray::fromHex("0001000000000000")).bytes() << false;
        QTest::newRow("type 2 address all ff") << ReplyBuilder(1, QByteArray::fromHex("0002ffffffffffff")).bytes()
                                               << false;
        QTest::newRow("type bytes not examined") << ReplyBuilder(1, QByteArray::fromHex("ffff0050c21a2b3c")).bytes()
                                                 << true;
        QTest::newRow("version 0002") << ReplyBuilder().setByte(17, 2).bytes() << false;
        QTest::newRow("protocol 1157") << ReplyBuilder().setByte(19, 0x57).bytes() << false;
        QTest::newRow("status byte 20") << ReplyBuilder().setByte(20, 1).bytes() << false;
        QTest::newRow("status byte 23") << ReplyBuilder().setByte(23, 1).bytes() << false;
    }
    void replyValidity()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, valid);
        QCOMPARE(IsValidDiscoveryReply(reply), valid);
        QList<TDeviceRecord> list;
        QCOMPARE(MergeDiscoveryReply(list, QStringLiteral("198.18.1.1"), reply, true), valid ? 0 : -1);
        QCOMPARE(list.size(), valid ? 1 : 0);
    }

    // The index of a large list gives the same list as the plain merge, also when the list was
    // cleared, sorted or appended to behind it.
    void indexedMergeKeepsTheList_data()
    {
        QTest::addColumn<QString>("change"); // what is done to the list between two bursts
        QTest::newRow("nothing") << u"none"_qs;
        QTest::newRow("cleared") << u"clear"_qs;
        QTest::newRow("reversed") << u"reverse"_qs;
        QTest::newRow("appended to") << u"append"_qs;
    }

    void indexedMergeKeepsTheList()
    {
        QFETCH(QString, change);
        auto reply = [](int device, const char *name) {
            QByteArray record = QByteArray::fromHex("0001" "0050c2000000");
            record[7] = char(device);
            return ReplyBuilder(1, record).text(7, name).terminate().bytes();
        };
        QList<TDeviceRecord> plain, indexed;
        TDeviceIndex index;
        auto burst = [&](const char *name) {
            for (int device : {3, 1, 2, 1, 3})
                QCOMPARE(MergeDiscoveryReply(indexed, index, QStringLiteral("198.18.1.%1").arg(device), reply(device, name), true),
                         MergeDiscoveryReply(plain, QStringLiteral("198.18.1.%1").arg(device), reply(device, name), true));
        };
        burst("first");
        for (QList<TDeviceRecord> *list : {&plain, &indexed}) {
            if (change == u"clear")
                list->clear();
            else if (change == u"reverse")
                std::reverse(list->begin(), list->end());
            else if (change == u"append")
                MergeDiscoveryReply(*list, QStringLiteral("198.18.1.9"), reply(9, "nine"), true);
        }
        burst("second");
        QCOMPARE(indexed, plain);
        QCOMPARE(indexed.size(), change == u"append" ? 4 : 3);
    }

    void decodesDiscoveryReply()
    {
        const QByteArray reply = ReplyBuilder()
                                     .ipv4(1, 0xFFFFFF00)
                                     .ipv4(2, 0xC0A80114)
                                     .element(6, QByteArray::fromHex("10"))
                                     .text(7, "Pump 3")
                                     .element(13, QByteArray::fromHex("000b1156"))
                                     .element(10, QByteArray::fromHex("0050c21a2b3c"))
                                     .text(12, "HW 2.1")
                                     .text(16, "BS 1.0")
                                     .terminate();
        QList<TDeviceRecord> list;
        QCOMPARE(MergeDiscoveryReply(list, QStringLiteral("192.168.1.20"), reply, true), 0);
        const TDeviceRecord &device = list[0];
        QCOMPARE(device.IpText, QStringLiteral("192.168.1.20"));
        QCOMPARE(device.Transport, TransportUdp);
        QCOMPARE(device.Mac, quint64(0x0050C21A2B3C));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(device.Address.data()), 8).toHex(),
                 QByteArray("00010050c21a2b3c"));
        QCOMPARE(device.Params.number(2), qint64(0xC0A80114));
        QCOMPARE(device.Params.number(6), qint64(0x10));
        QCOMPARE(device.Params.text(7), QStringLiteral("Pump 3"));
        QCOMPARE(device.Params.number(13), qint64(0x000B1156));
        // Element 10 came after 13, so it was read with the built-in type's table.
        QCOMPARE(device.Params.number(10), qint64(0x0050C21A2B3C));
        QCOMPARE(device.Params.text(16), QStringLiteral("BS 1.0"));
    }

    void typeCodeCountsFromItsElementOn()
    {
        // Element 10 before 13: the device has no type yet, so 10 is read raw.
        const QByteArray reply = ReplyBuilder()
                                     .element(10, QByteArray::fromHex("0050c21a2b3c"))
                                     .element(13, QByteArray::fromHex("000b1156"))
                                     .terminate();
        QList<TDeviceRecord> list;
        MergeDiscoveryReply(list, QStringLiteral("10.0.0.1"), reply, true);
        QCOMPARE(list[0].Params[10], TParamValue(QByteArray("6:\"0050C21A2B3C\"\x00\x50\xc2\x1a\x2b\x3c", 22)));
        // A second reply now uses the type learnt from the first one.
        MergeDiscoveryReply(list, QStringLiteral("10.0.0.1"), reply, true);
        QCOMPARE(list[0].Params.number(10), qint64(0x0050C21A2B3C));
    }

    void malformedElements_data()
    {
        QTest::addColumn<QByteArray>("tail");
        QTest::addColumn<QString>("name");      // parameter 7 afterwards
        QTest::addColumn<qint64>("ip");         // parameter 2 afterwards, 0 when never stored
        auto hex = [](const char *h) { return QByteArray::fromHex(h); };
        QTest::newRow("ip of 3 bytes skipped, next decoded")
            << hex("000203c0a801" "0007026162" "ffff") << "ab" << qint64(0);
        QTest::newRow("length past the end") << hex("0007026162" "000209c0a80114") << "ab" << qint64(0);
        QTest::newRow("length past the end by one") << hex("0007026162" "000205c0a80114") << "ab" << qint64(0);
        QTest::newRow("id 0 skipped") << hex("000001ff" "0007026162" "ffff") << "ab" << qint64(0);
        QTest::newRow("id 4096 skipped") << hex("100001ff" "0007026162" "ffff") << "ab" << qint64(0);
        QTest::newRow("id 0xfffe skipped") << hex("fffe01ff" "0007026162" "ffff") << "ab" << qint64(0);
        QTest::newRow("no terminator") << hex("0007026162" "000204c0a80114") << "ab" << qint64(0xC0A80114);
        QTest::newRow("two stray bytes at the end") << hex("0007026162" "0002") << "ab" << qint64(0);
        QTest::newRow("stops at terminator") << hex("0007026162" "ffff" "000204c0a80114") << "ab" << qint64(0);
        QTest::newRow("empty name") << hex("000700" "ffff") << "" << qint64(0);
    }
    void malformedElements()
    {
        QFETCH(QByteArray, tail);
        QFETCH(QString, name);
        QFETCH(qint64, ip);
        // The reply lives in a buffer of exactly its size: reading past it is caught by the sanitizers.
        const QByteArray reply = ReplyBuilder().raw(tail);
        QList<TDeviceRecord> list;
        QCOMPARE(MergeDiscoveryReply(list, QStringLiteral("10.0.0.1"), reply, true), 0);
        QCOMPARE(list[0].Params.text(7), name);
        QCOMPARE(list[0].Params.number(2, 0), ip);
    }

    void wrongLengthKeepsPreviousValue()
    {
        QList<TDeviceRecord> list;
        MergeDiscoveryReply(list, QStringLiteral("10.0.0.1"), ReplyBuilder().element(6, QByteArray::fromHex("10")).terminate().bytes(), true);
        MergeDiscoveryReply(list, QStringLiteral("10.0.0.1"), ReplyBuilder().element(6, QByteArray::fromHex("0000")).terminate().bytes(), true);
        QCOMPARE(list[0].Params.number(6), qint64(0x10));
    }

    void deviceIdentity()
    {
        QList<TDeviceRecord> list;
        const QByteArray mac = QByteArray::fromHex("0001" "0050c21a2b3c");
        const QByteArray sameBytesType2 = QByteArray::fromHex("0002" "0050c21a2b3c");
        const QByteArray other = QByteArray::fromHex("0001" "0050c21a2b3d");

        QCOMPARE(MergeDiscoveryReply(list, QStringLiteral("10.0.0.1"), ReplyBuilder(1, mac).text(7, "a").terminate().bytes(), true), 0);
        QCOMPARE(MergeDiscoveryReply(list, QStringLiteral("10.0.0.2"), ReplyBuilder(1, other).terminate().bytes(), true), 1);
        QCOMPARE(MergeDiscoveryReply(list, QStringLiteral("10.0.0.3"), ReplyBuilder(1, sameBytesType2).terminate().bytes(), true), 2);
        // The same device again, from another address and without its name: updated in place.
        QCOMPARE(MergeDiscoveryReply(list, QStringLiteral("10.0.0.9"), ReplyBuilder(0, mac).terminate().bytes(), false), 0);
        QCOMPARE(list.size(), 3);
        QCOMPARE(list[0].IpText, QStringLiteral("10.0.0.9"));
        QCOMPARE(list[0].Transport, TransportTcp);
        QCOMPARE(list[0].Params.text(7), QStringLiteral("a"));
        QCOMPARE(list[2].Mac, quint64(0)); // type 2 carries no hardware address
    }

    void manyDevicesStaySmall()
    {
        // A listed device costs its record plus its few values, not a slot per possible id.
        TDeviceRecord device;
        const QByteArray reply = ReplyBuilder()
                                     .ipv4(1, 0xFFFFFF00).ipv4(2, 0xC0A80114).ipv4(3, 0xC0A80101)
                                     .element(4, QByteArray::fromHex("0001")).text(5, "Palimor controller")
                                     .element(6, QByteArray::fromHex("10")).text(7, "Pump station north 03")
                                     .element(13, QByteArray::fromHex("000b1156")).text(12, "HW 2.1")
                                     .ipv4(14, 0x08080808).ipv4(15, 0x08080404).text(16, "BS 1.0.3")
                                     .text(17, "Linux 2.6.32-rt").text(18, "FW 4.12.0")
                                     .terminate();
        ApplyDiscoveryReply(device, reply);
        QCOMPARE(device.Params.count(), 14);
        const qsizetype bytes = qsizetype(sizeof(TDeviceRecord)) + device.Params.heapBytes();
        QVERIFY2(bytes < 2048, qPrintable(QString::number(bytes)));
    }
};

QTEST_GUILESS_MAIN(TestDatagram)
#include "tst_datagram.moc"
