#include "cli/cliprogress.h"

#include "cli/clireport.h"
#include "operations/deviceoperation.h"
#include "operations/operationpool.h"
#include "protocol/fileio.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {
constexpr int RedrawMs = 100;
constexpr int BarWidth = 20;
} // namespace

TCliProgress::TCliProgress(std::FILE *terminal, const QString &title, QObject *parent)
    : QObject(parent), m_terminal(terminal), m_title(title)
{
    m_timer.setInterval(RedrawMs);
    connect(&m_timer, &QTimer::timeout, this, &TCliProgress::draw);
}

TCliProgress::~TCliProgress()
{
    clear();
}

void TCliProgress::watch(TOperationPool &pool, const QHash<TDeviceOperation *, QString> &labels)
{
    m_total = int(pool.operations().size());
    connect(&pool, &TOperationPool::operationStarted, this, [this, labels](TDeviceOperation *operation) {
        m_running.insert(operation, {labels.value(operation), operation->title(), -1, -1});
        m_order << operation;
        auto phase = [this, operation](const QString &label) {
            if (auto found = m_running.find(operation); found != m_running.end()) {
                found->phase = label;
                found->done = found->total = -1;
            }
        };
        connect(operation, &TDeviceOperation::stepStarted, this, phase);
        connect(operation, &TDeviceOperation::phaseChanged, this, phase);
        connect(operation, &TDeviceOperation::progressed, this, [this, operation](qint64 done, qint64 total) {
            if (auto found = m_running.find(operation); found != m_running.end()) {
                found->done = done;
                found->total = total;
            }
        });
    });
    connect(&pool, &TOperationPool::operationFinished, this, [this](TDeviceOperation *operation) {
        m_running.remove(operation);
        m_order.removeOne(operation);
        ++m_finished;
        m_failed += operation->outcome().succeeded ? 0 : 1;
    });
    m_timer.start();
}

QString TCliProgress::deviceLine(const QString &label, const QString &phase, qint64 done, qint64 total, int width)
{
    QString line = label + QStringLiteral("  ") + phase;
    if (total > 0 && done >= 0) {
        const qint64 filled = std::min<qint64>(BarWidth, done * BarWidth / total);
        line += QStringLiteral("  [%1%2]  %3%  %4 / %5")
                    .arg(QString(filled, QLatin1Char('#')), QString(BarWidth - filled, QLatin1Char('-')))
                    .arg(done * 100 / total)
                    .arg(SizeText(done), SizeText(total));
    }
    return line.left(std::max(10, width - 1));
}

void TCliProgress::draw()
{
    const int width = terminalWidth();
    QString text;
    if (m_linesDrawn > 0)
        text += QStringLiteral("\x1b[%1A").arg(m_linesDrawn);
    text += QStringLiteral("\r\x1b[J");
    QStringList lines{QStringLiteral("%1: %2 of %3 done%4")
                          .arg(m_title)
                          .arg(m_finished)
                          .arg(m_total)
                          .arg(m_failed ? QStringLiteral(", %1 failed").arg(m_failed) : QString())};
    for (TDeviceOperation *operation : std::as_const(m_order)) {
        const Device &device = m_running[operation];
        lines << deviceLine(device.label, device.phase, device.done, device.total, width);
    }
    for (const QString &line : lines)
        text += line + QLatin1Char('\n');
    m_linesDrawn = int(lines.size());
    WriteText(m_terminal, text);
}

void TCliProgress::clear()
{
    m_timer.stop();
    if (m_linesDrawn == 0)
        return;
    std::fprintf(m_terminal, "\x1b[%dA\r\x1b[J", m_linesDrawn);
    std::fflush(m_terminal);
    m_linesDrawn = 0;
}

int TCliProgress::terminalWidth() const
{
    winsize size{};
    if (ioctl(fileno(m_terminal), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}
