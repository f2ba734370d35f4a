#pragma once
// What the lab benchmarks share: the simulator and the engine brought up, and a random image.

#include "labsim.h"
#include "protocol/datagramengine.h"

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <QStringList>

#include <cstdio>

namespace BenchLab {

// Starts the simulator with these devices and arguments, then checks that the engine holds its
// port; false after saying why on standard error.
inline bool start(LabSimulator &simulator, int devices, const QStringList &arguments, const TDatagramEngine &engine)
{
    if (!simulator.start(devices, arguments)) {
        std::fprintf(stderr, "cannot start the simulator: %s\n", qPrintable(simulator.errorString()));
        return false;
    }
    if (engine.boundAddresses().isEmpty()) {
        std::fprintf(stderr, "the engine's port is held elsewhere: %s\n", qPrintable(engine.bindError()));
        return false;
    }
    return true;
}

inline QByteArray randomImage(qsizetype size, quint32 seed)
{
    QByteArray image(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char &c : image)
        c = static_cast<char>(random.bounded(256));
    return image;
}

// The process's resident memory (VmRSS) in KiB; 0 when it cannot be read.
inline long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

} // namespace BenchLab
