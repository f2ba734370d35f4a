#pragma once
// The command line of tarvino-devsim.

#include "devsim/faults.h"
#include "devsim/simulator.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

namespace DevSim {

struct FileOption
{
    DeviceTarget target;
    QString path;
};

struct SimulatorConfig
{
    int devices = 12;
    quint32 base = 0xC6120101; // 198.18.1.1
    int broadcastPrefix = 15;  // the directed broadcast of this prefix counts as a broadcast
    QList<Fault> faults;
    SimulatorOptions options;
    QString journalPath;
    QString statePath;
    QHostAddress bind = QHostAddress::AnyIPv4;
    QList<FileOption> configurationFiles;
    QList<FileOption> diagnosticsFiles;
    QList<FileOption> logFiles;
    QList<FileOption> macs; // --mac TARGET=MAC: the path holds the MAC address's text
    QList<FileOption> types; // --type TARGET=NAME[@CODE]: the path holds the type's text
    QList<FileOption> firmwareVersions; // --firmware-version TARGET=VERSION: the path holds the version
    bool exitWithParent = false;
    bool list = false;
    bool addressCheck = true;
};

struct ParseResult
{
    std::optional<SimulatorConfig> config;
    QString error;
    QString helpText; // set when --help was asked: print it and exit
};

// arguments[0] is the program name.
ParseResult parseCommandLine(const QStringList &arguments);

// The devices of a configuration, with the texts loaded from the files it names.
// False with an error when a file cannot be read.
bool buildDevices(const SimulatorConfig &config, QList<SimDevice> &devices, QString *error);

} // namespace DevSim
