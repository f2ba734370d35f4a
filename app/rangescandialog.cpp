#include "app/rangescandialog.h"

#include "operations/rangesweep.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

#include <memory>

namespace {
const QString RangesKey = QStringLiteral("RangeScan/Ranges");
const QString RateKey = QStringLiteral("RangeScan/Rate");
const QString TcpKey = QStringLiteral("RangeScan/Tcp");

std::unique_ptr<QSettings> programSettings()
{
    // The window's settings file (main.cpp).
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("tarvino"),
                                       QStringLiteral("tarvino"));
}
} // namespace

TRangeScanDialog::TRangeScanDialog(const TSweepContext &context, QWidget *parent)
    : QDialog(parent), m_context(context)
{
    setWindowTitle(QStringLiteral("Scan address range"));
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(QStringLiteral("Devices behind a router or a VPN do not hear a scan's broadcast. Each "
                                            "address of the ranges is asked in turn instead."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto *form = new QFormLayout;
    m_rangeEdit = new QComboBox(this);
    m_rangeEdit->setEditable(true);
    m_rangeEdit->setInsertPolicy(QComboBox::NoInsert);
    m_rangeEdit->setMinimumContentsLength(32);
    m_rangeEdit->lineEdit()->setPlaceholderText(QStringLiteral("198.19.0.0/24, 198.19.4.10-198.19.4.250"));
    m_rangeEdit->setToolTip(QStringLiteral("Networks (198.19.0.0/24), two addresses joined by a dash, or single "
                                           "addresses, separated by commas; at most a /16 (65,536 addresses) each."));
    form->addRow(QStringLiteral("&Ranges:"), m_rangeEdit);
    m_rate = new QSpinBox(this);
    m_rate->setRange(1, TRangeSweep::MaxRate);
    m_rate->setValue(TRangeSweep::DefaultRate);
    m_rate->setSuffix(QStringLiteral(" requests/s"));
    m_rate->setToolTip(QStringLiteral("How many requests a second the site network is sent."));
    form->addRow(QStringLiteral("R&ate:"), m_rate);
    layout->addLayout(form);
    m_tcp = new QCheckBox(QStringLiteral("Also ask over &TCP the addresses that do not answer (slower)"), this);
    layout->addWidget(m_tcp);

    m_problem = new QLabel(this);
    m_problem->setWordWrap(true);
    m_problem->setTextFormat(Qt::PlainText);
    m_problem->setStyleSheet(QStringLiteral("color: #b00020;"));
    layout->addWidget(m_problem);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&Scan"));
    layout->addWidget(m_buttons);

    connect(m_rangeEdit, &QComboBox::editTextChanged, this, [this] { check(); });
    connect(m_buttons, &QDialogButtonBox::accepted, this, [this] {
        check();
        if (!m_ranges.isEmpty())
            accept();
    });
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    check();
}

QString TRangeScanDialog::rangeText() const
{
    return m_rangeEdit->currentText().trimmed();
}

int TRangeScanDialog::rate() const
{
    return m_rate->value();
}

bool TRangeScanDialog::askOverTcp() const
{
    return m_tcp->isChecked();
}

void TRangeScanDialog::check()
{
    m_ranges.clear();
    const QString text = rangeText();
    QString problem;
    if (!text.isEmpty()) {
        const auto parsed = ParseAddressRanges({text}, m_context);
        if (const QString *why = std::get_if<QString>(&parsed))
            problem = *why + QLatin1Char('.');
        else
            m_ranges = std::get<QList<TAddressRange>>(parsed);
    }
    m_problem->setText(problem);
    m_problem->setVisible(!problem.isEmpty());
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(!m_ranges.isEmpty());
}

void TRangeScanDialog::restoreSettings()
{
    const auto settings = programSettings();
    const QStringList last = settings->value(RangesKey).toStringList();
    m_rangeEdit->clear();
    m_rangeEdit->addItems(last);
    m_rangeEdit->setEditText(last.value(0));
    m_rate->setValue(settings->value(RateKey, TRangeSweep::DefaultRate).toInt());
    m_tcp->setChecked(settings->value(TcpKey, false).toBool());
    check();
}

void TRangeScanDialog::saveSettings() const
{
    const auto settings = programSettings();
    QStringList last = settings->value(RangesKey).toStringList();
    last.removeAll(rangeText());
    last.prepend(rangeText());
    settings->setValue(RangesKey, last.mid(0, RememberedRanges));
    settings->setValue(RateKey, rate());
    settings->setValue(TcpKey, askOverTcp());
}
