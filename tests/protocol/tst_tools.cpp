// Address routines, the device record and the small shared routines.
#include "protocol/resource.h"
#include "protocol/devicerecord.h"
#include "protocol/fileio.h"
#include "protocol/ipaddrutils.h"
#include "protocol/ipv4text.h"
#include "protocol/sha256text.h"
#include "protocol/wire.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

class TestTools : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        StartupInit();
    }

    void textToIp_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<quint32>("ip");
        QTest::newRow("192.168.1.20") << "192.168.1.20" << 0xC0A80114u;
        QTest::newRow("all zero") << "0.0.0.0" << 0u;
        QTest::newRow("all ones") << "255.255.255.255" << 0xFFFFFFFFu;
        QTest::newRow("empty") << "" << 0u;
        QTest::newRow("first out of range") << "256.1.1.1" << 0u;
        QTest::newRow("second out of range") << "10.256.1.1" << 0x0A000000u;
        QTest::newRow("third out of range") << "10.0.300.4" << 0x0A000000u;
        QTest::newRow("fourth out of range") << "1.2.3.256" << 0x01020300u;
        QTest::newRow("negative fourth") << "1.2.3.-4" << 0x01020300u;
        QTest::newRow("letters") << "a.b.c.d" << 0u;
        QTest::newRow("three octets") << "1.2.3" << 0u;
        QTest::newRow("five octets") << "1.2.3.4.5" << 0u;
        QTest::newRow("empty octet") << "1..3.4" << 0u;
        QTest::newRow("host name") << "device.local" << 0u;
        QTest::newRow("trailing letter") << "1.2.3.4x" << 0u;
        QTest::newRow("leading zeros are decimal") << "010.001.002.009" << 0x0A010209u;
    }
    void textToIp()
    {
        QFETCH(QString, text);
        QFETCH(quint32, ip);
        QCOMPARE(TextToIp(text), ip);
    }

    void ipToText_data()
    {
        QTest::addColumn<quint32>("ip");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0u << "0.0.0.0";
        QTest::newRow("ones") << 0xFFFFFFFFu << "255.255.255.255";
        QTest::newRow("c0a80114") << 0xC0A80114u << "192.168.1.20";
        QTest::newRow("0a000001") << 0x0A000001u << "10.0.0.1";
    }
    void ipToText()
    {
        QFETCH(quint32, ip);
        QFETCH(QString, text);
        QCOMPARE(IpToText(ip), text);
        QCOMPARE(TextToIp(IpToText(ip)), ip);
    }

    void isDottedIPv4_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << "198.18.1.5" << true;
        QTest::newRow("out of range") << "198.18.1.256" << false;
        QTest::newRow("option") << "-d" << false;
        QTest::newRow("injection") << "1.2.3.4;reboot" << false;
        QTest::newRow("spaces") << "1.2.3. 4" << false;
        QTest::newRow("empty") << "" << false;
    }
    void isDottedIPv4()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(IsDottedIPv4(text), valid);
    }

    void lastPos_data()
    {
        QTest::addColumn<QString>("sub");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("position");
        QTest::newRow("bc in abcabc") << "bc" << "abcabc" << 5;
        QTest::newRow("dot in a.b.c") << "." << "a.b.c" << 4;
        QTest::newRow("absent") << "x" << "abc" << 0;
        QTest::newRow("whole text") << "abc" << "abc" << 1;
        QTest::newRow("longer than text") << "abcd" << "abc" << 0;
        QTest::newRow("empty sub") << "" << "abc" << 0;
        QTest::newRow("overlapping") << "aa" << "aaa" << 2;
    }
    void lastPos()
    {
        QFETCH(QString, sub);
        QFETCH(QString, text);
        QFETCH(int, position);
        QCOMPARE(LastPos(sub, text), position);
    }

    void byteSwap()
    {
        QCOMPARE(ByteSwap32(0x11223344u), 0x44332211u);
        QCOMPARE(ByteSwap64(0x1122334455667788ull), 0x8877665544332211ull);
    }

    void newDeviceRecord()
    {
        const TDeviceRecord device;
        QCOMPARE(device.Params.number(13), qint64(-1));
        QCOMPARE(device.Params.count(), 1);
        QCOMPARE(device.Mac, quint64(0));
        QVERIFY(device.IpText.isEmpty());
        QCOMPARE(device.Params.text(7), QString());
        QCOMPARE(device.Params.text(13), QStringLiteral("-1"));
    }

    void paramsRefuseIdsOutsideRange_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("0") << 0 << false;
        QTest::newRow("1") << 1 << true;
        QTest::newRow("4095") << 4095 << true;
        QTest::newRow("4096") << 4096 << false;
        QTest::newRow("65535") << 65535 << false;
    }
    void paramsRefuseIdsOutsideRange()
    {
        QFETCH(int, id);
        QFETCH(bool, accepted);
        TParams params;
        QCOMPARE(params.set(id, qint64(5)), accepted);
        QCOMPARE(params.has(id), accepted);
        QCOMPARE(params.count(), accepted ? 1 : 0);
    }

    void paramsStaySortedAndReplace()
    {
        TParams params;
        for (int id : {18, 1, 7, 4095, 13, 7})
            params.set(id, qint64(id * 10));
        params.set(7, QByteArray("name"));
        QCOMPARE(params.count(), 5);
        QCOMPARE(params.text(7), QStringLiteral("name"));
        QCOMPARE(params.number(4095), qint64(40950));
        QCOMPARE(params.number(18), qint64(180));
        QVERIFY(!params.has(2));
    }

    void paramsCopiesChangeApart_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("changed value") << 7 << QByteArray("renamed");
        QTest::newRow("same value again") << 7 << QByteArray("name");
        QTest::newRow("new id in the middle") << 9 << QByteArray("new");
        QTest::newRow("new id at the end") << 4000 << QByteArray("last");
    }

    void paramsCopiesChangeApart()
    {
        // A copy shares the values until one side changes: neither ever sees the other's change.
        QFETCH(int, id);
        QFETCH(QByteArray, value);
        TParams original;
        original.set(1, qint64(10));
        original.set(7, QByteArray("name"));
        original.set(18, QByteArray("1.0"));
        original.squeeze();
        const TParams before = original;
        TParams copy = original;
        copy.set(id, value);
        QCOMPARE(original, before);
        QCOMPARE(copy.text(id), QString::fromLatin1(value));
        QCOMPARE(copy.count(), before.count() + (before.has(id) ? 0 : 1));
        original.set(18, QByteArray("2.0"));
        QCOMPARE(copy.text(18), u"1.0"_qs);
        QCOMPARE(original.text(id), before.text(id));
    }

    void fileSizeOf()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QCOMPARE(FileSizeOf(dir.filePath(QStringLiteral("missing.bin"))), qint64(0));
        QCOMPARE(FileSizeOf(dir.path()), qint64(0));
        QCOMPARE(FileSizeOf(QString()), qint64(0));

        QFile small(dir.filePath(QStringLiteral("small.bin")));
        QVERIFY(small.open(QIODevice::WriteOnly));
        small.write(QByteArray(1000, 'x'));
        small.close();
        QCOMPARE(FileSizeOf(small.fileName()), qint64(1000));

        // Sizes past 32 bits: a sparse 3 GiB file costs no disk space.
        QFile big(dir.filePath(QStringLiteral("big.bin")));
        QVERIFY(big.open(QIODevice::WriteOnly));
        const qint64 threeGiB = qint64(3) << 30;
        QVERIFY(big.resize(threeGiB));
        big.close();
        QCOMPARE(FileSizeOf(big.fileName()), threeGiB);
    }

    // The published test vectors of SHA-256.
    void sha256Text_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("hash");
        QTest::newRow("empty") << QByteArray()
                               << QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        QTest::newRow("abc") << QByteArray("abc")
                             << QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        QTest::newRow("448 bits") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                  << QStringLiteral("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    }
    void sha256Text()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, hash);
        QCOMPARE(Sha256Text(bytes), hash);
    }

    // Text reaches the file whole, in UTF-8; a file that cannot take it all is told.
    void writeText_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("written");
        QTest::newRow("file") << QString() << true;
        QTest::newRow("full device") << QStringLiteral("/dev/full") << false;
    }
    void writeText()
    {
        QFETCH(QString, path);
        QFETCH(bool, written);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        if (path.isEmpty())
            path = dir.filePath(QStringLiteral("out.txt"));
        if (!QFileInfo::exists(path) && !path.startsWith(dir.path()))
            QSKIP("no such device on this system");
        std::FILE *file = std::fopen(QFile::encodeName(path).constData(), "w");
        QVERIFY(file);
        const QString text = QStringLiteral("Température 21 °C\n");
        QCOMPARE(WriteText(file, text), written);
        QCOMPARE(WriteText(file, QByteArrayView("raw bytes\n")), written);
        std::fclose(file);
        if (written) {
            QFile back(path);
            QVERIFY(back.open(QIODevice::ReadOnly));
            QCOMPARE(back.readAll(), text.toUtf8() + "raw bytes\n");
        }
    }

    // A regular file is replaced whole; a pipe is written into and stays a pipe (a rename over it,
    // or over /dev/null, would leave a plain file in its place).
    void writeFileWhole_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("written");
        QTest::newRow("new file") << u"new"_qs << true;
        QTest::newRow("old file replaced") << u"old"_qs << true;
        QTest::newRow("pipe written into") << u"fifo"_qs << true;
        QTest::newRow("folder missing") << u"missing"_qs << false;
    }
    void writeFileWhole()
    {
        QFETCH(QString, kind);
        QFETCH(bool, written);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        static const char text[] = "every byte \x00\xff of it\n";
        const QByteArray bytes(text, sizeof text - 1); // with its zero byte
        QString path = dir.filePath(u"out.cfg"_qs);
        QByteArray readBack;
        std::thread reader;
        std::atomic<bool> readerOpen{false};
        int keeper = -1;
        if (kind == u"old"_qs) {
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly) && old.write("a longer text that was there before") > 0);
        } else if (kind == u"fifo"_qs) {
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
            // Held open for writing until the write is done, so that the reader sees its end even
            // when the pipe was wrongly replaced (instead of waiting for a writer forever).
            keeper = ::open(QFile::encodeName(path).constData(), O_RDWR);
            QVERIFY(keeper >= 0);
            reader = std::thread([path, &readBack, &readerOpen] {
                QFile pipe(path);
                const bool open = pipe.open(QIODevice::ReadOnly);
                readerOpen = true;
                if (open)
                    readBack = pipe.readAll();
            });
            QVERIFY(QTest::qWaitFor([&] { return readerOpen.load(); }, 5000));
        } else if (kind == u"missing"_qs) {
            path = dir.filePath(u"no/such/folder/out.cfg"_qs);
        }
        const QFileInfo before(path);
        const bool special = before.exists() && !before.isFile();
        QString error;
        QCOMPARE(WriteFileWhole(path, bytes, &error), written);
        if (keeper >= 0)
            ::close(keeper);
        if (reader.joinable())
            reader.join();
        QCOMPARE(error.isEmpty(), written);
        if (!written)
            QVERIFY2(error.contains(QDir::toNativeSeparators(path)), qPrintable(error));
        const QFileInfo after(path);
        QCOMPARE(after.exists() && !after.isFile(), special); // a device or pipe is never replaced
        if (kind == u"fifo"_qs) {
            QCOMPARE(readBack, bytes);
        } else if (written) {
            QFile back(path);
            QVERIFY(back.open(QIODevice::ReadOnly));
            QCOMPARE(back.readAll(), bytes);
        }
    }

    void errorMessages_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("resourceId");
        QTest::addColumn<QString>("shown");
        QTest::newRow("0") << 0 << 65191 << "Device not responding";
        QTest::newRow("1") << 1 << 65197 << "File ARG not found!";
        QTest::newRow("2") << 2 << 65195 << "Transfert Error: ARG";
        QTest::newRow("3") << 3 << 65196 << "Verify Error";
        QTest::newRow("4") << 4 << 65194 << "Config file not compatible with destination device";
        QTest::newRow("5") << 5 << 65193 << "Connection Error: ARG";
        QTest::newRow("6") << 6 << 65192 << "ARG : Logins must be different!";
        QTest::newRow("7") << 7 << 65198 << "File must be xx.image.bin or xx.rom.bin";
    }
    void errorMessages()
    {
        QFETCH(int, index);
        QFETCH(int, resourceId);
        QFETCH(QString, shown);
        QCOMPARE(ErrorMessageResourceId(index), resourceId);
        QStringList captured;
        const TErrorMessageSink previous = SetErrorMessageSink([&](const QString &m) { captured.append(m); });
        ShowErrorMessage(index, QStringLiteral("ARG"));
        SetErrorMessageSink(previous);
        QCOMPARE(captured, QStringList{shown});
    }

    void startupInit()
    {
        ProtocolCode = 0;
        bool separatorShown = false;
        StartupInit([&] { separatorShown = true; });
        QCOMPARE(ProtocolCode, quint16(0x1156));
        QVERIFY(separatorShown);
        QVERIFY(AboutLinkText(0).isEmpty());
        QVERIFY(AboutLinkText(1).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestTools)
#include "tst_tools.moc"
