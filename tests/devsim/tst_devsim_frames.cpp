// The simulator's bytes: CRC, controller bus frames and memory, datagram requests and replies.

#include "devsim/controller.h"
#include "devsim/crc16.h"
#include "devsim/simdatagram.h"
#include "devsim/simdevice.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>

using namespace DevSim;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

// An independent bit-wise CRC-16/MODBUS for cross-checking the table-driven one.
quint16 bitwiseCrc(const QByteArray &bytes)
{
    quint16 crc = 0xFFFF;
    for (char c : bytes) {
        crc ^= quint8(c);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

BusRequest request(const QByteArray &frameWithoutCrc)
{
    const BusDecodeResult decoded = decodeBusRequest(withCrc(frameWithoutCrc));
    if (!decoded.request)
        qFatal("test frame refused: %s", qPrintable(decoded.error));
    return *decoded.request;
}

QByteArray command(ControllerMemory &memory, quint8 sub)
{
    return memory.execute(request(QByteArray("\xFF\x64", 2) + char(sub)));
}

QByteArray readBlock(ControllerMemory &memory, quint32 address, int count)
{
    QByteArray frame("\xFF\x6E\x06", 3);
    frame += char(address >> 16);
    frame += char(address >> 8);
    frame += char(address);
    frame += char(count);
    const QByteArray reply = memory.execute(request(frame));
    if (reply.size() != count + 9 || !crcIntact(reply))
        return {};
    return reply.mid(7, count);
}

QByteArray readAll(ControllerMemory &memory, quint32 address, int count)
{
    QByteArray out;
    while (count > 0) {
        const int n = std::min(count, 128);
        out += readBlock(memory, address, n);
        address += quint32(n);
        count -= n;
    }
    return out;
}

void writeAll(ControllerMemory &memory, quint32 address, QByteArray data)
{
    while (!data.isEmpty()) {
        const int n = int(std::min<qsizetype>(data.size(), 128));
        QByteArray frame("\xFF\x6F\x06", 3);
        frame += char(address >> 16);
        frame += char(address >> 8);
        frame += char(address);
        frame += char(n);
        frame += data.left(n);
        const QByteArray reply = memory.execute(request(frame));
        QCOMPARE(reply.size(), 9);
        QVERIFY(crcIntact(reply));
        data.remove(0, n);
        address += quint32(n);
    }
}

quint32 lengthWord(const QByteArray &four)
{
    return four.size() == 4 ? (quint32(quint8(four[0])) << 24) | (quint32(quint8(four[1])) << 16)
            | (quint32(quint8(four[2])) << 8) | quint32(quint8(four[3]))
                            : 0xFFFFFFFFu;
}

QByteArray lengthBytes(quint32 n)
{
    return QByteArray(1, char(n >> 24)) + char(n >> 16) + char(n >> 8) + char(n);
}

QByteArray sampleText(int size)
{
    // CR LF lines with NUL and 8-bit bytes in them.
    QByteArray text;
    for (int i = 0; text.size() < size; ++i)
        text += "line " + QByteArray::number(i) + QByteArray("\x00\xE9\xFF", 3) + "\r\n";
    return text.left(size);
}

} // namespace

class DevsimFrames : public QObject
{
    Q_OBJECT

private slots:
    void crc_data();
    void crc();
    void crcCatchesEveryByteChange();
    void crcMatchesCrcmod();
    void busDecode_data();
    void busDecode();
    void busReply_data();
    void busReply();
    void configurationRead_data();
    void configurationRead();
    void configurationWrite_data();
    void configurationWrite();
    void logBlocks_data();
    void logBlocks();
    void firmwareArea();
    void corruptReadback();
    void requestDecode_data();
    void requestDecode();
    void requestFraming_data();
    void requestFraming();
    void discoveryReply_data();
    void discoveryReply();
    void commandReply();
    void addressing_data();
    void addressing();
};

void DevsimFrames::crc_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("wire"); // the two CRC bytes as sent, low byte first
    QTest::newRow("check-123456789") << QByteArray("123456789") << hex("374b");
    QTest::newRow("ff6400") << hex("ff6400") << hex("6b30");
    QTest::newRow("ff64d2") << hex("ff64d2") << hex("eb6d");
    QTest::newRow("ff6e0600000004") << hex("ff6e0600000004") << hex("9542");
    QTest::newRow("empty") << QByteArray() << hex("ffff");
}

void DevsimFrames::crc()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, wire);
    QCOMPARE(withCrc(bytes), bytes + wire);
    QCOMPARE(crc16Modbus(bytes), bitwiseCrc(bytes));
    if (!bytes.isEmpty())
        QVERIFY(crcIntact(bytes + wire));
}

void DevsimFrames::crcCatchesEveryByteChange()
{
    for (const QByteArray &frame : {hex("ff64006b30"), hex("ff64d2eb6d"), hex("ff6e06000000049542")}) {
        QVERIFY(crcIntact(frame));
        for (qsizetype i = 0; i < frame.size(); ++i) {
            for (quint8 flip : {quint8(0x01), quint8(0x80), quint8(0xFF)}) {
                QByteArray changed = frame;
                changed[i] = char(quint8(changed[i]) ^ flip);
                QVERIFY2(!crcIntact(changed), qPrintable(QStringLiteral("%1 byte %2").arg(QString::fromLatin1(frame.toHex())).arg(i)));
            }
        }
    }
}

void DevsimFrames::crcMatchesCrcmod()
{
    // Debian's python3-crcmod is the independent implementation.
    const QString python = QStringLiteral("/usr/bin/python3");
    if (!QFile::exists(python))
        QSKIP("/usr/bin/python3 is missing (scripts/deps.sh installs it)");
    QRandomGenerator rng(20240307);
    QList<QByteArray> buffers;
    QByteArray input;
    for (int i = 0; i < 200; ++i) {
        QByteArray b(int(rng.bounded(1, 300)), '\0');
        for (char &c : b)
            c = char(rng.bounded(256));
        buffers << b;
        input += b.toHex() + '\n';
    }
    QProcess process;
    process.start(python, {QStringLiteral("-c"),
                           QStringLiteral("import sys, crcmod.predefined\n"
                                          "f = crcmod.predefined.mkCrcFun('modbus')\n"
                                          "for line in sys.stdin:\n"
                                          "    print('%04x' % f(bytes.fromhex(line.strip())))\n")});
    QVERIFY(process.waitForStarted());
    process.write(input);
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(20000));
    if (process.exitCode() != 0 && process.readAllStandardError().contains("No module named"))
        QSKIP("python3-crcmod is missing (scripts/deps.sh installs it)");
    QCOMPARE(process.exitCode(), 0);
    const QList<QByteArray> lines = process.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(lines.size(), buffers.size());
    for (qsizetype i = 0; i < buffers.size(); ++i)
        QCOMPARE(QByteArray::number(crc16Modbus(buffers.at(i)), 16).rightJustified(4, '0'), lines.at(i));
}

void DevsimFrames::busDecode_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("count");
    QTest::newRow("ff64006b30") << hex("ff64006b30") << true << 0x64 << 0 << 0;
    QTest::newRow("ff64d2eb6d") << hex("ff64d2eb6d") << true << 0x64 << 0 << 0;
    QTest::newRow("ff6e06000000049542") << hex("ff6e06000000049542") << true << 0x6E << 0 << 4;
    QTest::newRow("read-128-at-123456") << withCrc(hex("ff6e0612345680")) << true << 0x6E << 0x123456 << 128;
    QTest::newRow("write-2") << withCrc(hex("ff6f0600000402abcd")) << true << 0x6F << 4 << 2;
    QTest::newRow("bad-crc") << hex("ff64006b31") << false << 0 << 0 << 0;
    QTest::newRow("truncated") << hex("ff64006b") << false << 0 << 0 << 0;
    QTest::newRow("trailing-byte") << withCrc(hex("ff640000")) << false << 0 << 0 << 0;
    QTest::newRow("marker-05") << withCrc(hex("ff6e0500000004")) << false << 0 << 0 << 0;
    QTest::newRow("count-0") << withCrc(hex("ff6e0600000000")) << false << 0 << 0 << 0;
    QTest::newRow("count-129") << withCrc(hex("ff6e0600000081")) << false << 0 << 0 << 0;
    QTest::newRow("write-short-data") << withCrc(hex("ff6f0600000003abcd")) << false << 0 << 0 << 0;
    QTest::newRow("read-with-data") << withCrc(hex("ff6e0600000001ab")) << false << 0 << 0 << 0;
    QTest::newRow("function-65") << withCrc(hex("ff6500")) << false << 0 << 0 << 0;
}

void DevsimFrames::busDecode()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, accepted);
    const BusDecodeResult result = decodeBusRequest(frame);
    QCOMPARE(result.request.has_value(), accepted);
    if (!accepted) {
        QVERIFY(!result.error.isEmpty());
        return;
    }
    QFETCH(int, function);
    QFETCH(int, address);
    QFETCH(int, count);
    QCOMPARE(int(result.request->function), function);
    QCOMPARE(int(result.request->address), address);
    QCOMPARE(result.request->count, count);
}

void DevsimFrames::busReply_data()
{
    // A fresh controller: the firmware area at address 0, nothing written (0xFF).
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("reply"); // without the CRC
    QTest::newRow("ff64006b30") << hex("ff64006b30") << hex("ff6400");
    QTest::newRow("ff64d2eb6d") << hex("ff64d2eb6d") << hex("ff64d2");
    QTest::newRow("ff6e06000000049542") << hex("ff6e06000000049542") << hex("ff6e0600000004ffffffff");
    QTest::newRow("unit-01-echoed") << withCrc(hex("016e0600000102")) << hex("016e0600000102ffff");
    QTest::newRow("write-2") << withCrc(hex("ff6f0600000402abcd")) << hex("ff6f0600000402");
    QTest::newRow("address-echoed") << withCrc(hex("ff6e06fffffe01")) << hex("ff6e06fffffe01ff");
}

void DevsimFrames::busReply()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, reply);
    ControllerMemory memory;
    const BusDecodeResult decoded = decodeBusRequest(frame);
    QVERIFY(decoded.request);
    const QByteArray answer = memory.execute(*decoded.request);
    QCOMPARE(answer, withCrc(reply));
    QVERIFY(crcIntact(answer));
}

void DevsimFrames::configurationRead_data()
{
    QTest::addColumn<quint8>("start");
    QTest::addColumn<quint8>("stop");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("config-300-with-nul") << quint8(0xD2) << quint8(0xD3) << sampleText(300);
    QTest::newRow("config-empty") << quint8(0xD2) << quint8(0xD3) << QByteArray();
    QTest::newRow("config-128") << quint8(0xD2) << quint8(0xD3) << sampleText(128);
    QTest::newRow("diagnostics-5") << quint8(0xD8) << quint8(0xD9) << QByteArray("ok\r\n\x00", 5);
}

void DevsimFrames::configurationRead()
{
    QFETCH(quint8, start);
    QFETCH(quint8, stop);
    QFETCH(QByteArray, text);
    ControllerMemory memory;
    memory.setConfiguration(start == 0xD2 ? text : QByteArray("other"));
    memory.setDiagnostics(start == 0xD8 ? text : QByteArray("other"));
    QCOMPARE(command(memory, start), withCrc(QByteArray("\xFF\x64", 2) + char(start)));
    const quint32 n = lengthWord(readBlock(memory, 0, 4));
    QCOMPARE(n, quint32(text.size()));
    QCOMPARE(readAll(memory, 4, int(n)), text);
    // Past the text the area reads 0.
    QCOMPARE(readBlock(memory, 4 + n, 3), QByteArray(3, '\0'));
    command(memory, stop);
    QCOMPARE(memory.view(), ControllerMemory::View::Firmware);
    QCOMPARE(readBlock(memory, 0, 4), hex("ffffffff"));
}

void DevsimFrames::configurationWrite_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("300-bytes") << sampleText(300);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("nul-only") << QByteArray(3, '\0');
}

void DevsimFrames::configurationWrite()
{
    QFETCH(QByteArray, text);
    ControllerMemory memory;
    memory.setConfiguration("old");
    command(memory, 0xD0);
    writeAll(memory, 0, lengthBytes(quint32(text.size())));
    writeAll(memory, 4, text);
    QCOMPARE(memory.configuration(), QByteArray("old")); // stored only at 0xD1
    command(memory, 0xD1);
    QCOMPARE(memory.configuration(), text);
    QCOMPARE(memory.configurationWrites(), 1);
    QCOMPARE(memory.view(), ControllerMemory::View::Firmware);
    // And it reads back through the transfer area.
    command(memory, 0xD2);
    QCOMPARE(readAll(memory, 4, int(lengthWord(readBlock(memory, 0, 4)))), text);
    // A configuration write abandoned by a reset leaves the configuration alone.
    command(memory, 0xD0);
    writeAll(memory, 0, lengthBytes(2) + "xy");
    command(memory, 0x00);
    command(memory, 0xD1);
    QCOMPARE(memory.configuration(), text);
}

void DevsimFrames::logBlocks_data()
{
    QTest::addColumn<QList<QByteArray>>("blocks");
    QTest::addColumn<bool>("consumed");
    QTest::newRow("three") << QList<QByteArray>{"first\r\n", "second", QByteArray("thi\x00rd\r\n", 8)} << false;
    QTest::newRow("three-consumed") << QList<QByteArray>{"first\r\n", "second", "third"} << true;
    QTest::newRow("none") << QList<QByteArray>{} << false;
}

void DevsimFrames::logBlocks()
{
    QFETCH(QList<QByteArray>, blocks);
    QFETCH(bool, consumed);
    ControllerMemory memory;
    memory.setLogBlocks(blocks);
    memory.setLogsConsumed(consumed);
    command(memory, 0xD4);
    for (qsizetype i = 0; i <= blocks.size(); ++i) {
        const quint32 n = lengthWord(readBlock(memory, 0, 4));
        if (i == blocks.size()) {
            QCOMPARE(n, 0u); // none left
            break;
        }
        QCOMPARE(n, quint32(blocks.at(i).size()));
        QCOMPARE(readAll(memory, 4, int(n)), blocks.at(i));
        command(memory, 0xD6);
    }
    command(memory, 0xD6); // one more past the end changes nothing
    QCOMPARE(lengthWord(readBlock(memory, 0, 4)), 0u);
    command(memory, 0xD5);
    QCOMPARE(memory.logBlocks().size(), consumed ? 0 : blocks.size());
    // A second read starts again from the first block still kept.
    command(memory, 0xD4);
    QCOMPARE(lengthWord(readBlock(memory, 0, 4)), consumed || blocks.isEmpty() ? 0u : quint32(blocks.first().size()));
    command(memory, 0xD7);
    command(memory, 0xD4);
    QCOMPARE(lengthWord(readBlock(memory, 0, 4)), 0u);
}

void DevsimFrames::firmwareArea()
{
    ControllerMemory memory;
    QByteArray image(1000, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 7 + 3) & 0xFF);
    writeAll(memory, 0, image);
    QCOMPARE(readAll(memory, 0, 1000), image);
    QCOMPARE(readBlock(memory, 1000, 4), hex("ffffffff"));
    QCOMPARE(memory.updateModeCount(), 0);
    command(memory, 0xFE);
    QCOMPARE(memory.updateModeCount(), 1);
    QCOMPARE(memory.updateImage(), image);

    // Writes while a text is shown do not touch the firmware.
    memory.setConfiguration("cfg");
    command(memory, 0xD2);
    writeAll(memory, 0, hex("00000000"));
    command(memory, 0x00);
    QCOMPARE(readBlock(memory, 0, 4), image.left(4));

    // The top of the 24-bit space: a write running past it keeps what fits.
    writeAll(memory, 0xFFFFFE, hex("a1a2a3a4"));
    QCOMPARE(readBlock(memory, 0xFFFFFE, 2), hex("a1a2"));
    QCOMPARE(memory.firmware().size(), qsizetype(ControllerMemory::FirmwareAreaSize));
}

void DevsimFrames::corruptReadback()
{
    ControllerMemory memory;
    writeAll(memory, 0, QByteArray(64, '\x5A'));
    QByteArray frame = withCrc(hex("ff6e0600000020"));
    const QByteArray reply = memory.execute(*decodeBusRequest(frame).request, 0x10);
    QVERIFY(crcIntact(reply)); // the data is wrong, the frame is intact
    QByteArray expected(32, '\x5A');
    expected[16] = char(0xA5);
    QCOMPARE(reply.mid(7, 32), expected);
    // A read that does not cover the address is untouched.
    QCOMPARE(memory.execute(*decodeBusRequest(withCrc(hex("ff6e0600002010"))).request, 0x10).mid(7, 16),
             QByteArray(16, '\x5A'));
}

void DevsimFrames::requestDecode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("command");
    QTest::addColumn<QList<quint16>>("ids");
    QTest::addColumn<QByteArray>("source");
    // The 69-byte discovery broadcast, byte for byte as the program sends it.
    QTest::newRow("discover-69") << hex("0001ffffffffffff" "0000000000000000" "0001" "1156" "00000000" "01"
                                        "000100" "000200" "000300" "000400" "000500" "000700" "000600" "000d00"
                                        "000c00" "000e00" "000f00" "001000" "001100" "001200" "ffff")
                                 << true << 1 << QList<quint16>{1, 2, 3, 4, 5, 7, 6, 13, 12, 14, 15, 16, 17, 18}
                                 << hex("0000000000000000");
    QTest::newRow("start-ftp-27") << hex("0002c0a80114cca5" "0002c0a80105cca5" "0001" "1156" "00000000" "03" "ffff")
                                  << true << 3 << QList<quint16>{} << hex("0002c0a80105cca5");
    QTest::newRow("header-only") << hex("0001ffffffffffff" "0000000000000000" "0001" "1156" "00000000" "07") << true << 7
                                 << QList<quint16>{} << hex("0000000000000000");
    QTest::newRow("version-2") << hex("0001ffffffffffff" "0000000000000000" "0002" "1156" "00000000" "01" "ffff") << false
                               << 0 << QList<quint16>{} << QByteArray();
    QTest::newRow("protocol-1157") << hex("0001ffffffffffff" "0000000000000000" "0001" "1157" "00000000" "01" "ffff")
                                   << false << 0 << QList<quint16>{} << QByteArray();
    QTest::newRow("24-bytes") << hex("0001ffffffffffff" "0000000000000000" "0001" "1156" "00000000") << false << 0
                              << QList<quint16>{} << QByteArray();
}

void DevsimFrames::requestDecode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, accepted);
    const DeviceDecodeResult result = decodeDeviceRequest(bytes);
    QCOMPARE(result.request.has_value(), accepted);
    if (!accepted)
        return;
    QFETCH(int, command);
    QFETCH(QList<quint16>, ids);
    QFETCH(QByteArray, source);
    QCOMPARE(int(result.request->command), command);
    QCOMPARE(result.request->ids, ids);
    QCOMPARE(result.request->source, source);
}

void DevsimFrames::requestFraming_data()
{
    const QByteArray command = hex("0002c6120101cca5" "0000000000000000" "0001" "1156" "00000000" "03" "ffff");
    const QByteArray discover = hex("0002c6120101cca5" "0000000000000000" "0001" "1156" "00000000" "01" "000100" "000700" "ffff");
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<qsizetype>("size");
    QTest::newRow("command-27") << command << qsizetype(27);
    QTest::newRow("command-26-of-27") << command.left(26) << qsizetype(0);
    QTest::newRow("discover-33") << discover << qsizetype(33);
    QTest::newRow("discover-cut-in-element") << discover.left(29) << qsizetype(0);
    QTest::newRow("two-requests") << command + discover << qsizetype(27);
    QTest::newRow("empty") << QByteArray() << qsizetype(0);
}

void DevsimFrames::requestFraming()
{
    QFETCH(QByteArray, buffer);
    QFETCH(qsizetype, size);
    QCOMPARE(completeRequestSize(buffer), size);
}

void DevsimFrames::discoveryReply_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("type-1-builtin") << 0;
    QTest::newRow("type-1-unknown-type") << 4;
    QTest::newRow("type-2-record") << 7;
    QTest::newRow("empty-name") << 11;
    QTest::newRow("latin1-name") << 3;
}

void DevsimFrames::discoveryReply()
{
    QFETCH(int, index);
    const QList<SimDevice> devices = generateDevices(12, 0xC6120101, 5);
    const SimDevice &d = devices.at(index);
    const QList<quint16> ids{1, 2, 3, 4, 5, 7, 6, 13, 12, 14, 15, 16, 17, 18};
    const QByteArray requester = hex("0002c6120001cca5");
    const QByteArray reply = encodeDiscoveryReply(d, requester, ids);

    QCOMPARE(reply.left(8), requester);
    const QByteArray record = reply.mid(8, 8);
    if (d.ipv4AddressRecord) {
        QCOMPARE(record.left(2), hex("0002"));
        QCOMPARE(record.mid(2, 4), QByteArray(1, char(0xC6)) + char(0x12) + char(0x01) + char(0x01 + index));
        QCOMPARE(record.mid(6, 2), hex("cca5"));
    } else {
        QCOMPARE(record.left(2), hex("0001"));
        QCOMPARE(record.mid(2).toHex().toULongLong(nullptr, 16), d.mac);
        QVERIFY(record.mid(2) != hex("000000000000") && record.mid(2) != hex("ffffffffffff"));
    }
    QCOMPARE(reply.mid(16, 9), hex("0001" "1156" "00000000" "01"));
    QCOMPARE(reply.right(2), hex("ffff"));

    // Walk the elements the way a client does and check each value by its kind.
    QList<quint16> seen;
    qsizetype at = 25;
    auto be = [&](qsizetype from, int width) {
        quint64 v = 0;
        for (int i = 0; i < width; ++i)
            v = (v << 8) | quint8(reply[from + i]);
        return v;
    };
    while (reply.size() - at > 2 && be(at, 2) != 0xFFFF) {
        const quint16 id = quint16(be(at, 2));
        const int len = quint8(reply[at + 2]);
        const QByteArray value = reply.mid(at + 3, len);
        QCOMPARE(value.size(), len);
        seen << id;
        switch (id) {
        case 1: QCOMPARE(len, 4); QCOMPARE(be(at + 3, 4), quint64(0xFFFE0000)); break;
        case 2: QCOMPARE(len, 4); QCOMPARE(be(at + 3, 4), quint64(0xC6120101 + index)); break;
        case 3: QCOMPARE(len, 4); QCOMPARE(be(at + 3, 4), quint64(d.gateway)); break;
        case 4: QCOMPARE(len, 2); QCOMPARE(be(at + 3, 2), quint64(d.word4)); break;
        case 5: QCOMPARE(value, d.typeText); break;
        case 6: QCOMPARE(len, 1); QCOMPARE(bool(value[0] & 0x10), generatedWithDhcp(index)); break;
        case 7: QCOMPARE(value, d.name); break;
        case 12: QCOMPARE(value, d.hardwareVersion); break;
        case 13: QCOMPARE(len, 4); QCOMPARE(be(at + 3, 4) == 0x000B1156, !generatedWithUnknownType(index)); break;
        case 14: QCOMPARE(len, 4); QCOMPARE(be(at + 3, 4), quint64(d.dns1)); break;
        case 15: QCOMPARE(len, 4); QCOMPARE(be(at + 3, 4), quint64(d.dns2)); break;
        case 16: QCOMPARE(value, d.bootstrapVersion); break;
        case 17: QCOMPARE(value, d.kernelVersion); break;
        case 18: QCOMPARE(value, d.firmwareVersion); break;
        default: QFAIL("unexpected parameter id");
        }
        at += 3 + len;
    }
    QCOMPARE(seen, ids); // every requested id, in the order requested
    QCOMPARE(at, reply.size() - 2);

    // An unknown id is left out; id 10 is the hardware address.
    const QByteArray other = encodeDiscoveryReply(d, {}, {10, 99});
    QCOMPARE(other.mid(25), hex("000a06") + other.mid(28, 6) + hex("ffff"));
    QCOMPARE(other.mid(28, 6).toHex().toULongLong(nullptr, 16), d.mac);
}

void DevsimFrames::commandReply()
{
    const SimDevice d = generateDevices(1, 0xC6120101, 1).first();
    const QByteArray reply = encodeCommandReply(d, hex("0002c6120001cca5"), 5, 0xFFFD);
    QCOMPARE(reply.size(), 27);
    QCOMPARE(reply.mid(8, 8), d.addressRecord());
    QCOMPARE(reply.mid(16), hex("0001" "1156" "00000000" "05" "fffd"));
}

void DevsimFrames::addressing_data()
{
    QTest::addColumn<QByteArray>("destination");
    QTest::addColumn<bool>("addressed");
    QTest::newRow("broadcast-record") << hex("0001ffffffffffff") << true;
    QTest::newRow("own-ipv4-record") << hex("0002c6120103cca5") << true;
    QTest::newRow("other-ipv4-record") << hex("0002c6120104cca5") << false;
    QTest::newRow("ipv4-other-port") << hex("0002c61201030015") << true;
    QTest::newRow("zero") << hex("0000000000000000") << false;
    QTest::newRow("type-1-other-mac") << hex("0001000000000001") << false;
}

void DevsimFrames::addressing()
{
    QFETCH(QByteArray, destination);
    QFETCH(bool, addressed);
    const SimDevice d = generateDevices(3, 0xC6120101, 1).at(2);
    QCOMPARE(addressedTo(destination, d), addressed);
    // Its own type 1 record always addresses it.
    QByteArray own = hex("0001");
    for (int shift = 40; shift >= 0; shift -= 8)
        own += char((d.mac >> shift) & 0xFF);
    QVERIFY(addressedTo(own, d));
}

QTEST_GUILESS_MAIN(DevsimFrames)
#include "tst_devsim_frames.moc"
