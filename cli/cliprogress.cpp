#include "cli/cliprogress.h"

#include "cli/clireport.h"
#include "operations/deviceoperation.h"
#include "protocol/fileio.h"
#include "fleet/jobs/job.h"

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

void TCliProgress::watch(TJob &job, const QStringList &labels)
{
    m_labels = labels;
    m_total = int(job.items().size());
    connect(&job, &TJob::itemChanged, this, [this, &job](int index) { itemChanged(job, index); });
    connect(&job, &TJob::stepStarted, this, &TCliProgress::setPhase);
    connect(&job, &TJob::phaseChanged, this, &TCliProgress::setPhase);
    connect(&job, &TJob::progressed, this, [this](int index, qint64 done, qint64 total) {
        if (auto found = m_running.find(index); found != m_running.end()) {
            found->done = done;
            found->total = total;
        }
    });
    m_timer.start();
}

void TCliProgress::itemChanged(const TJob &job, int index)
{
    const TJobItemStatus &item = job.item(index);
    if (item.finished()) {
        if (m_ended.contains(index))
            return;
        m_ended.insert(index);
        m_running.remove(index);
        m_order.removeOne(index);
        ++m_finished;
        m_failed += item.succeeded() ? 0 : 1;
        return;
    }
    if (item.state == TJobItemStatus::Queued)
        return;
    auto found = m_running.find(index);
    if (found == m_running.end()) {
        found = m_running.insert(index, {m_labels.value(index), item.text(), -1, -1});
        m_order << index;
    }
    if (item.state == TJobItemStatus::Confirming)
        setPhase(index, item.text()); // the device is waited for: no bytes any more
}

void TCliProgress::setPhase(int index, const QString &phase)
{
    if (auto found = m_running.find(index); found != m_running.end()) {
        found->phase = phase;
        found->done = found->total = -1;
    }
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
    for (const int index : std::as_const(m_order)) {
        const Device &device = m_running[index];
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
