#include "app/rangescan.h"

#include "app/rangescandialog.h"
#include "operations/rangesweep.h"

#include <QLocale>
#include <QProgressBar>
#include <QStatusBar>

TRangeScan::TRangeScan(TDatagramEngine *engine, Window window, QObject *parent)
    : QObject(parent), m_engine(engine), m_window(std::move(window))
{
}

TRangeScan::~TRangeScan()
{
    // The sweep's worker stops and is waited for before the engine goes.
    delete m_sweep;
}

void TRangeScan::ask()
{
    if (m_sweep || (m_window.canStart && !m_window.canStart()))
        return;
    TRangeScanDialog dialog(CurrentSweepContext(), m_window.parent);
    dialog.restoreSettings();
    if (dialog.exec() != QDialog::Accepted || dialog.ranges().isEmpty())
        return;
    dialog.saveSettings();

    TRangeSweep::Options options;
    options.ranges = dialog.ranges();
    options.rate = dialog.rate();
    options.askOverTcp = dialog.askOverTcp();
    start(options, dialog.rangeText());
}

void TRangeScan::start(const TRangeSweep::Options &options, const QString &text)
{
    if (m_sweep)
        return;
    if (m_window.resetList)
        m_window.resetList();
    m_sweep = new TRangeSweep(m_engine, options, this);
    const quint64 addresses = m_sweep->addressCount();
    connect(m_sweep, &TRangeSweep::swept, this, [this](qint64 done, qint64 total, int pass) {
        // Two passes of UDP, half the bar each; the TCP questions (pass 0) fill it again.
        if (m_window.progress && total > 0)
            m_window.progress->setValue(std::min<qint64>(99, pass == 0 ? done * 99 / total : (pass - 1) * 50 + done * 50 / total));
    });
    connect(m_sweep, &TDeviceOperation::finished, this, [this, text, addresses] {
        const TOperationOutcome outcome = m_sweep->outcome();
        const qsizetype found = m_sweep->devices().size();
        if (m_window.status)
            m_window.status->showMessage(
                outcome.succeeded ? QStringLiteral("%1 device%2 answered in %3 (%4 addresses).")
                                        .arg(found)
                                        .arg(found == 1 ? QString() : QStringLiteral("s"), text,
                                             QLocale(QLocale::English).toString(qulonglong(addresses)))
                : outcome.cancelled ? QStringLiteral("The sweep of %1 was stopped.").arg(text)
                                    : QStringLiteral("The sweep could not be sent: %1")
                                          .arg(outcome.detail.isEmpty() ? outcome.errorText() : outcome.detail));
        finish();
    });
    if (m_window.progress) {
        m_window.progress->setValue(0);
        m_window.progress->show();
    }
    if (m_window.status)
        m_window.status->showMessage(QStringLiteral("Sweeping %1 (%2 addresses)...")
                                         .arg(text, QLocale(QLocale::English).toString(qulonglong(addresses))));
    m_sweep->start();
}

void TRangeScan::cancel()
{
    if (m_sweep)
        m_sweep->cancel();
}

void TRangeScan::finish()
{
    if (m_window.progress)
        m_window.progress->hide();
    m_sweep->deleteLater();
    m_sweep = nullptr;
    if (m_window.scanEnded)
        m_window.scanEnded();
}
