// Start-to-window time and peak memory of the program against minimal Qt Widgets programs
// started the same way (offscreen), in the same run:
//   - startup_minimal: an empty main window (draws no text, so never loads a font);
//   - startup_hello:   Qt's hello world, a window showing one text.
//
//   lab/lab pc build/bench/bench_startup [runs] [program...]
//
// The programs measured against the yardsticks are startup_tarvino unless others are named
// (paths, or names in this directory): handy for weighing a change against the build before it.
//
// Each program is started `runs` times (default 20), the programs taking turns so that a
// change in the machine's load touches all of them alike. Each program tells, through a
// pipe, when its first window has been painted, then quits. Printed, as medians: the time
// to the window (fork to that word), the time to the end (fork to exit, the program's
// clean-up included) and the CPU time (user + system, the program's other threads
// included), then the largest peak resident memory, and the program's ratios to each
// yardstick. The best time to the window is shown too: the least disturbed by other work.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include "firstpaint.h"

#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {
struct Samples
{
    Samples(const QString &program) : name(program) {}
    QString name;
    QList<double> windowMs;
    QList<double> wallMs;
    QList<double> cpuMs;
    long peakKiB = 0;
};

double median(QList<double> values)
{
    if (values.isEmpty())
        return qQNaN();
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double best(const QList<double> &values)
{
    return values.isEmpty() ? qQNaN() : *std::min_element(values.begin(), values.end());
}

double milliseconds(const timeval &time)
{
    return time.tv_sec * 1e3 + time.tv_usec / 1e3;
}

// fork/exec so that the child's own CPU time and peak memory can be read from wait4.
void runOnce(const QString &directory, Samples &samples)
{
    const QByteArray path =
        (samples.name.contains(u'/') ? samples.name : directory + u'/' + samples.name).toLocal8Bit();
    int painted[2];
    if (pipe(painted) != 0) {
        perror("pipe");
        exit(1);
    }
    QElapsedTimer timer;
    timer.start();
    const pid_t child = fork();
    if (child == 0) {
        close(painted[0]);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv(PaintedFdVariable, QByteArray::number(painted[1]).constData(), 1);
        execl(path.constData(), path.constData(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(painted[1]);
    char word = 0;
    const bool told = read(painted[0], &word, 1) == 1; // end of file: it ended without a window
    const double windowMs = timer.nsecsElapsed() / 1e6;
    close(painted[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    samples.wallMs.append(timer.nsecsElapsed() / 1e6);
    if (told)
        samples.windowMs.append(windowMs);
    else
        fprintf(stderr, "%s never told of a painted window\n", path.constData());
    samples.cpuMs.append(milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fprintf(stderr, "%s ended with status %d\n", path.constData(), status);
    samples.peakKiB = std::max(samples.peakKiB, usage.ru_maxrss);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    const QString directory = QCoreApplication::applicationDirPath();
    QList<Samples> programs = {{QStringLiteral("startup_minimal")}, {QStringLiteral("startup_hello")}};
    const qsizetype yardsticks = programs.size();
    for (int index = 2; index < argc; ++index)
        programs.append(Samples(QString::fromLocal8Bit(argv[index])));
    if (programs.size() == yardsticks)
        programs.append(Samples(QStringLiteral("startup_tarvino")));
    for (int run = 0; run < runs; ++run)
        for (Samples &program : programs)
            runOnce(directory, program);

    QTextStream out(stdout);
    out << "runs " << runs << "\n";
    for (const Samples &program : programs)
        out << QStringLiteral("%1 window %2 ms (best %3)  end %4 ms  cpu %5 ms  peak %6 MiB\n")
                   .arg(program.name.section(u'/', -1), -16)
                   .arg(median(program.windowMs), 5, 'f', 1)
                   .arg(best(program.windowMs), 5, 'f', 1)
                   .arg(median(program.wallMs), 5, 'f', 1)
                   .arg(median(program.cpuMs), 5, 'f', 1)
                   .arg(program.peakKiB / 1024.0, 4, 'f', 1);
    for (qsizetype measured = yardsticks; measured < programs.size(); ++measured) {
        const Samples &program = programs[measured];
        for (qsizetype yardstick = 0; yardstick < yardsticks; ++yardstick) {
            const Samples &base = programs[yardstick];
            out << QStringLiteral("%1 / %2: window %3x (best %4x)  end %5x  cpu %6x  memory %7x\n")
                       .arg(program.name.section(u'/', -1))
                       .arg(base.name, -16)
                       .arg(median(program.windowMs) / median(base.windowMs), 0, 'f', 2)
                       .arg(best(program.windowMs) / best(base.windowMs), 0, 'f', 2)
                       .arg(median(program.wallMs) / median(base.wallMs), 0, 'f', 2)
                       .arg(median(program.cpuMs) / median(base.cpuMs), 0, 'f', 2)
                       .arg(double(program.peakKiB) / base.peakKiB, 0, 'f', 2);
        }
    }
    return 0;
}
