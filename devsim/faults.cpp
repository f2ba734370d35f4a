#include "devsim/faults.h"

#include "devsim/simdevice.h"
#include "protocol/wire.h"

#include <algorithm>

namespace DevSim {

namespace {

std::optional<qint64> parseNumber(QStringView text)
{
    bool ok = false;
    qint64 value = 0;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        value = text.sliced(2).toLongLong(&ok, 16);
    else
        value = text.toLongLong(&ok, 10);
    if (!ok || value < 0)
        return std::nullopt;
    return value;
}

// Which services a kind of fault can touch at all.
bool kindApplies(FaultKind kind, const RequestContext &request)
{
    switch (kind) {
    case FaultKind::Silent: return true;
    case FaultKind::Delay:
    case FaultKind::Split:
    case FaultKind::Duplicate: return request.service != Service::Ftp;
    case FaultKind::Loss: return request.service != Service::Ftp && request.transport == Transport::Udp;
    case FaultKind::WrongAck: return request.service == Service::Device;
    case FaultKind::Stray: return request.service == Service::Device && request.transport == Transport::Udp;
    case FaultKind::BadCrc:
    case FaultKind::CorruptReadback: return request.service == Service::Bus;
    case FaultKind::Refuse: return request.transport == Transport::Tcp;
    case FaultKind::FtpUser230:
    case FaultKind::Ftp426:
    case FaultKind::FtpSlow: return request.service == Service::Ftp;
    case FaultKind::FtpReset:
    case FaultKind::FtpStall: return request.service == Service::Ftp;
    case FaultKind::ActSilent:
    case FaultKind::Blackout: return request.service != Service::Ftp;
    case FaultKind::Swap: return request.service != Service::Ftp && request.transport == Transport::Udp;
    case FaultKind::PowerCut:
        return request.service == Service::Bus && request.busFunction == Wire::Bus::FunctionWriteBlock;
    }
    return false;
}

// The faults decided when an FTP or TCP connection opens, not per request.
bool isConnectionFault(FaultKind kind, Service service)
{
    if (kind == FaultKind::Refuse)
        return true;
    return service == Service::Ftp
        && (kind == FaultKind::Silent || kind == FaultKind::FtpUser230 || kind == FaultKind::Ftp426
            || kind == FaultKind::FtpSlow || kind == FaultKind::FtpReset || kind == FaultKind::FtpStall);
}

bool scopeMatches(const FaultScope &scope, const RequestContext &request)
{
    if (scope.service && *scope.service != request.service)
        return false;
    if (scope.transport && *scope.transport != request.transport)
        return false;
    if (scope.command && (request.service != Service::Device || *scope.command != request.command))
        return false;
    if (scope.busFunction && (request.service != Service::Bus || *scope.busFunction != request.busFunction))
        return false;
    if (scope.busSubCommand && (request.service != Service::Bus || *scope.busSubCommand != request.busSubCommand))
        return false;
    return true;
}

} // namespace

std::optional<DeviceTarget> parseTarget(QStringView text)
{
    DeviceTarget target;
    if (text == QLatin1String("all")) {
        target.allDevices = true;
    } else if (text.contains(QLatin1Char('.'))) {
        const qsizetype dash = text.indexOf(QLatin1Char('-'));
        const auto first = textToIp(dash < 0 ? text : text.first(dash));
        const auto last = dash < 0 ? first : textToIp(text.sliced(dash + 1));
        if (!first || !last || *last < *first)
            return std::nullopt;
        target.first = *first;
        target.last = *last;
    } else {
        const auto index = parseNumber(text.startsWith(QLatin1Char('#')) ? text.sliced(1) : text);
        if (!index || *index > 1'000'000)
            return std::nullopt;
        target.index = int(*index);
    }
    return target;
}

bool DeviceTarget::matches(int deviceIndex, quint32 ip) const
{
    if (allDevices)
        return true;
    if (index)
        return *index == deviceIndex;
    return ip >= first && ip <= last;
}

QString Fault::kindName() const
{
    switch (kind) {
    case FaultKind::Silent: return QStringLiteral("silent");
    case FaultKind::Delay: return QStringLiteral("delay");
    case FaultKind::WrongAck: return QStringLiteral("wrong-ack");
    case FaultKind::BadCrc: return QStringLiteral("bad-crc");
    case FaultKind::Split: return QStringLiteral("split");
    case FaultKind::Duplicate: return QStringLiteral("duplicate");
    case FaultKind::Stray: return QStringLiteral("stray");
    case FaultKind::Loss: return QStringLiteral("loss");
    case FaultKind::CorruptReadback: return QStringLiteral("corrupt-readback");
    case FaultKind::Refuse: return QStringLiteral("refuse");
    case FaultKind::FtpUser230: return QStringLiteral("ftp-user-230");
    case FaultKind::Ftp426: return QStringLiteral("ftp-426");
    case FaultKind::FtpSlow: return QStringLiteral("ftp-slow");
    case FaultKind::ActSilent: return QStringLiteral("act-silent");
    case FaultKind::Swap: return QStringLiteral("swap");
    case FaultKind::Blackout: return QStringLiteral("blackout");
    case FaultKind::FtpReset: return QStringLiteral("ftp-reset");
    case FaultKind::FtpStall: return QStringLiteral("ftp-stall");
    case FaultKind::PowerCut: return QStringLiteral("power-cut");
    }
    return {};
}

std::optional<Fault> parseFault(QStringView definition, QString *error)
{
    auto fail = [&](const QString &why) -> std::optional<Fault> {
        if (error)
            *error = QStringLiteral("fault \"%1\": %2").arg(definition.toString(), why);
        return std::nullopt;
    };
    Fault fault;
    fault.text = definition.toString();
    const qsizetype colon = definition.indexOf(QLatin1Char(':'));
    if (colon <= 0)
        return fail(QStringLiteral("expected TARGET:KIND"));

    const std::optional<DeviceTarget> target = parseTarget(definition.first(colon));
    if (!target)
        return fail(QStringLiteral("bad target (all, an address, A-B or a device index)"));
    fault.target = *target;

    const QList<QStringView> parts = definition.sliced(colon + 1).split(QLatin1Char('@'));
    const QStringView kindPart = parts.first();
    const qsizetype equals = kindPart.indexOf(QLatin1Char('='));
    const QStringView kind = equals < 0 ? kindPart : kindPart.first(equals);
    const std::optional<QStringView> value = equals < 0 ? std::nullopt : std::optional(kindPart.sliced(equals + 1));
    auto needValue = [&]() { return value && !value->isEmpty(); };

    if (kind == QLatin1String("silent")) {
        fault.kind = FaultKind::Silent;
    } else if (kind == QLatin1String("ftp-silent")) {
        fault.kind = FaultKind::Silent;
        fault.scope.service = Service::Ftp;
    } else if (kind == QLatin1String("delay")) {
        fault.kind = FaultKind::Delay;
        const auto ms = needValue() ? parseNumber(*value) : std::nullopt;
        if (!ms || *ms > 600'000)
            return fail(QStringLiteral("delay needs milliseconds (0..600000)"));
        fault.delayMs = int(*ms);
    } else if (kind == QLatin1String("wrong-ack")) {
        fault.kind = FaultKind::WrongAck;
        if (value) {
            const auto command = parseNumber(*value);
            if (!command || *command > 255)
                return fail(QStringLiteral("wrong-ack takes a command code"));
            fault.scope.command = int(*command);
        }
    } else if (kind == QLatin1String("bad-crc")) {
        fault.kind = FaultKind::BadCrc;
    } else if (kind == QLatin1String("split")) {
        fault.kind = FaultKind::Split;
    } else if (kind == QLatin1String("duplicate")) {
        fault.kind = FaultKind::Duplicate;
    } else if (kind == QLatin1String("stray")) {
        fault.kind = FaultKind::Stray;
    } else if (kind == QLatin1String("loss")) {
        fault.kind = FaultKind::Loss;
        bool ok = false;
        fault.probability = needValue() ? value->toDouble(&ok) : 0;
        if (!ok || fault.probability < 0 || fault.probability > 1)
            return fail(QStringLiteral("loss needs a probability 0..1"));
    } else if (kind == QLatin1String("corrupt-readback")) {
        fault.kind = FaultKind::CorruptReadback;
        const auto address = needValue() ? parseNumber(*value) : std::nullopt;
        if (!address || *address > 0xFFFFFF)
            return fail(QStringLiteral("corrupt-readback needs a 24-bit address"));
        fault.address = quint32(*address);
    } else if (kind == QLatin1String("refuse")) {
        fault.kind = FaultKind::Refuse;
    } else if (kind == QLatin1String("ftp-user-230")) {
        fault.kind = FaultKind::FtpUser230;
    } else if (kind == QLatin1String("ftp-426")) {
        fault.kind = FaultKind::Ftp426;
    } else if (kind == QLatin1String("ftp-slow")) {
        fault.kind = FaultKind::FtpSlow;
        const auto rate = needValue() ? parseNumber(*value) : std::nullopt;
        if (!rate || *rate < 1 || *rate > 1'000'000'000)
            return fail(QStringLiteral("ftp-slow needs bytes per second (1..1000000000)"));
        fault.bytesPerSecond = int(*rate);
    } else if (kind == QLatin1String("act-silent")) {
        fault.kind = FaultKind::ActSilent;
    } else if (kind == QLatin1String("swap")) {
        fault.kind = FaultKind::Swap;
    } else if (kind == QLatin1String("blackout")) {
        fault.kind = FaultKind::Blackout;
        const auto ms = needValue() ? parseNumber(*value) : std::nullopt;
        if (!ms || *ms < 1 || *ms > 600'000)
            return fail(QStringLiteral("blackout needs milliseconds (1..600000)"));
        fault.amount = *ms;
    } else if (kind == QLatin1String("ftp-reset") || kind == QLatin1String("ftp-stall")
               || kind == QLatin1String("power-cut")) {
        fault.kind = kind == QLatin1String("ftp-reset") ? FaultKind::FtpReset
                   : kind == QLatin1String("ftp-stall") ? FaultKind::FtpStall
                                                         : FaultKind::PowerCut;
        const auto bytes = needValue() ? parseNumber(*value) : std::nullopt;
        if (!bytes || *bytes > 0xFFFFFFFF)
            return fail(QStringLiteral("%1 needs a number of bytes").arg(kind.toString()));
        fault.amount = *bytes;
    } else {
        return fail(QStringLiteral("unknown kind \"%1\"").arg(kind.toString()));
    }
    if (value && (fault.kind == FaultKind::Silent || fault.kind == FaultKind::BadCrc || fault.kind == FaultKind::Split
                  || fault.kind == FaultKind::Duplicate || fault.kind == FaultKind::Stray
                  || fault.kind == FaultKind::Refuse || fault.kind == FaultKind::ActSilent
                  || fault.kind == FaultKind::Swap
                  || fault.kind == FaultKind::FtpUser230 || fault.kind == FaultKind::Ftp426))
        return fail(QStringLiteral("%1 takes no value").arg(kind.toString()));

    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QStringView scope = parts.at(i);
        const qsizetype eq = scope.indexOf(QLatin1Char('='));
        const QStringView key = eq < 0 ? scope : scope.first(eq);
        // -1 when the scope carries no number (or a bad one).
        const qint64 number = eq < 0 ? -1 : parseNumber(scope.sliced(eq + 1)).value_or(-1);
        if (scope == QLatin1String("52389"))
            fault.scope.service = Service::Device;
        else if (scope == QLatin1String("52390"))
            fault.scope.service = Service::Bus;
        else if (scope == QLatin1String("21"))
            fault.scope.service = Service::Ftp;
        else if (scope == QLatin1String("udp"))
            fault.scope.transport = Transport::Udp;
        else if (scope == QLatin1String("tcp"))
            fault.scope.transport = Transport::Tcp;
        else if (key == QLatin1String("cmd") && number >= 0 && number <= 255)
            fault.scope.command = int(number);
        else if (key == QLatin1String("fn") && number >= 0 && number <= 255)
            fault.scope.busFunction = int(number);
        else if (key == QLatin1String("sub") && number >= 0 && number <= 255)
            fault.scope.busSubCommand = int(number);
        else if (key == QLatin1String("from") && number >= 1 && number <= 1'000'000'000)
            fault.scope.from = int(number);
        else if (key == QLatin1String("count") && number >= 1 && number <= 1'000'000'000)
            fault.scope.count = int(number);
        else
            return fail(QStringLiteral("bad scope \"%1\"").arg(scope.toString()));
    }
    return fault;
}

DeviceFaults::DeviceFaults(QList<Fault> faults, quint64 seed)
    : m_faults(std::move(faults))
    , m_matched(m_faults.size(), 0)
    , m_written(m_faults.size(), 0)
    , m_spent(m_faults.size(), false)
    , m_rng(seed)
{
}

FaultEffects DeviceFaults::effectsFor(const RequestContext &request, bool connection)
{
    FaultEffects effects;
    for (qsizetype i = 0; i < m_faults.size(); ++i) {
        const Fault &fault = m_faults.at(i);
        if (isConnectionFault(fault.kind, request.service) != connection)
            continue;
        if (!kindApplies(fault.kind, request) || !scopeMatches(fault.scope, request))
            continue;
        const int ordinal = ++m_matched[i];
        if (ordinal < fault.scope.from || (fault.scope.count > 0 && ordinal >= fault.scope.from + fault.scope.count))
            continue;
        switch (fault.kind) {
        case FaultKind::Silent: effects.silent = true; break;
        case FaultKind::Delay: effects.delayMs += fault.delayMs; break;
        case FaultKind::WrongAck: effects.wrongAck = true; break;
        case FaultKind::BadCrc: effects.badCrc = true; break;
        case FaultKind::Split: effects.split = true; break;
        case FaultKind::Duplicate: effects.duplicate = true; break;
        case FaultKind::Stray: effects.stray = true; break;
        case FaultKind::Loss:
            // One draw per request, whether or not it is lost, so the pattern follows the seed.
            if (std::uniform_real_distribution<double>(0.0, 1.0)(m_rng) >= fault.probability)
                continue;
            effects.lost = true;
            break;
        case FaultKind::CorruptReadback: effects.corruptAddress = fault.address; break;
        case FaultKind::Refuse: effects.refuse = true; break;
        case FaultKind::FtpUser230: effects.ftpUser230 = true; break;
        case FaultKind::Ftp426: effects.ftp426 = true; break;
        case FaultKind::FtpSlow:
            effects.ftpBytesPerSecond = effects.ftpBytesPerSecond == 0 ? fault.bytesPerSecond
                                                                       : std::min(effects.ftpBytesPerSecond, fault.bytesPerSecond);
            break;
        case FaultKind::ActSilent: effects.actSilent = true; break;
        case FaultKind::Swap: effects.swap = true; break;
        case FaultKind::Blackout: effects.blackoutMs = std::max(effects.blackoutMs, int(fault.amount)); break;
        case FaultKind::FtpReset: effects.ftpResetAfter = fault.amount; break;
        case FaultKind::FtpStall: effects.ftpStallAfter = fault.amount; break;
        case FaultKind::PowerCut:
            if (m_spent[i])
                continue;
            if (m_written[i] + request.writeBytes <= fault.amount) {
                m_written[i] += request.writeBytes;
                continue;
            }
            effects.powerCutAfter = int(fault.amount - m_written[i]);
            m_spent[i] = true;
            break;
        }
        effects.applied << fault.kindName();
    }
    return effects;
}

QString faultHelp()
{
    return QStringLiteral(
        "Faults (--fault TARGET:KIND[=VALUE][@SCOPE]..., repeatable):\n"
        "  TARGET   all | IPv4 address | A-B (address range) | N or #N (device index from 0)\n"
        "  KIND     silent            requests are dropped unseen: no answer, no state change\n"
        "                             (on port 21: the connection is accepted, nothing is sent)\n"
        "           delay=MS          answers leave MS milliseconds late\n"
        "           wrong-ack[=CMD]   command replies carry the acknowledgement code XOR 1\n"
        "                             (only for command CMD when given); discovery replies\n"
        "                             carry command byte 2; the command is still carried out\n"
        "           bad-crc           bus replies carry a wrong CRC\n"
        "           split             replies go out in two datagrams (TCP: two writes 50 ms apart)\n"
        "           duplicate         replies go out twice\n"
        "           stray             (UDP 52389) the next device answers the same request\n"
        "                             too, 20 ms ahead, from its own address\n"
        "           loss=P            each UDP request is lost with probability P (0..1), drawn\n"
        "                             from the seed, per device\n"
        "           corrupt-readback=ADDRESS  bus reads covering ADDRESS return that byte inverted\n"
        "           ftp-silent        the FTP server accepts connections and never answers\n"
        "           refuse            TCP connections (52389 and 21) are reset at once\n"
        "           ftp-user-230      (variant) the FTP server logs in at USER, no password asked\n"
        "           ftp-426           the FTP server ends each transfer with 426, then 226\n"
        "           ftp-slow=BYTES_PER_S  the FTP server takes upload data at that rate\n"
        "           act-silent        requests are carried out (state changes, bus writes) but\n"
        "                             their answer never leaves\n"
        "           swap              (UDP) the answer is held back and leaves just after the\n"
        "                             device's next answer on that port: two replies swapped\n"
        "           blackout=MS       from the matching request on (it included) every service\n"
        "                             of the device is silent for MS milliseconds, then back\n"
        "                             (on port 21: connections accepted, nothing answered)\n"
        "           ftp-reset=BYTES   the data connection of a STOR is reset after BYTES bytes;\n"
        "                             the control connection then answers 426\n"
        "           ftp-stall=BYTES   the FTP server stops reading a STOR after BYTES bytes and\n"
        "                             sends nothing more on that connection\n"
        "           power-cut=BYTES   after BYTES bytes written over the bus (function 0x6F,\n"
        "                             counted in the scope's window; once) the device loses power:\n"
        "                             the write in flight lands only up to that byte, every\n"
        "                             service is silent for 2 s, then the device is back with\n"
        "                             its updater running, daemon and FTP server off, and the\n"
        "                             firmware area as far as it was written\n"
        "  SCOPE    52389 | 52390 | 21  only that service      udp | tcp  only that transport\n"
        "           cmd=N  only datagram command N              fn=N | sub=N  only bus function /\n"
        "                                                       sub-command N (0x.. accepted)\n"
        "           from=N  from the Nth matching request on    count=N  for N matching requests\n"
        "  Examples: 198.18.1.5:silent   all:loss=0.2   198.18.1.6:delay=1000@udp\n"
        "            198.18.1.7:silent@52390   3:wrong-ack=5   198.18.1.9:silent@fn=0x6E@from=12\n"
        "            0:act-silent@cmd=6@count=1   0:blackout=1500@52389@cmd=8   0:power-cut=4096\n");
}

} // namespace DevSim
