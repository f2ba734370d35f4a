// Bus frames as bytes: CRC, request layouts, the residue test and the time-out rule. No sockets.

#include "fakebuspeer.h"
#include "bus/controllerbus.h"

#include <QRandomGenerator>
#include <QTest>

class TestBusFrames : public QObject
{
    Q_OBJECT

private slots:
    void crcCheckValue();
    void crcMatchesBitwiseForm_data();
    void crcMatchesBitwiseForm();
    void sealedFrames_data();
    void sealedFrames();
    void blockRequests_data();
    void blockRequests();
    void residueAcceptsValidReply_data();
    void residueAcceptsValidReply();
    void residueOfOtherFrames_data();
    void residueOfOtherFrames();
    void readReplyData_data();
    void readReplyData();
    void timeoutRule_data();
    void timeoutRule();
};

void TestBusFrames::crcCheckValue()
{
    const QByteArray check("123456789");
    QCOMPARE(ControllerBus::crc16(check), quint16(0x4B37));
    // The first byte sent (the CRC's low byte) is the high byte of ComputeCrc's value.
    QCOMPARE(TControllerBus::ComputeCrc(check), quint16(0x374B));
    QCOMPARE(ControllerBus::seal(check).right(2), QByteArray::fromHex("374b"));
}

void TestBusFrames::crcMatchesBitwiseForm_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("00") << QByteArray::fromHex("00");
    QTest::newRow("ff") << QByteArray::fromHex("ff");
    QTest::newRow("0000000000") << QByteArray(5, '\0');
    QTest::newRow("ffffffff") << QByteArray(4, '\xff');
    QRandomGenerator random(0x5eed);
    for (int length : {1, 2, 3, 7, 64, 137, 255, 1000}) {
        QByteArray bytes(length, Qt::Uninitialized);
        for (char &c : bytes)
            c = static_cast<char>(random.bounded(256));
        QTest::addRow("random-%d", length) << bytes;
    }
}

void TestBusFrames::crcMatchesBitwiseForm()
{
    QFETCH(QByteArray, bytes);
    QCOMPARE(ControllerBus::crc16(bytes), FakeBusPeer::referenceCrc(bytes));
}

void TestBusFrames::sealedFrames_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("frame");
    // Reset, begin configuration read and a 4-byte read at address 0, as a controller expects them.
    QTest::newRow("ff6400") << ControllerBus::commandRequest(0xFF, Wire::Bus::Reset)
                            << QByteArray::fromHex("ff64006b30");
    QTest::newRow("ff64d2") << ControllerBus::commandRequest(0xFF, Wire::Bus::GetConfigStart)
                            << QByteArray::fromHex("ff64d2eb6d");
    QTest::newRow("ff6e0600000004") << ControllerBus::readRequest(0xFF, 0, 4)
                                    << QByteArray::fromHex("ff6e06000000049542");
    // Unit 0 goes out as 0xFF, with the CRC over the replaced byte.
    QTest::newRow("006400") << ControllerBus::commandRequest(0x00, Wire::Bus::Reset) << QByteArray::fromHex("ff64006b30");
    QTest::newRow("0064d2") << QByteArray::fromHex("0064d2") << QByteArray::fromHex("ff64d2eb6d");
    QTest::newRow("006e0600000004") << QByteArray::fromHex("006e0600000004")
                                    << QByteArray::fromHex("ff6e06000000049542");
    // Only the first byte is replaced.
    QTest::newRow("ff6400-zero-later") << QByteArray::fromHex("ff6e0600000000")
                                       << FakeBusPeer::withReferenceCrc(QByteArray::fromHex("ff6e0600000000"));
    QTest::newRow("ff6f0600010203aa") << ControllerBus::writeRequest(0xFF, 0x010203, QByteArray::fromHex("aa"))
                                      << FakeBusPeer::withReferenceCrc(QByteArray::fromHex("ff6f0601020301aa"));
}

void TestBusFrames::sealedFrames()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, frame);
    QCOMPARE(ControllerBus::seal(request).toHex(), frame.toHex());
}

void TestBusFrames::blockRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("ff6e0600000004") << ControllerBus::readRequest(0xFF, 0, 4) << QByteArray::fromHex("ff6e0600000004");
    QTest::newRow("ff6e06abcdef80") << ControllerBus::readRequest(0xFF, 0xABCDEF, 128)
                                    << QByteArray::fromHex("ff6e06abcdef80");
    // Bits 31..24 of an address are not sent.
    QTest::newRow("ff6e0600000404") << ControllerBus::readRequest(0xFF, (1u << 24) + 4, 4)
                                    << QByteArray::fromHex("ff6e0600000404");
    QTest::newRow("ff6e06ffffff01") << ControllerBus::readRequest(0xFF, 0xFFFFFFFFu, 1)
                                    << QByteArray::fromHex("ff6e06ffffff01");
    QTest::newRow("ff6f0600000400") << ControllerBus::writeRequest(0xFF, (1u << 24) + 4, QByteArray::fromHex("00"))
                                    << QByteArray::fromHex("ff6f060000040100");
    QTest::newRow("ff6f06123456 x128") << ControllerBus::writeRequest(0xFF, 0x123456, QByteArray(128, '\x5a'))
                                       << QByteArray::fromHex("ff6f0612345680") + QByteArray(128, '\x5a');
    QTest::newRow("ff6f0600000003000100") << ControllerBus::writeRequest(0xFF, 0, QByteArray::fromHex("000100"))
                                          << QByteArray::fromHex("ff6f0600000003000100");
}

void TestBusFrames::blockRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    QCOMPARE(request.toHex(), expected.toHex());
}

void TestBusFrames::residueAcceptsValidReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("ff6400") << FakeBusPeer::withReferenceCrc(QByteArray::fromHex("ff6400"));
    QTest::newRow("ff6e0600000004deadbeef")
        << FakeBusPeer::withReferenceCrc(QByteArray::fromHex("ff6e0600000004deadbeef"));
    QTest::newRow("ff6f0600008080") << FakeBusPeer::withReferenceCrc(QByteArray::fromHex("ff6f0600008080"));
    QTest::newRow("0000000000000000") << FakeBusPeer::withReferenceCrc(QByteArray(8, '\0'));
    QTest::newRow("ff6e06000000 x128") << FakeBusPeer::withReferenceCrc(QByteArray::fromHex("ff6e0600000080")
                                                                         + QByteArray(128, '\xa5'));
}

void TestBusFrames::residueAcceptsValidReply()
{
    QFETCH(QByteArray, reply);
    QVERIFY(ControllerBus::residueIsZero(reply));
    // Every other value at every position, CRC bytes included, is caught.
    int changes = 0;
    for (qsizetype i = 0; i < reply.size(); ++i) {
        for (int delta = 1; delta < 256; ++delta) {
            QByteArray damaged = reply;
            damaged[i] = static_cast<char>(static_cast<quint8>(damaged.at(i)) ^ delta);
            if (ControllerBus::residueIsZero(damaged))
                QFAIL(qPrintable(QStringLiteral("accepted with byte %1 xor %2: %3")
                                     .arg(i)
                                     .arg(delta)
                                     .arg(QString::fromLatin1(damaged.toHex()))));
            ++changes;
        }
    }
    QCOMPARE(changes, reply.size() * 255);
}

void TestBusFrames::residueOfOtherFrames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("accepted");
    const QByteArray good = FakeBusPeer::withReferenceCrc(QByteArray::fromHex("ff6400"));
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("ff") << QByteArray::fromHex("ff") << false;
    QTest::newRow("ff64006b") << good.first(4) << false;
    QTest::newRow("ff6400306b") << QByteArray::fromHex("ff6400306b") << false; // CRC sent high byte first
    // Zero bytes after a good frame keep the residue at 0: only the cut to the expected length keeps
    // them out of a reply.
    QTest::newRow("ff64006b3000") << good + QByteArray(1, '\0') << true;
    QTest::newRow("ff64006b30ff") << good + QByteArray(1, '\xff') << false;
    QTest::newRow("64006b30") << good.sliced(1) << false;
}

void TestBusFrames::residueOfOtherFrames()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, accepted);
    QCOMPARE(ControllerBus::residueIsZero(frame), accepted);
}

void TestBusFrames::readReplyData_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("data");
    const QByteArray four = FakeBusPeer::withReferenceCrc(QByteArray::fromHex("ff6e0600000004deadbeef"));
    QTest::newRow("ff6e0600000004deadbeef") << four << 4 << true << QByteArray::fromHex("deadbeef");
    QTest::newRow("ff6e0600000004deadbe") << four.first(10) << 4 << false << QByteArray();
    QTest::newRow("ff6e0600000004dead-2") << four << 2 << true << QByteArray::fromHex("dead");
    QTest::newRow("ff6e06000000") << four.first(6) << 4 << false << QByteArray();
    QTest::newRow("ff6e0600000000") << FakeBusPeer::withReferenceCrc(QByteArray::fromHex("ff6e0600000000")) << 0
                                    << true << QByteArray();
    QTest::newRow("ff6e06000000040000") << FakeBusPeer::withReferenceCrc(QByteArray::fromHex("ff6e060000000400000000"))
                                        << 4 << true << QByteArray(4, '\0');
}

void TestBusFrames::readReplyData()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, count);
    QFETCH(bool, present);
    QFETCH(QByteArray, data);
    const std::optional<QByteArray> result = ControllerBus::readReplyData(reply, count);
    QCOMPARE(result.has_value(), present);
    if (present)
        QCOMPARE(result->toHex(), data.toHex());
}

void TestBusFrames::timeoutRule_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("replyDataLength");
    QTest::addColumn<int>("timeoutMs");
    QTest::newRow("ff64006b30") << ControllerBus::seal(ControllerBus::commandRequest(0xFF, 0)) << ControllerBus::CommandReplyData << 1010;
    QTest::newRow("ff6e06000000049542") << ControllerBus::seal(ControllerBus::readRequest(0xFF, 0, 4)) << ControllerBus::ReadReplyHeader + 4
                                        << 1022;
    QTest::newRow("ff6e0600000080") << ControllerBus::seal(ControllerBus::readRequest(0xFF, 0, 128)) << ControllerBus::ReadReplyHeader + 128
                                    << 1146;
    QTest::newRow("ff6f0600000080") << ControllerBus::seal(ControllerBus::writeRequest(0xFF, 0, QByteArray(128, 'x')))
                                    << ControllerBus::WriteReplyData << 1146;
}

void TestBusFrames::timeoutRule()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, replyDataLength);
    QFETCH(int, timeoutMs);
    QCOMPARE(ControllerBus::exchangeTimeoutMs(static_cast<int>(frame.size()), replyDataLength), timeoutMs);
}

QTEST_GUILESS_MAIN(TestBusFrames)
#include "tst_busframes.moc"
