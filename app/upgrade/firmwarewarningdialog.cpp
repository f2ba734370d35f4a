#include "app/upgrade/firmwarewarningdialog.h"

#include "operations/deviceoperation.h"

#include <QFontMetrics>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

namespace {

constexpr qreal SmallestPointSize = 6;

// The label's size is fixed and the text must not be cut: the desktop's font is narrowed, then
// made smaller, until the six lines fit (the frame was drawn for an 8-point font of 13-pixel lines).
QFont fittedFont(QFont font, const QString &text, QSize box)
{
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    const auto fits = [&](const QFont &candidate) {
        const QFontMetrics metrics(candidate);
        if (metrics.lineSpacing() * lines.size() > box.height())
            return false;
        for (const QString &line : lines)
            if (metrics.horizontalAdvance(line.trimmed()) > box.width())
                return false;
        return true;
    };
    for (qreal size = font.pointSizeF(); size >= SmallestPointSize; size -= 0.5) {
        font.setPointSizeF(size);
        for (int stretch : {int(QFont::Unstretched), int(QFont::SemiCondensed), int(QFont::Condensed)}) {
            font.setStretch(stretch);
            if (fits(font))
                return font;
        }
    }
    return font;
}

} // namespace

TFirmwareWarningDialog::TFirmwareWarningDialog(QWidget *owner) : QDialog(owner)
{
    Q_INIT_RESOURCE(upgrade);
    setObjectName(QStringLiteral("FormWarning"));
    setWindowTitle(QStringLiteral("Warning"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(394, 135);

    Image1 = new QLabel(this);
    Image1->setGeometry(24, 24, 32, 32);
    // One icon for every dialog: its picture is drawn once and cached under the icon's own
    // identity, where a new icon for each dialog would leave one more picture in the cache.
    static const QIcon warningIcon(QStringLiteral(":/upgrade/warning.svg"));
    Image1->setPixmap(warningIcon.pixmap(32, 32));

    Label1 = new QLabel(WarningText(), this);
    Label1->setGeometry(88, 8, 298, 78);
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label1->setTextFormat(Qt::PlainText);
    Label1->setWordWrap(false);
    Label1->setFont(fittedFont(Label1->font(), Label1->text(), Label1->size()));

    Button2 = new QPushButton(QStringLiteral("Return"), this);
    Button2->setGeometry(308, 105, 75, 25);
    Button2->setDefault(true);
    Button2->setAutoDefault(true);
    Button1 = new QPushButton(QStringLiteral("Upgrade"), this);
    Button1->setGeometry(228, 105, 75, 25);
    Button1->setAutoDefault(false);
    setTabOrder(Button2, Button1);

    connect(Button1, &QPushButton::clicked, this, [this] { done(ResultUpgrade); });
    connect(Button2, &QPushButton::clicked, this, [this] { done(ResultReturn); });
}

QString TFirmwareWarningDialog::WarningText()
{
    return FirmwareWarningText();
}

void TFirmwareWarningDialog::reject()
{
    done(ResultClosed);
}

void TFirmwareWarningDialog::keyPressEvent(QKeyEvent *event)
{
    // Escape is the "Return" button's, as the cancel button of the dialog.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        done(ResultReturn);
        return;
    }
    QDialog::keyPressEvent(event);
}

void TFirmwareWarningDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    Button2->setFocus(); // first in the tab order
    // Centred over the main window, the first of the owners' windows: the upgrade window that
    // owns the dialog may have been moved away from it.
    if (QWidget *owner = parentWidget()) {
        QWidget *top = owner->window();
        while (QWidget *up = top->parentWidget())
            top = up->window();
        const QRect main = top->frameGeometry();
        const QRect own = frameGeometry();
        move(main.left() + (main.width() - own.width()) / 2, main.top() + (main.height() - own.height()) / 2);
    }
}
