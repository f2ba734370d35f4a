// The device types: how parameter values are decoded, the built-in type known from the start,
// and types added and taken out again.
#include "protocol/datagram.h"
#include "protocol/devicetypes.h"
#include "protocol/resource.h"
#include "replybuilder.h"

#include <QtTest>

namespace {
constexpr qint64 BuiltInType = 0x000B1156;
constexpr qint32 TestType = 0x000C2001;
const QString peerIp = QStringLiteral("192.168.1.5");

// A reply of a device of the given type code (none when negative) that carries one more element.
QByteArray replyWith(qint64 typeCode, quint16 id, const QByteArray &value)
{
    ReplyBuilder reply;
    if (typeCode >= 0)
        reply.ipv4(13, static_cast<quint32>(typeCode));
    return reply.element(id, value).terminate();
}

// A test type: parameter 10 a text where the built-in type has a hardware address, 20 a word.
TConfigDevice testType()
{
    TConfigDevice type;
    type.code = TestType;
    type.parameters = {{10, 0, KindText, 0, 0}, {20, 0, KindWord, 0, 0}};
    return type;
}
} // namespace

class TestDeviceTypes : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        StartupInit(); // the protocol code the replies carry
    }

    void decodeValue_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<QVariant>("expected"); // qint64 or QByteArray

        auto bytes = [](const char *hex) { return QByteArray::fromHex(hex); };
        QTest::newRow("raw 616263") << int(KindRaw) << bytes("616263") << true << QVariant(QByteArray("3:\"616263\"abc"));
        QTest::newRow("raw 410a") << int(KindRaw) << bytes("410a") << true << QVariant(QByteArray("2:\"410A\"A\n"));
        QTest::newRow("raw keeps 00") << int(KindRaw) << bytes("00ff") << true
                                      << QVariant(QByteArray("2:\"00FF\"\0\xff", 10));
        QTest::newRow("raw empty") << int(KindRaw) << QByteArray() << false << QVariant();
        QTest::newRow("ipv4 c0a80114") << int(KindIPv4) << bytes("c0a80114") << true << QVariant(qint64(0xC0A80114));
        QTest::newRow("ipv4 3 bytes") << int(KindIPv4) << bytes("c0a801") << false << QVariant();
        QTest::newRow("text") << int(KindText) << QByteArray("dev\xe9", 4) << true << QVariant(QByteArray("dev\xe9", 4));
        QTest::newRow("text empty") << int(KindText) << QByteArray() << true << QVariant(QByteArray());
        QTest::newRow("byte 10") << int(KindByte) << bytes("10") << true << QVariant(qint64(0x10));
        QTest::newRow("byte 2 bytes") << int(KindByte) << bytes("1000") << false << QVariant();
        QTest::newRow("word ffff") << int(KindWord) << bytes("ffff") << true << QVariant(qint64(0xFFFF));
        QTest::newRow("word 1 byte") << int(KindWord) << bytes("ff") << false << QVariant();
        QTest::newRow("long 000b1156") << int(KindLong) << bytes("000b1156") << true << QVariant(qint64(0x000B1156));
        QTest::newRow("long ffffffff unsigned") << int(KindLong) << bytes("ffffffff") << true
                                                << QVariant(qint64(0xFFFFFFFF));
        QTest::newRow("mac 0050c21a2b3c") << int(KindHardwareAddress) << bytes("0050c21a2b3c") << true
                                          << QVariant(qint64(0x0050C21A2B3C));
        QTest::newRow("mac 5 bytes") << int(KindHardwareAddress) << bytes("0050c21a2b") << false << QVariant();
        QTest::newRow("kind 7") << 7 << bytes("01") << false << QVariant();
    }
    void decodeValue()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, stored);
        QFETCH(QVariant, expected);
        const auto value = DecodeParameterValue(static_cast<quint8>(kind),
                                                reinterpret_cast<const quint8 *>(bytes.constData()),
                                                static_cast<int>(bytes.size()));
        QCOMPARE(value.has_value(), stored);
        if (!stored)
            return;
        if (expected.typeId() == QMetaType::LongLong)
            QCOMPARE(std::get<qint64>(*value), expected.toLongLong());
        else
            QCOMPARE(std::get<QByteArray>(*value), expected.toByteArray());
    }

    void parameterKind_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<qint64>("code");
        QTest::addColumn<int>("kind");
        QTest::newRow("10 of the built-in type") << 10 << qint64(0x000B1156) << int(KindHardwareAddress);
        QTest::newRow("10 without a type") << 10 << qint64(-1) << int(KindRaw);
        QTest::newRow("11 of the built-in type") << 11 << qint64(0x000B1156) << int(KindText);
        QTest::newRow("9 of the built-in type") << 9 << qint64(0x000B1156) << int(KindRaw);
        QTest::newRow("9 of an unknown type") << 9 << qint64(0x12345678) << int(KindRaw);
        QTest::newRow("2 of any type") << 2 << qint64(0x12345678) << int(KindIPv4);
        QTest::newRow("4 without a type") << 4 << qint64(-1) << int(KindWord);
        QTest::newRow("6 without a type") << 6 << qint64(-1) << int(KindByte);
        QTest::newRow("13 without a type") << 13 << qint64(-1) << int(KindLong);
        QTest::newRow("18 without a type") << 18 << qint64(-1) << int(KindText);
        QTest::newRow("15 without a type") << 15 << qint64(-1) << int(KindIPv4);
    }
    void parameterKind()
    {
        QFETCH(int, id);
        QFETCH(qint64, code);
        QFETCH(int, kind);
        QCOMPARE(int(TDeviceTypeRegistry().kindOf(static_cast<quint16>(id), code)), kind);
        QCOMPARE(int(TDeviceTypeRegistry::standard().kindOf(static_cast<quint16>(id), code)), kind);
    }

    void builtInTable()
    {
        const TDeviceTypeRegistry &types = TDeviceTypeRegistry::standard();
        QCOMPARE(types.count(), 1);
        QVERIFY(types.find(0x000B1156));
        QCOMPARE(types.find(725334), types.find(0x000B1156));
        QVERIFY(!types.find(-1));
        QCOMPARE(types.find(0x000B1156)->parameters, BuiltInParameterTable());
        const TConfigFile &table = BuiltInParameterTable();
        QCOMPARE(table.size(), 16);
        QCOMPARE(sizeof(TParamDescriptor), size_t(6));
        QList<int> discoveryIds;
        for (const TParamDescriptor &row : table)
            if (row.discovery)
                discoveryIds.append(row.id);
        QCOMPARE(discoveryIds.size(), 14);
    }

    // What a reply's parameters become in the list with nothing registered: every front end
    // decodes them alike.
    void decodedWithoutRegistering_data()
    {
        QTest::addColumn<qint64>("typeCode");
        QTest::addColumn<int>("id");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QVariant>("expected"); // qint64 or QByteArray

        auto bytes = [](const char *hex) { return QByteArray::fromHex(hex); };
        QTest::newRow("2 ipv4") << BuiltInType << 2 << bytes("c0a80114") << QVariant(qint64(0xC0A80114));
        QTest::newRow("4 word") << BuiltInType << 4 << bytes("0102") << QVariant(qint64(0x0102));
        QTest::newRow("6 byte") << BuiltInType << 6 << bytes("11") << QVariant(qint64(0x11));
        QTest::newRow("7 text") << BuiltInType << 7 << QByteArray("Pump") << QVariant(QByteArray("Pump"));
        QTest::newRow("10 hardware address") << BuiltInType << 10 << bytes("0050c21a2b3c")
                                             << QVariant(qint64(0x0050C21A2B3C));
        QTest::newRow("11 text") << BuiltInType << 11 << QByteArray("P4 rev B") << QVariant(QByteArray("P4 rev B"));
        QTest::newRow("13 long") << qint64(-1) << 13 << bytes("000b1156") << QVariant(BuiltInType);
        QTest::newRow("9 raw") << BuiltInType << 9 << bytes("410a") << QVariant(QByteArray("2:\"410A\"A\n"));
        QTest::newRow("10 of an unknown type raw") << qint64(0x12345678) << 10 << bytes("0050c21a2b3c")
                                                   << QVariant(QByteArray("6:\"0050C21A2B3C\"\x00\x50\xc2\x1a\x2b\x3c", 22));
        QTest::newRow("11 without a type raw") << qint64(-1) << 11 << QByteArray("AB") << QVariant(QByteArray("2:\"4142\"AB"));
    }
    void decodedWithoutRegistering()
    {
        QFETCH(qint64, typeCode);
        QFETCH(int, id);
        QFETCH(QByteArray, value);
        QFETCH(QVariant, expected);
        QList<TDeviceRecord> devices;
        QCOMPARE(MergeDiscoveryReply(devices, peerIp, replyWith(typeCode, quint16(id), value), true), 0);
        const TParamValue &stored = devices.at(0).Params[id];
        if (expected.typeId() == QMetaType::LongLong)
            QCOMPARE(std::get<qint64>(stored), expected.toLongLong());
        else
            QCOMPARE(std::get<QByteArray>(stored), expected.toByteArray());
    }

    // A reply of a type no registry knows keeps its other parameters raw, but the ids every type
    // shares decoded.
    void unknownTypeCode()
    {
        const TDeviceTypeRegistry types;
        QVERIFY(!types.find(0x12345678));
        QCOMPARE(int(types.kindOf(10, 0x12345678)), int(KindRaw));
        QCOMPARE(int(types.kindOf(20, 0x12345678)), int(KindRaw));
        QCOMPARE(int(types.kindOf(7, 0x12345678)), int(KindText));
        QCOMPARE(int(types.kindOf(14, 0x12345678)), int(KindIPv4));
    }

    // A type added to a registry of its own decodes by its table there; taken out again, its
    // parameters are raw; the built-in type and the program's registry never change.
    void testTypeAddedAndRemoved()
    {
        TDeviceTypeRegistry types;
        types.add(testType());
        QCOMPARE(types.count(), 2);
        QCOMPARE(int(types.kindOf(20, TestType)), int(KindWord));
        QCOMPARE(int(types.kindOf(10, TestType)), int(KindText));
        QCOMPARE(int(types.kindOf(10, BuiltInType)), int(KindHardwareAddress));
        QCOMPARE(int(TDeviceTypeRegistry::standard().kindOf(20, TestType)), int(KindRaw));

        // Merging decodes with the registry given.
        QList<TDeviceRecord> devices;
        QCOMPARE(MergeDiscoveryReply(devices, peerIp, replyWith(TestType, 20, QByteArray::fromHex("0304")), true, types), 0);
        QCOMPARE(devices.at(0).Params.number(20, -1), qint64(0x0304));
        TDeviceIndex index;
        QList<TDeviceRecord> indexed;
        QCOMPARE(MergeDiscoveryReply(indexed, index, peerIp, replyWith(TestType, 10, QByteArray("abc")), true, types), 0);
        QCOMPARE(std::get<QByteArray>(indexed.at(0).Params[10]), QByteArray("abc"));
        QList<TDeviceRecord> standard;
        MergeDiscoveryReply(standard, peerIp, replyWith(TestType, 20, QByteArray::fromHex("0304")), true);
        QVERIFY(std::holds_alternative<QByteArray>(standard.at(0).Params[20]));

        // Added again, it replaces the first rather than standing beside it.
        TConfigDevice changed = testType();
        changed.parameters = {{20, 0, KindByte, 0, 0}};
        types.add(changed);
        QCOMPARE(types.count(), 2);
        QCOMPARE(int(types.kindOf(20, TestType)), int(KindByte));

        QVERIFY(types.remove(TestType));
        QVERIFY(!types.remove(TestType));
        QCOMPARE(types.count(), 1);
        QCOMPARE(int(types.kindOf(20, TestType)), int(KindRaw));
        QVERIFY(types.find(BuiltInType));
        QCOMPARE(int(types.kindOf(10, BuiltInType)), int(KindHardwareAddress));
        QCOMPARE(TDeviceTypeRegistry::standard().count(), 1);
    }
};

QTEST_MAIN(TestDeviceTypes)
#include "tst_devicetypes.moc"
