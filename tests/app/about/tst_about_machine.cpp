// The machine figures: processor names, the mapping of Linux architectures, and the
// figures asked of the operating system compared with what the kernel shows in /proc and /sys.
#include "app/about/machineinfo.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// "0-3,6,8-9" -> 7
int countCpuList(const QByteArray &list)
{
    int count = 0;
    for (const QByteArray &range : list.trimmed().split(',')) {
        const QList<QByteArray> ends = range.split('-');
        count += ends.size() == 2 ? ends[1].toInt() - ends[0].toInt() + 1 : 1;
    }
    return count;
}

} // namespace

class TestMachine : public QObject
{
    Q_OBJECT
private slots:
    void processorName_data()
    {
        QTest::addColumn<quint32>("type");
        QTest::addColumn<QString>("name");
        QTest::newRow("386") << ProcessorIntel386 << QStringLiteral("Intel 386");
        QTest::newRow("486") << ProcessorIntel486 << QStringLiteral("Intel 486");
        QTest::newRow("586") << ProcessorIntelPentium << QStringLiteral("Intel Pentium");
        QTest::newRow("2000") << ProcessorMipsR2000 << QStringLiteral("Mips R2000");
        QTest::newRow("3000") << ProcessorMipsR3000 << QStringLiteral("Mips R3000");
        QTest::newRow("4000") << ProcessorMipsR4000 << QStringLiteral("Mips R4000");
        QTest::newRow("21064") << ProcessorAlpha21064 << QStringLiteral("Alpha 21064");
        QTest::newRow("8664 is only a number") << 8664u << QStringLiteral("8664");
        QTest::newRow("ia64 is only a number") << ProcessorIntelIa64 << QStringLiteral("2200");
        QTest::newRow("arm64 is only a number") << ProcessorArm64 << QStringLiteral("43620");
        QTest::newRow("unknown") << ProcessorUnknown << QStringLiteral("0");
        QTest::newRow("largest") << 0xffffffffu << QStringLiteral("4294967295");
    }
    void processorName()
    {
        QFETCH(quint32, type);
        QFETCH(QString, name);
        QCOMPARE(ProcessorName(type), name);
    }

    void architecture_data()
    {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<quint32>("type");
        QTest::newRow("x86_64") << QStringLiteral("x86_64") << ProcessorIntelPentium;
        QTest::newRow("amd64") << QStringLiteral("amd64") << ProcessorIntelPentium;
        QTest::newRow("i686") << QStringLiteral("i686") << ProcessorIntelPentium;
        QTest::newRow("i586") << QStringLiteral("i586") << ProcessorIntelPentium;
        QTest::newRow("i486") << QStringLiteral("i486") << ProcessorIntel486;
        QTest::newRow("i386") << QStringLiteral("i386") << ProcessorIntel386;
        QTest::newRow("upper case") << QStringLiteral("X86_64") << ProcessorIntelPentium;
        QTest::newRow("ia64") << QStringLiteral("ia64") << ProcessorIntelIa64;
        QTest::newRow("mips") << QStringLiteral("mips") << ProcessorMipsR4000;
        QTest::newRow("mips64") << QStringLiteral("mips64") << ProcessorMipsR4000;
        QTest::newRow("alpha") << QStringLiteral("alpha") << ProcessorAlpha21064;
        QTest::newRow("ppc64le") << QStringLiteral("ppc64le") << ProcessorPpc601;
        QTest::newRow("aarch64") << QStringLiteral("aarch64") << ProcessorArm64;
        QTest::newRow("armv7l") << QStringLiteral("armv7l") << ProcessorArm;
        QTest::newRow("armv8l (32-bit)") << QStringLiteral("armv8l") << ProcessorArm;
        QTest::newRow("riscv64") << QStringLiteral("riscv64") << ProcessorUnknown;
        QTest::newRow("x86 without number") << QStringLiteral("x86") << ProcessorUnknown;
        QTest::newRow("empty") << QString() << ProcessorUnknown;
    }
    void architecture()
    {
        QFETCH(QString, machine);
        QFETCH(quint32, type);
        QCOMPARE(ProcessorTypeFromArchitecture(machine), type);
    }

    void figuresOfThisMachine()
    {
#ifndef Q_OS_LINUX
        QSKIP("compared with Linux's /proc and /sys");
#else
        const TMachineInfo info = QueryMachineInfo();

        const QRegularExpressionMatch total =
            QRegularExpression(QStringLiteral("^MemTotal:\\s+(\\d+) kB$"), QRegularExpression::MultilineOption)
                .match(QString::fromLatin1(readAll(QStringLiteral("/proc/meminfo"))));
        QVERIFY(total.hasMatch());
        QCOMPARE(info.totalPhysicalMemory, total.captured(1).toULongLong() * 1024);

        const QByteArray online = readAll(QStringLiteral("/sys/devices/system/cpu/online"));
        QVERIFY(!online.isEmpty());
        QCOMPARE(info.processorCount, quint32(countCpuList(online)));

        const QByteArray arch = readAll(QStringLiteral("/proc/sys/kernel/arch")).trimmed();
        if (arch.isEmpty())
            QSKIP("this kernel does not show its architecture in /proc/sys/kernel/arch");
        QCOMPARE(info.processorType, ProcessorTypeFromArchitecture(QString::fromLatin1(arch)));
#endif
    }
};

QTEST_GUILESS_MAIN(TestMachine)
#include "tst_about_machine.moc"
