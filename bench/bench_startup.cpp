// Start-to-window time and peak memory of the program against a minimal Qt Widgets
// program started the same way (offscreen), in the same run.
//
//   lab/lab pc build/bench/bench_startup [runs]
//
// Each program is started `runs` times (default 20); the median wall time and the
// largest peak resident memory are printed, then the ratios.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTextStream>

#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {
struct Figures
{
    double medianMs;
    long peakKiB;
};

// fork/exec so that the child's own peak memory can be read from wait4.
Figures measure(const QString &program, int runs)
{
    QList<double> times;
    long peak = 0;
    const QByteArray path = program.toLocal8Bit();
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        const pid_t child = fork();
        if (child == 0) {
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            execl(path.constData(), path.constData(), static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        times.append(timer.nsecsElapsed() / 1e6);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            fprintf(stderr, "%s ended with status %d\n", path.constData(), status);
        peak = std::max(peak, usage.ru_maxrss);
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], peak};
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    const QString dir = QCoreApplication::applicationDirPath();
    const Figures minimal = measure(dir + QStringLiteral("/startup_minimal"), runs);
    const Figures tarvino = measure(dir + QStringLiteral("/startup_tarvino"), runs);
    QTextStream out(stdout);
    out << "runs " << runs << "\n";
    out << QStringLiteral("minimal Qt Widgets: %1 ms median, %2 MiB peak\n").arg(minimal.medianMs, 0, 'f', 1).arg(minimal.peakKiB / 1024.0, 0, 'f', 1);
    out << QStringLiteral("tarvino:            %1 ms median, %2 MiB peak\n").arg(tarvino.medianMs, 0, 'f', 1).arg(tarvino.peakKiB / 1024.0, 0, 'f', 1);
    out << QStringLiteral("ratio: time %1x, memory %2x\n")
               .arg(tarvino.medianMs / minimal.medianMs, 0, 'f', 2)
               .arg(double(tarvino.peakKiB) / minimal.peakKiB, 0, 'f', 2);
    return 0;
}
