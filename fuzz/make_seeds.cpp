// Writes the seed corpora of the fuzz targets from the simulator's own frames: discovery and
// command replies of generated devices, the controller's bus replies, the FTP server's replies,
// and the address texts the devices report. A few damaged variants of each follow the kinds of
// fault the simulator can show (wrong acknowledgement, bad CRC, a reply cut short).
//
//   fuzz_make_seeds <corpus-dir>
//
// The same program always writes the same files: names and bytes depend on nothing else.

#include "devsim/controller.h"
#include "devsim/ftpsession.h"
#include "devsim/simdatagram.h"
#include "devsim/simdevice.h"
#include "protocol/wire.h"
#include "bus/controllerbus.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>

#include <cstdio>

using namespace DevSim;

namespace {

constexpr quint32 Base = 0xC6120101; // the simulator's first device, 198.18.1.1
constexpr quint64 Seed = 1;

QDir g_root;
int g_written = 0;

void writeSeed(const char *target, const QString &name, const QByteArray &bytes)
{
    const QString folder = QString::fromLatin1(target);
    g_root.mkpath(folder);
    QFile file(g_root.filePath(folder + u'/' + name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        std::exit(1);
    }
    ++g_written;
}

QString numbered(const char *stem, int index)
{
    return QStringLiteral("%1-%2").arg(QString::fromLatin1(stem)).arg(index, 2, 10, QChar(u'0'));
}

// The record a request from the PC carries: type 2, 198.18.0.1, the device port.
QByteArray requesterRecord()
{
    return QByteArray::fromHex("0002c6120001cca5");
}

void discoverySeeds(const QList<SimDevice> &devices)
{
    const QList<quint16> asked(Wire::DiscoveryIds.begin(), Wire::DiscoveryIds.end());
    for (int i = 0; i < devices.size(); ++i) {
        const SimDevice &device = devices[i];
        writeSeed("fuzz_discovery_reply", numbered("asked", i), encodeDiscoveryReply(device, requesterRecord(), asked));
    }
    // Every parameter a device has (ids outside the discovery list included), and the command byte 0.
    writeSeed("fuzz_discovery_reply", QStringLiteral("all-00"), encodeDiscoveryReply(devices[0], requesterRecord(), {}));
    writeSeed("fuzz_discovery_reply", QStringLiteral("all-03"), encodeDiscoveryReply(devices[3], requesterRecord(), {}, 0));

    const QByteArray reply = encodeDiscoveryReply(devices[1], requesterRecord(), asked);
    // A wrong command byte (what the simulator's wrong-acknowledgement fault sends), a reply cut in
    // the middle of an element, one without its terminator, and the header alone.
    QByteArray wrongCommand = reply;
    wrongCommand[Wire::CommandOffset] = 2;
    writeSeed("fuzz_discovery_reply", QStringLiteral("wrong-command"), wrongCommand);
    writeSeed("fuzz_discovery_reply", QStringLiteral("cut"), reply.left(reply.size() / 2));
    writeSeed("fuzz_discovery_reply", QStringLiteral("no-terminator"), reply.chopped(2));
    writeSeed("fuzz_discovery_reply", QStringLiteral("header-only"), reply.left(Wire::HeaderSize));
    // Elements the program must skip or leave as they were: an id beyond 4095, id 0, an address of
    // the wrong length, an element claiming more bytes than follow.
    QByteArray odd = reply.left(Wire::HeaderSize);
    odd += QByteArray::fromHex("1000" "02" "abcd");   // id 4096
    odd += QByteArray::fromHex("0000" "01" "ee");     // id 0
    odd += QByteArray::fromHex("0002" "03" "c61201"); // an address of three bytes
    odd += QByteArray::fromHex("000d" "04" "000b1156"); // the built-in type code
    odd += QByteArray::fromHex("000a" "06" "0050c21a2b3c"); // its hardware address
    odd += QByteArray::fromHex("0007" "ff" "41");     // a name claiming 255 bytes
    writeSeed("fuzz_discovery_reply", QStringLiteral("odd-elements"), odd);
    // The record of the device the fuzz target's list already holds.
    QByteArray known = reply;
    known.replace(Wire::SourceOffset, 8, QByteArray::fromHex("00010050c21a2b3c"));
    writeSeed("fuzz_discovery_reply", QStringLiteral("known-device"), known);
}

void commandSeeds(const QList<SimDevice> &devices)
{
    const SimDevice &device = devices[2];
    for (const Wire::CommandInfo &info : Wire::Commands) {
        const quint8 command = static_cast<quint8>(info.command);
        QByteArray input;
        input += static_cast<char>(command);
        input += static_cast<char>(info.ackCode >> 8);
        input += static_cast<char>(info.ackCode & 0xFF);
        writeSeed("fuzz_command_reply", QString::fromLatin1(info.name),
              input + encodeCommandReply(device, requesterRecord(), command, info.ackCode));
        // The simulator's wrong acknowledgement: the code XOR 1.
        writeSeed("fuzz_command_reply", QString::fromLatin1(info.name) + QStringLiteral("-wrong-ack"),
              input + encodeCommandReply(device, requesterRecord(), command, info.ackCode ^ 1));
    }
    // A discovery reply where an acknowledgement was awaited, and an acknowledgement cut short.
    const QByteArray discovery = encodeDiscoveryReply(device, requesterRecord(), {Wire::Param::Name});
    writeSeed("fuzz_command_reply", QStringLiteral("discovery-reply"), QByteArray::fromHex("03fffe") + discovery);
    const QByteArray ack = encodeCommandReply(device, requesterRecord(), 5, 0xFFFD);
    writeSeed("fuzz_command_reply", QStringLiteral("cut-ack"), QByteArray::fromHex("05fffd") + ack.chopped(1));
}

// The controller's answer to a request as the client sends it.
QByteArray answer(ControllerMemory &memory, const QByteArray &request)
{
    const BusDecodeResult decoded = decodeBusRequest(ControllerBus::seal(request));
    if (!decoded.request) {
        std::fprintf(stderr, "the controller refused a request: %s\n", qPrintable(decoded.error));
        std::exit(1);
    }
    return memory.execute(*decoded.request);
}

void busSeeds()
{
    ControllerMemory memory;
    memory.setConfiguration("[Controller]\r\nAddress=1\r\nBaud=19200\r\n");
    memory.setDiagnostics("Uptime 1234 h\r\nErrors 0\r\n");
    memory.setLogBlocks({"2024-01-01 12:00 start\r\n", "2024-01-01 12:05 stop\r\n"});

    auto seed = [](const QString &name, int count, const QByteArray &frame) {
        writeSeed("fuzz_bus_reply", name, QByteArray(1, static_cast<char>(count)) + frame);
    };
    // A firmware write and its read back, the configuration text and the diagnostics, as the
    // maintenance window fetches them: a command, then reads of the transfer area.
    seed(QStringLiteral("write-4"), 0, answer(memory, ControllerBus::writeRequest(0xFF, 0x000100, QByteArray::fromHex("deadbeef"))));
    seed(QStringLiteral("read-4"), 4, answer(memory, ControllerBus::readRequest(0xFF, 0x000100, 4)));
    seed(QStringLiteral("read-unwritten-16"), 16, answer(memory, ControllerBus::readRequest(0xFF, 0x400000, 16)));
    seed(QStringLiteral("command-get-config"), 0, answer(memory, ControllerBus::commandRequest(0xFF, Wire::Bus::GetConfigStart)));
    seed(QStringLiteral("read-config-64"), 64, answer(memory, ControllerBus::readRequest(0xFF, 0, 64)));
    seed(QStringLiteral("command-get-diagnose"), 0, answer(memory, ControllerBus::commandRequest(0xFF, Wire::Bus::GetDiagnoseStart)));
    const QByteArray full = answer(memory, ControllerBus::readRequest(0xFF, 0, Wire::Bus::MaxChunk));
    seed(QStringLiteral("read-diagnose-128"), Wire::Bus::MaxChunk, full);
    seed(QStringLiteral("command-get-logs"), 0, answer(memory, ControllerBus::commandRequest(0xFF, Wire::Bus::GetLogs)));
    seed(QStringLiteral("read-log-32"), 32, answer(memory, ControllerBus::readRequest(0xFF, 0, 32)));
    seed(QStringLiteral("command-reset"), 0, answer(memory, ControllerBus::commandRequest(0x00, Wire::Bus::Reset)));
    // A bad CRC (the simulator's fault), a reply one byte short, and one with a byte more.
    QByteArray badCrc = full;
    badCrc[badCrc.size() - 1] = static_cast<char>(badCrc.at(badCrc.size() - 1) ^ 0x01);
    seed(QStringLiteral("bad-crc"), Wire::Bus::MaxChunk, badCrc);
    seed(QStringLiteral("short"), Wire::Bus::MaxChunk, full.chopped(1));
    seed(QStringLiteral("long"), Wire::Bus::MaxChunk, full + '\0');
}

// The bytes a server sends, with the places where the reads cut them after them: each cut as
// two bytes (low, high) from the last cut to the first, then the number of cuts.
QByteArray withCuts(const QByteArray &stream, const QList<quint16> &cuts)
{
    QByteArray input = stream;
    for (qsizetype i = cuts.size() - 1; i >= 0; --i) {
        input += static_cast<char>(cuts[i] & 0xFF);
        input += static_cast<char>(cuts[i] >> 8);
    }
    input += static_cast<char>(cuts.size());
    return input;
}

QByteArray lines(const QList<QByteArray> &replies)
{
    QByteArray stream;
    for (const QByteArray &reply : replies)
        stream += reply + "\r\n";
    return stream;
}

void ftpSeeds()
{
    // The upload's exchange with the board's server, from the greeting to QUIT.
    auto conversation = [](bool logInAtUser, bool end426) {
        FtpSession session(Wire::FtpUser, Wire::FtpPassword, logInAtUser, end426);
        session.deleteFile = [](const QByteArray &) { return false; };
        QList<QByteArray> replies{session.greeting()};
        for (const char *line : {"USER ftp", "PASS morvane40213", "TYPE I", "SYST", "DELE image.bin",
                                 "PORT 198,18,0,1,195,80", "STOR image.bin"})
            replies += session.command(line).replies;
        replies += session.transferEnded(true);
        replies += session.command("QUIT").replies;
        return lines(replies);
    };
    const QByteArray upload = conversation(false, false);
    writeSeed("fuzz_ftp_reply", QStringLiteral("upload"), withCuts(upload, {}));
    writeSeed("fuzz_ftp_reply", QStringLiteral("upload-cut"), withCuts(upload, {3, 11, 40, 41, 120}));
    writeSeed("fuzz_ftp_reply", QStringLiteral("upload-user230-426"), withCuts(conversation(true, true), {1, 2, 3}));

    FtpSession session(Wire::FtpUser, Wire::FtpPassword, false, false);
    QList<QByteArray> refused;
    for (const char *line : {"PASS x", "USER ftp", "PASS wrong", "TYPE I", "PASV", "FEAT"})
        refused += session.command(line).replies;
    writeSeed("fuzz_ftp_reply", QStringLiteral("refused"), withCuts(lines(refused), {7}));
    writeSeed("fuzz_ftp_reply", QStringLiteral("aborted"),
          withCuts(lines(session.transferEnded(false) + session.dataConnectionFailed()), {}));

    // Multi-line replies as servers send them: a banner, a feature list ended by the bare code, a
    // bare LF, an unfinished reply, and inner lines that look like other replies.
    writeSeed("fuzz_ftp_reply", QStringLiteral("multi-line"),
          withCuts("220-Communication board\r\n220-Firmware upload only\r\n220 Ready.\r\n", {5, 30}));
    writeSeed("fuzz_ftp_reply", QStringLiteral("features"), withCuts("211-Features:\r\n MDTM\r\n SIZE\r\n211\r\n", {}));
    writeSeed("fuzz_ftp_reply", QStringLiteral("bare-lf"), withCuts("215 UNIX Type: L8\n200 OK.\n", {}));
    writeSeed("fuzz_ftp_reply", QStringLiteral("unfinished"), withCuts("230-Welcome.\r\n230-More", {14}));
    writeSeed("fuzz_ftp_reply", QStringLiteral("inner-codes"),
          withCuts("250-Start\r\n226 inner\r\n250-still\r\n2501 joined\r\n250 End\r\n", {}));
    writeSeed("fuzz_ftp_reply", QStringLiteral("garbage"), withCuts("junk\r\n\r\n099 x\r\n2a0 y\r\n200 OK.\r\n", {}));
    // The limits: a line of 4097 bytes, and a reply of more than 256 lines.
    writeSeed("fuzz_ftp_reply", QStringLiteral("long-line"),
          withCuts("220 " + QByteArray(4093, 'x') + "\r\n200 OK.\r\n", {4096, 4097, 4098}));
    QByteArray many = "220-Start\r\n";
    for (int i = 0; i < 260; ++i)
        many += "line\r\n";
    many += "220 End\r\n";
    writeSeed("fuzz_ftp_reply", QStringLiteral("many-lines"), withCuts(many, {}));
}

void addressSeeds(const QList<SimDevice> &devices)
{
    QList<QByteArray> texts;
    for (const SimDevice &device : devices)
        texts << device.ipText().toLatin1();
    texts << ipToText(devices[0].netmask).toLatin1() << ipToText(devices[0].gateway).toLatin1()
          << ipToText(devices[0].dns1).toLatin1();
    // Forms a technician may type, or a device may send.
    texts << "0.0.0.0" << "255.255.255.255" << "010.001.002.003" << "192.168.1" << "256.1.1.1" << "1.2.300.4"
          << "+1.2.3.4" << "-1.2.3.4" << "1..2.3" << "1.2.3.4.5" << " 1.2.3.4" << "1.2.3.4 " << "0x1.2.3.4"
          << "2147483648.1.1.1" << "\xd9\xa1.\xd9\xa2.\xd9\xa3.\xd9\xa4"          // Arabic-Indic digits
          << "\xef\xbc\x91.\xef\xbc\x92.\xef\xbc\x93.\xef\xbc\x94";                // full-width digits
    for (int i = 0; i < texts.size(); ++i)
        writeSeed("fuzz_text_to_ip", numbered("text", i), texts[i]);

    // Field number and reading, separator, then the text.
    const QList<QByteArray> more{"192.168.001.020", "1,2,3,4", "1.2.3.", "...", "1.2.3.4.", "0000.1.2.3"};
    int index = 0;
    for (const QByteArray &text : texts + more) {
        // Bits 2..7 the field number, bits 0..1 the reading: Latin-1, or UTF-8 for the texts
        // with other digits.
        const bool otherDigits = text.contains('\xd9') || text.contains('\xef');
        const char field = static_cast<char>(((1 + index % 4) << 2) | (otherDigits ? 1 : 0));
        const char separator = (index % 5 == 4) ? ',' : '.';
        writeSeed("fuzz_ipaddr_strings", numbered("text", index), QByteArray(1, field) + separator + text);
        ++index;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus-dir>\n", argv[0]);
        return 2;
    }
    g_root = QDir(QString::fromLocal8Bit(argv[1]));
    if (!g_root.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    const QList<SimDevice> devices = generateDevices(12, Base, Seed);
    discoverySeeds(devices);
    commandSeeds(devices);
    busSeeds();
    ftpSeeds();
    addressSeeds(devices);
    std::printf("%d seed files in %s\n", g_written, argv[1]);
    return 0;
}
