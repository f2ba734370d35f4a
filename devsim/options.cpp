#include "devsim/options.h"

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>

namespace DevSim {

namespace {

const char *const Description =
    "Simulates many field devices of the Tarvino lab in one process: each device has its own\n"
    "IPv4 address (base + index) and answers, from that address, on\n"
    "  UDP and TCP 52389  discovery (broadcast or unicast) and commands 3-9 and 11,\n"
    "  UDP 52390          the controller bus (CRC-16/MODBUS frames, functions 0x64, 0x6E, 0x6F;\n"
    "                     only while its updater runs, as on a real device),\n"
    "  TCP 21             the FTP server (user ftp, active mode only; only after command 3\n"
    "                     StartFtpServer unless --ftp-always-on).\n"
    "Devices start with the daemon running, updater, FTP server and DropBear off. Command 9\n"
    "toggles DropBear; command 11 installs the file uploaded last, and the device then reports\n"
    "as its firmware version (parameter 18) the last dotted number of that file's name\n"
    "(p3-board-3.4.1.bin: 3.4.1; a name without one leaves the version as it was).\n"
    "Controller: sub-command 0xD2 shows the configuration at address 0 (4-byte big-endian\n"
    "length, then the text at 4), 0xD8 the diagnostics, 0xD4 the first log block and each\n"
    "0xD6 the next (length 0 when none is left); 0xD0 opens a configuration write that 0xD1\n"
    "stores; 0xD7 erases the logs; 0x00, 0xD3, 0xD5, 0xD9 show the firmware area again\n"
    "(written from address 0, unwritten bytes read 0xFF); 0xFE takes the firmware written\n"
    "into update mode.\n"
    "Run it where the device addresses are local: inside the lab (lab sim ARGS...).\n"
    "It prints \"ready\" once every socket is bound. SIGUSR1 writes the --state file;\n"
    "SIGUSR2 clears every fault (the devices keep their state); SIGTERM and SIGINT end it\n"
    "(writing the state file).\n\n"
    "Journal (--journal): one JSON object per line: t (seconds since start), device, port,\n"
    "transport, from, and the request decoded: cmd, name, dest, source, ids (52389); unit, fn,\n"
    "sub, addr, n, data, view (52390); ftp (the command line) or event (21); faults applied,\n"
    "error, refused or ignored when the device did not answer. Lines with \"event\":\"state\"\n"
    "follow each command: ftpServer, updater, daemon, dropBear, installedImage, installCount.\n";

std::optional<qint64> number(const QString &text, qint64 min, qint64 max)
{
    bool ok = false;
    const qint64 value = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2).toLongLong(&ok, 16)
                                                                                   : text.toLongLong(&ok, 10);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

// TARGET=VALUE options; what names the value in the error ("FILE", "MAC", ...).
bool parseFileOptions(const QStringList &values, QList<FileOption> &out, QString *error,
                      const char *valueName = "FILE")
{
    for (const QString &value : values) {
        const qsizetype eq = value.indexOf(QLatin1Char('='));
        const auto target = eq > 0 ? parseTarget(QStringView(value).first(eq)) : std::nullopt;
        if (!target || eq + 1 >= value.size()) {
            *error = QStringLiteral("\"%1\": expected TARGET=%2 (TARGET: all, an address, an address range A-B or a device index)")
                         .arg(value, QLatin1String(valueName));
            return false;
        }
        out << FileOption{*target, value.mid(eq + 1)};
    }
    return true;
}

std::optional<QByteArray> readFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    return file.readAll();
}

} // namespace

ParseResult parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Description) + QLatin1Char('\n') + faultHelp());
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    parser.addOption(help);
    const QCommandLineOption devices(QStringLiteral("devices"), QStringLiteral("Number of devices (1..65536, default 12)."), QStringLiteral("N"), QStringLiteral("12"));
    const QCommandLineOption base(QStringLiteral("base"), QStringLiteral("Address of device 0 (default 198.18.1.1); device i has base + i."), QStringLiteral("IP"), QStringLiteral("198.18.1.1"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the generated devices and of loss faults (default 1)."), QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption fault(QStringLiteral("fault"), QStringLiteral("A fault, TARGET:KIND[=VALUE][@SCOPE]... (see below); repeatable."), QStringLiteral("FAULT"));
    const QCommandLineOption journal(QStringLiteral("journal"), QStringLiteral("Write the journal of received requests to FILE."), QStringLiteral("FILE"));
    const QCommandLineOption state(QStringLiteral("state"), QStringLiteral("Write every device's state as JSON to FILE on SIGUSR1 and at exit."), QStringLiteral("FILE"));
    const QCommandLineOption ftpRoot(QStringLiteral("ftp-root"), QStringLiteral("Also write uploaded files to DIR/<device ip>/<name>."), QStringLiteral("DIR"));
    const QCommandLineOption ftpAlwaysOn(QStringLiteral("ftp-always-on"), QStringLiteral("FTP servers answer without StartFtpServer."));
    const QCommandLineOption updaterRunning(QStringLiteral("updater-running"), QStringLiteral("Devices start with the updater running (bus open)."));
    const QCommandLineOption restart(QStringLiteral("restart-ms"), QStringLiteral("After installing an image (command 11) the board restarts: every service is silent for MS milliseconds, then back (default 0: no restart)."), QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption logsConsumed(QStringLiteral("logs-consumed"), QStringLiteral("0xD6 removes the log block read instead of moving past it."));
    const QCommandLineOption configFile(QStringLiteral("config-file"), QStringLiteral("Configuration text of the TARGET devices, from FILE (bytes as they are)."), QStringLiteral("TARGET=FILE"));
    const QCommandLineOption diagFile(QStringLiteral("diagnostics-file"), QStringLiteral("Diagnostics text of the TARGET devices, from FILE."), QStringLiteral("TARGET=FILE"));
    const QCommandLineOption logFile(QStringLiteral("log-file"), QStringLiteral("A log block of the TARGET devices, from FILE; repeat for more blocks (they replace the generated ones)."), QStringLiteral("TARGET=FILE"));
    const QCommandLineOption mac(QStringLiteral("mac"), QStringLiteral("MAC address of the TARGET devices (twelve hexadecimal digits, separators allowed): twins, or 00:00:00:00:00:00."), QStringLiteral("TARGET=MAC"));
    const QCommandLineOption type(QStringLiteral("type"), QStringLiteral("Device type of the TARGET devices: its text (parameter 5), and with @CODE its type code (parameter 13, 0x000B1156); the code stays as generated without it."), QStringLiteral("TARGET=NAME[@CODE]"));
    const QCommandLineOption firmwareVersion(QStringLiteral("firmware-version"), QStringLiteral("Firmware version the TARGET devices report (parameter 18), a text of at most 255 bytes."), QStringLiteral("TARGET=VERSION"));
    const QCommandLineOption bind(QStringLiteral("bind"), QStringLiteral("Address the sockets bind to (default 0.0.0.0)."), QStringLiteral("IP"), QStringLiteral("0.0.0.0"));
    const QCommandLineOption devicePort(QStringLiteral("device-port"), QStringLiteral("Datagram/TCP port (default 52389)."), QStringLiteral("PORT"), QStringLiteral("52389"));
    const QCommandLineOption busPort(QStringLiteral("bus-port"), QStringLiteral("Controller bus port (default 52390)."), QStringLiteral("PORT"), QStringLiteral("52390"));
    const QCommandLineOption ftpPort(QStringLiteral("ftp-port"), QStringLiteral("FTP port (default 21)."), QStringLiteral("PORT"), QStringLiteral("21"));
    const QCommandLineOption prefix(QStringLiteral("broadcast-prefix"), QStringLiteral("Prefix length whose directed broadcast (from the base) also reaches every device (default 15)."), QStringLiteral("BITS"), QStringLiteral("15"));
    const QCommandLineOption exitWithParent(QStringLiteral("exit-with-parent"), QStringLiteral("End when the process that started it ends."));
    const QCommandLineOption list(QStringLiteral("list"), QStringLiteral("Print the devices (address, name, type) and exit."));
    const QCommandLineOption noCheck(QStringLiteral("no-address-check"), QStringLiteral("Start even when device addresses are not local."));
    parser.addOptions({devices, base, seed, fault, journal, state, ftpRoot, ftpAlwaysOn, updaterRunning, logsConsumed,
                       restart, configFile, diagFile, logFile, mac, type, bind, devicePort, busPort, ftpPort, prefix, exitWithParent, list,
                       noCheck, firmwareVersion});

    ParseResult result;
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet(help)) {
        result.helpText = parser.helpText();
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.error = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first());
        return result;
    }
    SimulatorConfig config;
    auto fail = [&](const QString &why) {
        result.error = why;
        return result;
    };
    const auto n = number(parser.value(devices), 1, 65536);
    if (!n)
        return fail(QStringLiteral("--devices takes 1..65536"));
    config.devices = int(*n);
    const auto baseIp = textToIp(parser.value(base));
    if (!baseIp || quint64(*baseIp) + quint64(config.devices) > 0xFFFFFFFFull)
        return fail(QStringLiteral("--base takes an IPv4 address with room for every device"));
    config.base = *baseIp;
    const auto s = number(parser.value(seed), 0, std::numeric_limits<qint64>::max());
    if (!s)
        return fail(QStringLiteral("--seed takes a non-negative number"));
    config.options.seed = quint64(*s);
    for (const QString &definition : parser.values(fault)) {
        QString error;
        const std::optional<Fault> parsed = parseFault(definition, &error);
        if (!parsed)
            return fail(error);
        config.faults << *parsed;
    }
    config.journalPath = parser.value(journal);
    config.statePath = parser.value(state);
    config.options.ftpRoot = parser.value(ftpRoot);
    config.options.ftpAlwaysOn = parser.isSet(ftpAlwaysOn);
    config.options.updaterRunning = parser.isSet(updaterRunning);
    config.options.logsConsumed = parser.isSet(logsConsumed);
    const auto restartMs = number(parser.value(restart), 0, 600000);
    if (!restartMs)
        return fail(QStringLiteral("--restart-ms takes 0..600000"));
    config.options.restartMs = int(*restartMs);
    QString error;
    if (!parseFileOptions(parser.values(configFile), config.configurationFiles, &error)
        || !parseFileOptions(parser.values(diagFile), config.diagnosticsFiles, &error)
        || !parseFileOptions(parser.values(logFile), config.logFiles, &error)
        || !parseFileOptions(parser.values(mac), config.macs, &error, "MAC")
        || !parseFileOptions(parser.values(type), config.types, &error, "NAME[@CODE]")
        || !parseFileOptions(parser.values(firmwareVersion), config.firmwareVersions, &error, "VERSION"))
        return fail(error);
    for (const FileOption &option : std::as_const(config.macs)) {
        QString digits = option.path;
        digits.remove(QRegularExpression(QStringLiteral("[:.-]")));
        if (!QRegularExpression(QStringLiteral("^[0-9A-Fa-f]{12}$")).match(digits).hasMatch())
            return fail(QStringLiteral("--mac: \"%1\" is not a MAC address").arg(option.path));
    }
    for (const FileOption &option : std::as_const(config.types)) {
        const qsizetype at = option.path.lastIndexOf(QLatin1Char('@'));
        if (option.path.toUtf8().size() > 255 || (at >= 0 && !number(option.path.mid(at + 1), 0, 0xFFFFFFFF)))
            return fail(QStringLiteral("--type: \"%1\" is not NAME or NAME@CODE (a text of at most 255 bytes, a code such as 0x000B1156)").arg(option.path));
    }
    for (const FileOption &option : std::as_const(config.firmwareVersions))
        if (option.path.toUtf8().size() > 255)
            return fail(QStringLiteral("--firmware-version: \"%1\" is longer than 255 bytes").arg(option.path));
    if (!config.bind.setAddress(parser.value(bind)) || config.bind.protocol() != QAbstractSocket::IPv4Protocol)
        return fail(QStringLiteral("--bind takes an IPv4 address"));
    const auto p1 = number(parser.value(devicePort), 1, 65535);
    const auto p2 = number(parser.value(busPort), 1, 65535);
    const auto p3 = number(parser.value(ftpPort), 1, 65535);
    if (!p1 || !p2 || !p3)
        return fail(QStringLiteral("ports take 1..65535"));
    config.options.devicePort = quint16(*p1);
    config.options.busPort = quint16(*p2);
    config.options.ftpPort = quint16(*p3);
    const auto bits = number(parser.value(prefix), 0, 32);
    if (!bits)
        return fail(QStringLiteral("--broadcast-prefix takes 0..32"));
    config.broadcastPrefix = int(*bits);
    config.exitWithParent = parser.isSet(exitWithParent);
    config.list = parser.isSet(list);
    config.addressCheck = !parser.isSet(noCheck);
    result.config = config;
    return result;
}

bool buildDevices(const SimulatorConfig &config, QList<SimDevice> &devices, QString *error)
{
    devices = generateDevices(config.devices, config.base, config.options.seed);
    for (const FileOption &option : config.configurationFiles) {
        const auto text = readFile(option.path, error);
        if (!text)
            return false;
        for (SimDevice &d : devices)
            if (option.target.matches(d.index, d.ip))
                d.controller.setConfiguration(*text);
    }
    for (const FileOption &option : config.diagnosticsFiles) {
        const auto text = readFile(option.path, error);
        if (!text)
            return false;
        for (SimDevice &d : devices)
            if (option.target.matches(d.index, d.ip))
                d.controller.setDiagnostics(*text);
    }
    for (const FileOption &option : config.macs) {
        QString digits = option.path;
        digits.remove(QRegularExpression(QStringLiteral("[:.-]")));
        for (SimDevice &d : devices)
            if (option.target.matches(d.index, d.ip))
                d.mac = digits.toULongLong(nullptr, 16);
    }
    for (const FileOption &option : config.types) {
        const qsizetype at = option.path.lastIndexOf(QLatin1Char('@'));
        for (SimDevice &d : devices) {
            if (!option.target.matches(d.index, d.ip))
                continue;
            d.typeText = option.path.first(at < 0 ? option.path.size() : at).toUtf8();
            if (at >= 0)
                d.typeCode = quint32(*number(option.path.mid(at + 1), 0, 0xFFFFFFFF));
        }
    }
    for (const FileOption &option : config.firmwareVersions)
        for (SimDevice &d : devices)
            if (option.target.matches(d.index, d.ip))
                d.firmwareVersion = option.path.toUtf8();
    QList<bool> replaced(devices.size(), false);
    for (const FileOption &option : config.logFiles) {
        const auto text = readFile(option.path, error);
        if (!text)
            return false;
        for (SimDevice &d : devices) {
            if (!option.target.matches(d.index, d.ip))
                continue;
            QList<QByteArray> blocks = replaced[d.index] ? d.controller.logBlocks() : QList<QByteArray>();
            blocks << *text;
            d.controller.setLogBlocks(blocks);
            replaced[d.index] = true;
        }
    }
    return true;
}

} // namespace DevSim
