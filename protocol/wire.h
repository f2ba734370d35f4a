#pragma once
// Constants of the device datagram protocol, shared by the program and the simulator.

#include <QtEndian>
#include <QtGlobal>

#include <array>

namespace Wire {

constexpr quint16 DevicePort = 52389; // UDP and TCP, locally and remotely (0xCCA5)
constexpr quint16 BusPort = 52390;    // controller bus, UDP
constexpr quint16 FtpPort = 21;

constexpr int HeaderSize = 25;
constexpr int CommandReplyMinSize = 27; // header plus the acknowledgement code
constexpr int EmptyRequestSize = 27;    // header plus the FF FF terminator

// Header offsets.
constexpr int DestinationOffset = 0;
constexpr int SourceOffset = 8;
constexpr int VersionOffset = 16;
constexpr int ProtocolCodeOffset = 18;
constexpr int StatusOffset = 20;
constexpr int CommandOffset = 24;
constexpr int ParametersOffset = 25;

constexpr quint16 FormatVersion = 0x0001;
constexpr quint16 DefaultProtocolCode = 0x1156;

// Address record types (bytes 0..1 of a record).
constexpr quint16 AddressTypeHardware = 1;
constexpr quint16 AddressTypeIPv4 = 2;

constexpr quint16 ListTerminator = 0xFFFF;
constexpr int MaxParameterId = 4095;

enum class Command : quint8 {
    Discover = 1,
    StartFtpServer = 3,
    StopFtpServer = 4,
    StartUpdater = 5,
    StopUpdater = 6,
    StartDaemon = 7,
    StopDaemon = 8,
    SetDropBear = 9,
    SystemUpgrade = 11,
};

struct CommandInfo
{
    Command command;
    const char *name;
    int waitCount;       // 100 ms units the engine waits for the first reply
    quint16 ackCode;     // bytes 25..26 of an acknowledgement; 0 for Discover (decoded, not acknowledged)
};

inline constexpr std::array<CommandInfo, 9> Commands{{
    {Command::Discover, "Discover", 0, 0},
    {Command::StartFtpServer, "StartFtpServer", 50, 0xFFFE},
    {Command::StopFtpServer, "StopFtpServer", 50, 0xFFFE}, // same code as command 3, on purpose
    {Command::StartUpdater, "StartUpdater", 50, 0xFFFD},
    {Command::StopUpdater, "StopUpdater", 50, 0xFFFC},
    {Command::StartDaemon, "StartDaemon", 100, 0xFFFB},
    {Command::StopDaemon, "StopDaemon", 100, 0xFFFA},
    {Command::SetDropBear, "SetDropBear", 50, 0xFFF9},
    {Command::SystemUpgrade, "SystemUpgrade", 50, 0xFFF7},
}};

// Nullptr for a code the program never sends (0, 2, 10 and anything above 11).
constexpr const CommandInfo *findCommand(quint8 code)
{
    for (const CommandInfo &info : Commands)
        if (static_cast<quint8>(info.command) == code)
            return &info;
    return nullptr;
}

constexpr const CommandInfo &commandInfo(Command command)
{
    return *findCommand(static_cast<quint8>(command));
}

// The parameters a discovery asks for, in the order they are requested.
inline constexpr std::array<quint16, 14> DiscoveryIds{1, 2, 3, 4, 5, 7, 6, 13, 12, 14, 15, 16, 17, 18};

// Parameter ids as the program uses them.
namespace Param {
constexpr quint16 SubnetMask = 1;
constexpr quint16 IpAddress = 2;
constexpr quint16 Gateway = 3;
constexpr quint16 Word4 = 4;
constexpr quint16 TypeText = 5;
constexpr quint16 NetworkFlags = 6; // bit 4 set = DHCP on
constexpr quint16 Name = 7;
constexpr quint16 HardwareAddress = 10;
constexpr quint16 HardwareVersion = 12;
constexpr quint16 TypeCode = 13;
constexpr quint16 Dns1 = 14;
constexpr quint16 Dns2 = 15;
constexpr quint16 BootstrapVersion = 16;
constexpr quint16 KernelVersion = 17;
constexpr quint16 FirmwareVersion = 18;
} // namespace Param

constexpr quint8 DhcpFlag = 0x10;
constexpr qint64 BuiltInTypeCode = 0x000B1156;

// Controller bus (UDP 52390): function codes and sub-commands.
namespace Bus {
constexpr quint8 UnitAddress = 0xFF;
constexpr quint8 FunctionCommand = 0x64;
constexpr quint8 FunctionReadBlock = 0x6E;
constexpr quint8 FunctionWriteBlock = 0x6F;
constexpr quint8 BlockMarker = 0x06; // the byte after a block function code
constexpr int MaxChunk = 128;
constexpr quint32 AddressSpace = 1u << 24;

constexpr quint8 Reset = 0x00;
constexpr quint8 SetConfigStart = 0xD0;
constexpr quint8 SetConfigStop = 0xD1;
constexpr quint8 GetConfigStart = 0xD2;
constexpr quint8 GetConfigStop = 0xD3;
constexpr quint8 GetLogs = 0xD4;
constexpr quint8 GetLogsStop = 0xD5;
constexpr quint8 NextLogBlock = 0xD6;
constexpr quint8 EraseLogs = 0xD7;
constexpr quint8 GetDiagnoseStart = 0xD8;
constexpr quint8 GetDiagnoseStop = 0xD9;
constexpr quint8 EnterUpdateMode = 0xFE;
} // namespace Bus

// FTP login of the communication board.
constexpr const char *FtpUser = "ftp";
constexpr const char *FtpPassword = "morvane40213";

} // namespace Wire

// The wire's numbers are big-endian; these turn one the other way round.
inline quint32 ByteSwap32(quint32 value)
{
    return qbswap(value);
}

inline quint64 ByteSwap64(quint64 value)
{
    return qbswap(value);
}
