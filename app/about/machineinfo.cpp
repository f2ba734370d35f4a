#include "app/about/machineinfo.h"

#include <thread>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <sys/utsname.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/sysinfo.h>
#endif
#endif

TMachineInfo QueryMachineInfo()
{
    TMachineInfo info;
#ifdef Q_OS_WIN
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    if (GlobalMemoryStatusEx(&memory))
        info.totalPhysicalMemory = memory.ullTotalPhys;
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    info.processorCount = system.dwNumberOfProcessors;
    info.processorType = system.dwProcessorType;
#else
#ifdef Q_OS_LINUX
    struct sysinfo system{};
    if (sysinfo(&system) == 0)
        info.totalPhysicalMemory = quint64(system.totalram) * quint64(system.mem_unit);
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0)
        info.totalPhysicalMemory = quint64(pages) * quint64(pageSize);
#endif
    // Processors that are online, as Windows counts the ones it runs on.
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    info.processorCount = online > 0 ? quint32(online) : std::thread::hardware_concurrency();
    struct utsname name{};
    if (uname(&name) == 0)
        info.processorType = ProcessorTypeFromArchitecture(QString::fromLatin1(name.machine));
#endif
    return info;
}

quint32 ProcessorTypeFromArchitecture(QStringView machine)
{
    const QString m = machine.toString().toLower();
    if (m == u"i386")
        return ProcessorIntel386;
    if (m == u"i486")
        return ProcessorIntel486;
    if (m == u"i586" || m == u"i686" || m == u"x86_64" || m == u"amd64")
        return ProcessorIntelPentium;
    if (m == u"ia64")
        return ProcessorIntelIa64;
    if (m.startsWith(u"mips"))
        return ProcessorMipsR4000;
    if (m.startsWith(u"alpha"))
        return ProcessorAlpha21064;
    if (m.startsWith(u"ppc") || m.startsWith(u"powerpc"))
        return ProcessorPpc601;
    if (m == u"aarch64" || m == u"aarch64_be" || m == u"arm64")
        return ProcessorArm64;
    if (m.startsWith(u"arm"))
        return ProcessorArm;
    return ProcessorUnknown;
}

QString ProcessorName(quint32 type)
{
    switch (type) {
    case ProcessorIntel386:
        return QStringLiteral("Intel 386");
    case ProcessorIntel486:
        return QStringLiteral("Intel 486");
    case ProcessorIntelPentium:
        return QStringLiteral("Intel Pentium");
    case ProcessorMipsR2000:
    case ProcessorMipsR3000:
    case ProcessorMipsR4000:
        return QStringLiteral("Mips R") + QString::number(type);
    case ProcessorAlpha21064:
        return QStringLiteral("Alpha 21064");
    default:
        return QString::number(type);
    }
}
