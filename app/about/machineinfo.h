#pragma once
// The machine figures of the about box: memory, processor count and processor type.

#include <QString>
#include <QStringView>
#include <QtGlobal>

// Processor types as the Windows system reports them (its PROCESSOR_* numbers); the
// about box names them with ProcessorName.
inline constexpr quint32 ProcessorIntel386 = 386;
inline constexpr quint32 ProcessorIntel486 = 486;
inline constexpr quint32 ProcessorIntelPentium = 586;
inline constexpr quint32 ProcessorMipsR2000 = 2000;
inline constexpr quint32 ProcessorMipsR3000 = 3000;
inline constexpr quint32 ProcessorMipsR4000 = 4000;
inline constexpr quint32 ProcessorAlpha21064 = 21064;
inline constexpr quint32 ProcessorPpc601 = 601;
inline constexpr quint32 ProcessorIntelIa64 = 2200;
// ARM has no processor-type number on Windows; its machine numbers in Windows
// executables (IMAGE_FILE_MACHINE_ARM, IMAGE_FILE_MACHINE_ARM64) stand in for it.
inline constexpr quint32 ProcessorArm = 0x01c0;
inline constexpr quint32 ProcessorArm64 = 0xaa64;
// An architecture this table does not know.
inline constexpr quint32 ProcessorUnknown = 0;

struct TMachineInfo
{
    quint64 totalPhysicalMemory = 0; // bytes
    quint32 processorCount = 0;
    quint32 processorType = ProcessorUnknown;
};

// Asks the operating system.
TMachineInfo QueryMachineInfo();

// The processor type for a Linux machine name as uname() gives it. Every x86 from the
// i586 up (x86_64 included) reports a Pentium, as Windows does to a 32-bit program;
// i386 and i486 report themselves; other families map to their Windows number above.
quint32 ProcessorTypeFromArchitecture(QStringView machine);

// "Intel 386", "Intel 486", "Intel Pentium", "Mips R2000"/"R3000"/"R4000",
// "Alpha 21064"; any other type as its decimal number.
QString ProcessorName(quint32 type);
