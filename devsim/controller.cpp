#include "devsim/controller.h"

#include "devsim/crc16.h"
#include "protocol/wire.h"

#include <QtEndian>

#include <algorithm>

namespace DevSim {

namespace {

quint32 address24(QByteArrayView frame, int offset)
{
    return (quint32(quint8(frame[offset])) << 16) | (quint32(quint8(frame[offset + 1])) << 8)
        | quint32(quint8(frame[offset + 2]));
}

void appendAddress24(QByteArray &frame, quint32 address)
{
    frame.append(char((address >> 16) & 0xFF));
    frame.append(char((address >> 8) & 0xFF));
    frame.append(char(address & 0xFF));
}

} // namespace

BusDecodeResult decodeBusRequest(QByteArrayView frame)
{
    BusDecodeResult result;
    if (frame.size() < 5) {
        result.error = QStringLiteral("frame too short");
        return result;
    }
    if (!crcIntact(frame)) {
        result.error = QStringLiteral("bad crc");
        return result;
    }
    BusRequest request;
    request.unit = quint8(frame[0]);
    request.function = quint8(frame[1]);
    const qsizetype size = frame.size();
    switch (request.function) {
    case Wire::Bus::FunctionCommand:
        if (size != 5) {
            result.error = QStringLiteral("command frame of %1 bytes").arg(size);
            return result;
        }
        request.subCommand = quint8(frame[2]);
        break;
    case Wire::Bus::FunctionReadBlock:
    case Wire::Bus::FunctionWriteBlock: {
        if (size < 9) {
            result.error = QStringLiteral("block frame of %1 bytes").arg(size);
            return result;
        }
        if (quint8(frame[2]) != Wire::Bus::BlockMarker) {
            result.error = QStringLiteral("block marker %1").arg(quint8(frame[2]), 2, 16, QLatin1Char('0'));
            return result;
        }
        request.address = address24(frame, 3);
        request.count = quint8(frame[6]);
        if (request.count < 1 || request.count > Wire::Bus::MaxChunk) {
            result.error = QStringLiteral("count %1").arg(request.count);
            return result;
        }
        const qsizetype expected = request.function == Wire::Bus::FunctionReadBlock ? 9 : 9 + request.count;
        if (size != expected) {
            result.error = QStringLiteral("block frame of %1 bytes, %2 expected").arg(size).arg(expected);
            return result;
        }
        if (request.function == Wire::Bus::FunctionWriteBlock)
            request.data = frame.sliced(7, request.count).toByteArray();
        break;
    }
    default:
        result.error = QStringLiteral("function %1").arg(request.function, 2, 16, QLatin1Char('0'));
        return result;
    }
    result.request = request;
    return result;
}

void ControllerMemory::setLogBlocks(const QList<QByteArray> &blocks)
{
    m_logBlocks = blocks;
    m_logCursor = 0;
}

QString ControllerMemory::viewName(View view)
{
    switch (view) {
    case View::Firmware: return QStringLiteral("firmware");
    case View::Configuration: return QStringLiteral("configuration");
    case View::Diagnostics: return QStringLiteral("diagnostics");
    case View::Log: return QStringLiteral("log");
    case View::ConfigurationWrite: return QStringLiteral("configuration-write");
    }
    return {};
}

QByteArray ControllerMemory::transferArea() const
{
    QByteArray text;
    switch (m_view) {
    case View::Configuration: text = m_configuration; break;
    case View::Diagnostics: text = m_diagnostics; break;
    case View::Log:
        if (m_logCursor < m_logBlocks.size())
            text = m_logBlocks.at(m_logCursor);
        break;
    case View::ConfigurationWrite: return m_pendingConfiguration;
    case View::Firmware: return {};
    }
    QByteArray area(4, '\0');
    qToBigEndian<quint32>(quint32(text.size()), area.data());
    return area + text;
}

QByteArray ControllerMemory::read(quint32 address, int count) const
{
    // Unwritten flash reads 0xFF; the transfer area past its text reads 0.
    const bool firmware = m_view == View::Firmware;
    const QByteArray source = firmware ? QByteArray() : transferArea();
    const QByteArray &bytes = firmware ? m_firmware : source;
    QByteArray out(count, firmware ? char(0xFF) : '\0');
    for (int i = 0; i < count; ++i) {
        const quint64 at = quint64(address) + quint64(i);
        if (at < quint64(bytes.size()))
            out[i] = bytes[qsizetype(at)];
    }
    return out;
}

void ControllerMemory::write(quint32 address, const QByteArray &data)
{
    QByteArray *target = nullptr;
    char fill = '\0';
    if (m_view == View::Firmware) {
        target = &m_firmware;
        fill = char(0xFF);
    } else if (m_view == View::ConfigurationWrite) {
        target = &m_pendingConfiguration;
    } else {
        return; // the text views are read-only: the write is acknowledged and has no effect
    }
    const quint64 end = std::min<quint64>(quint64(address) + quint64(data.size()), FirmwareAreaSize);
    if (end <= address)
        return;
    if (quint64(target->size()) < end)
        target->append(qsizetype(end - quint64(target->size())), fill);
    std::copy_n(data.constData(), qsizetype(end - address), target->data() + address);
}

void ControllerMemory::command(quint8 subCommand)
{
    using namespace Wire::Bus;
    switch (subCommand) {
    case SetConfigStart:
        m_view = View::ConfigurationWrite;
        m_pendingConfiguration.clear();
        break;
    case SetConfigStop:
        if (m_view == View::ConfigurationWrite) {
            // The area holds a big-endian length word, then the text: keep what was written
            // of it, NUL bytes and all.
            QByteArray text;
            if (m_pendingConfiguration.size() >= 4) {
                const quint32 length = qFromBigEndian<quint32>(m_pendingConfiguration.constData());
                text = m_pendingConfiguration.mid(4, qsizetype(std::min<quint32>(length, quint32(m_pendingConfiguration.size() - 4))));
            }
            m_configuration = text;
            ++m_configurationWrites;
        }
        m_pendingConfiguration.clear();
        m_view = View::Firmware;
        break;
    case GetConfigStart: m_view = View::Configuration; break;
    case GetDiagnoseStart: m_view = View::Diagnostics; break;
    case GetLogs:
        m_view = View::Log;
        m_logCursor = 0;
        break;
    case NextLogBlock:
        if (m_view == View::Log && m_logCursor < m_logBlocks.size()) {
            if (m_logsConsumed)
                m_logBlocks.removeAt(m_logCursor);
            else
                ++m_logCursor;
        }
        break;
    case EraseLogs:
        m_logBlocks.clear();
        m_logCursor = 0;
        break;
    case EnterUpdateMode:
        ++m_updateModeCount;
        m_updateImage = m_firmware;
        m_view = View::Firmware;
        break;
    case Reset:
    case GetConfigStop:
    case GetLogsStop:
    case GetDiagnoseStop:
        m_pendingConfiguration.clear();
        m_view = View::Firmware;
        break;
    default:
        break; // answered like any command, no effect
    }
}

void ControllerMemory::powerLost()
{
    m_pendingConfiguration.clear();
    m_view = View::Firmware;
}

QByteArray ControllerMemory::execute(const BusRequest &request, std::optional<quint32> corruptAddress)
{
    QByteArray reply;
    reply.append(char(request.unit));
    switch (request.function) {
    case Wire::Bus::FunctionCommand:
        command(request.subCommand);
        reply.append(char(Wire::Bus::FunctionCommand));
        reply.append(char(request.subCommand));
        break;
    case Wire::Bus::FunctionReadBlock: {
        QByteArray data = read(request.address, request.count);
        if (corruptAddress && *corruptAddress >= request.address
            && *corruptAddress < request.address + quint32(request.count)) {
            const qsizetype at = qsizetype(*corruptAddress - request.address);
            data[at] = char(~quint8(data[at]));
        }
        reply.append(char(Wire::Bus::FunctionReadBlock));
        reply.append(char(Wire::Bus::BlockMarker));
        appendAddress24(reply, request.address);
        reply.append(char(request.count));
        reply.append(data);
        break;
    }
    case Wire::Bus::FunctionWriteBlock:
        write(request.address, request.data);
        reply.append(char(Wire::Bus::FunctionWriteBlock));
        reply.append(char(Wire::Bus::BlockMarker));
        appendAddress24(reply, request.address);
        reply.append(char(request.count));
        break;
    default:
        return {};
    }
    return withCrc(reply);
}

} // namespace DevSim
