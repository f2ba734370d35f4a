#include "app/batchwarning.h"

#include "fleet/devicefields.h"
#include "protocol/devicerecord.h"
#include "protocol/wire.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
// The text with its mnemonic on its first letter that is not `taken`: "Reset" beside "&Return"
// becomes "R&eset", each button its own Alt key.
QString withMnemonicAvoiding(const QString &text, QChar taken)
{
    for (qsizetype i = 0; i < text.size(); ++i)
        if (text.at(i).isLetterOrNumber() && text.at(i).toLower() != taken.toLower())
            return QString(text).insert(i, QLatin1Char('&'));
    return text;
}
} // namespace

QString BatchWarningLine(const TDeviceRecord &device)
{
    return QStringLiteral("%1  %2  %3").arg(device.IpText, MacText(device.Mac), device.Params.text(Wire::Param::Name));
}

TBatchWarning::TBatchWarning(const QString &text, const QString &file, const QStringList &devices,
                             const QString &action, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("BatchWarning"));
    setWindowTitle(QStringLiteral("Warning"));
    auto *layout = new QVBoxLayout(this);
    auto *warning = new QLabel(QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")), this);
    warning->setTextFormat(Qt::PlainText);
    layout->addWidget(warning);
    if (!file.isEmpty()) {
        auto *fileLine = new QLabel(QStringLiteral("File: %1").arg(file), this);
        fileLine->setTextFormat(Qt::PlainText);
        layout->addWidget(fileLine);
    }
    auto *count = new QLabel(devices.size() == 1 ? QStringLiteral("&1 device:") : QStringLiteral("&%1 devices:").arg(devices.size()), this);
    layout->addWidget(count);
    auto *list = new QListWidget(this);
    list->setObjectName(QStringLiteral("Devices"));
    list->setAccessibleName(QStringLiteral("Devices of the batch"));
    list->addItems(devices);
    list->setSelectionMode(QAbstractItemView::NoSelection);
    count->setBuddy(list);
    layout->addWidget(list);

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *go = buttons->addButton(withMnemonicAvoiding(action, QLatin1Char('R')), QDialogButtonBox::AcceptRole);
    QPushButton *back = buttons->addButton(QStringLiteral("&Return"), QDialogButtonBox::RejectRole);
    go->setObjectName(QStringLiteral("Confirm"));
    back->setObjectName(QStringLiteral("Return"));
    back->setDefault(true);
    back->setFocus();
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(460, 380);
}
