#include "app/networkcheckdialog.h"

#include "fleet/networkcheck.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

TNetworkCheckDialog::TNetworkCheckDialog(TDatagramEngine *engine, QWidget *parent, int listenMs)
    : QDialog(parent), m_engine(engine), m_listenMs(listenMs)
{
    setWindowTitle(QStringLiteral("Network check"));
    resize(760, 420);
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(QStringLiteral("Why devices are not found: the adapters, the ports, one scan through every "
                                            "adapter, and what the devices answered."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    m_list = new QListWidget(this);
    m_list->setWordWrap(true);
    m_list->setObjectName(QStringLiteral("Findings"));
    layout->addWidget(m_list, 1);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("CheckStatus"));
    layout->addWidget(m_status);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    m_again = buttons->addButton(QStringLiteral("Check again"), QDialogButtonBox::ActionRole);
    m_copy = buttons->addButton(QStringLiteral("Copy"), QDialogButtonBox::ActionRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    connect(m_again, &QPushButton::clicked, this, &TNetworkCheckDialog::runCheck);
    connect(m_copy, &QPushButton::clicked, this, [this] {
        QStringList lines;
        for (int i = 0; i < m_list->count(); ++i)
            lines << m_list->item(i)->data(Qt::UserRole).toString();
        QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    });
}

TNetworkCheckDialog::~TNetworkCheckDialog()
{
    // Its owner goes (the main window, and with it the engine): the check stops and is waited for.
    if (TNetworkCheck *check = std::exchange(m_check, nullptr)) {
        disconnect(check, nullptr, this, nullptr);
        check->cancel();
        delete check;
    }
}

bool TNetworkCheckDialog::isChecking() const
{
    return m_check != nullptr;
}

int TNetworkCheckDialog::findingCount() const
{
    return m_list->count();
}

void TNetworkCheckDialog::runCheck()
{
    if (m_check)
        return;
    m_list->clear();
    m_problems = 0;
    m_again->setEnabled(false);
    m_status->setText(QStringLiteral("Checking (the scan listens %1 s)...").arg(m_listenMs / 1000.0));
    TNetworkCheck::Options options;
    options.listenMs = m_listenMs;
    m_check = new TNetworkCheck(m_engine, options);
    // Queued from the check's worker thread: the window takes each finding between its events.
    connect(m_check, &TNetworkCheck::findingReported, this, &TNetworkCheckDialog::addFinding);
    connect(m_check, &TDeviceOperation::finished, this, &TNetworkCheckDialog::checkDone);
    m_check->start();
}

void TNetworkCheckDialog::addFinding(const TNetworkFinding &finding)
{
    QStyle::StandardPixmap icon = QStyle::SP_MessageBoxInformation;
    if (finding.severity == TNetworkFinding::Severity::Warning)
        icon = QStyle::SP_MessageBoxWarning;
    else if (finding.severity == TNetworkFinding::Severity::Problem)
        icon = QStyle::SP_MessageBoxCritical;
    auto *item = new QListWidgetItem(style()->standardIcon(icon), finding.text, m_list);
    item->setData(Qt::UserRole, finding.line());
    m_problems += finding.isProblem() ? 1 : 0;
    m_list->scrollToItem(item);
}

void TNetworkCheckDialog::checkDone()
{
    TNetworkCheck *check = std::exchange(m_check, nullptr);
    const bool cancelled = check->outcome().cancelled;
    check->deleteLater();
    m_again->setEnabled(true);
    m_status->setText(cancelled ? QStringLiteral("The check was stopped.")
                      : m_problems == 0 ? QStringLiteral("Done: no problem found.")
                      : m_problems == 1 ? QStringLiteral("Done: 1 problem found.")
                                        : QStringLiteral("Done: %1 problems found.").arg(m_problems));
    emit checkFinished(m_problems);
    if (m_closeWhenStopped)
        close();
}

void TNetworkCheckDialog::closeEvent(QCloseEvent *event)
{
    if (m_check) {
        // The window goes at once; the dialog itself stays until its check has stopped (a firewall
        // tool may take a moment), so that no check runs on without an owner.
        m_closeWhenStopped = true;
        m_check->cancel();
        hide();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

TNetworkCheckDialog *ShowNetworkCheck(QWidget *parent, TDatagramEngine *engine)
{
    auto *dialog = new TNetworkCheckDialog(engine, parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    dialog->runCheck();
    return dialog;
}
