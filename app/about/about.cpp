#include "app/about/about.h"

#include "protocol/resource.h"
#include "app/about/versioninfo.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QUrl>

#include <algorithm>

namespace {

// The program's strings.
QString versionText() { return QStringLiteral("Version "); }
QString availableMemoryText() { return QStringLiteral("Available Memory:"); }
QString platformCpuText() { return QStringLiteral("Platform, CPU:"); }
QString orCompatibleText() { return QStringLiteral("or compatible"); }

// Sizes in pixels at 96 pixels per inch; the ones marked scaled grow with the screen.
constexpr int DialogWidthAt96 = 440;  // scaled
constexpr int FrameAllowance = 30;    // taken off the scaled width
constexpr int FiguresWidthAt96 = 150; // scaled: each of the two figure columns
constexpr int IconSizeAt96 = 32;      // scaled: the system's large icon
constexpr QSize ButtonSizeAt96(75, 25); // scaled: a standard push button
constexpr int TextLeft = 60;
constexpr int TextTop = 12;
constexpr int TextRightMargin = 70; // the text column is the client width less this
constexpr int TitleBottomAtLeast = 66; // the lines start below the icon
constexpr QPoint IconPosition(13, 7);
constexpr int EdgeMargin = 6;
constexpr int BevelHeight = 2;
constexpr int BevelAdvance = 9;
constexpr int FiguresAdvance = 24;
constexpr int TitlePointSize = 22;

int scaled(qreal ppi, int pixelsAt96)
{
    return qRound(ppi / 96.0 * pixelsAt96);
}

// Text drawn engraved into the dialog: a light copy one pixel down and right, the
// dark text over it.
class SunkenLabel : public QLabel
{
public:
    using QLabel::QLabel;

    QSize sizeHint() const override { return QLabel::sizeHint() + QSize(1, 1); }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setFont(font());
        const QRect area = contentsRect().adjusted(0, 0, -1, -1);
        const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine;
        painter.setPen(palette().color(QPalette::Light));
        painter.drawText(area.translated(1, 1), flags, text());
        painter.setPen(palette().color(QPalette::Dark));
        painter.drawText(area, flags, text());
    }
};

// A blue underlined line that opens its own text as an internet address when clicked.
class LinkLabel : public QLabel
{
public:
    explicit LinkLabel(QWidget *parent)
        : QLabel(parent)
    {
        QFont underlined = font();
        underlined.setUnderline(true);
        setFont(underlined);
        QPalette blue = palette();
        blue.setColor(QPalette::WindowText, Qt::blue);
        setPalette(blue);
        setCursor(Qt::PointingHandCursor);
    }

protected:
    void mouseReleaseEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
            QDesktopServices::openUrl(QUrl::fromUserInput(text()));
        QLabel::mouseReleaseEvent(event);
    }
};

// Presses a button when Escape reaches the dialog the filter is installed on.
class EscapePresses : public QObject
{
public:
    explicit EscapePresses(QAbstractButton *button)
        : QObject(button), m_button(button)
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(event);
            if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
                m_button->click();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QAbstractButton *m_button;
};

// A label that wraps its text at line breaks and at its width, showing every character
// as it is ("&" and "<" included).
template <typename Label = QLabel>
Label *newLabel(QDialog &dialog, const char *name)
{
    auto *label = new Label(&dialog);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// The pen that places the lines one under the other.
struct Pen
{
    int clientWidth = 0;
    int x = TextLeft;
    int y = TextTop;
    int width = 0;

    // Places a line at the pen with its own height, and moves the pen below it by the
    // gap (a gap of 0 keeps the pen where it is). An empty line is hidden.
    void placeLabel(QLabel *label, const QString &text, int gap)
    {
        if (text.isEmpty()) {
            label->hide();
            return;
        }
        label->setText(text);
        const int w = x + width > clientWidth ? clientWidth - EdgeMargin : width;
        const int h = label->wordWrap() ? label->heightForWidth(w) : label->sizeHint().height();
        label->setGeometry(x, y, w, h);
        if (gap != 0)
            y += h + gap;
    }
};

// Centres the window's frame on its screen. Before the window is shown its frame is
// not known and the client area is centred instead.
void centreOnScreen(QWidget &window)
{
    const QScreen *screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    const QSize outer = window.frameGeometry().size();
    window.move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
}

// Centres the window again once it is shown and its frame is known.
class CentreWhenShown : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType())
            centreOnScreen(*static_cast<QWidget *>(watched));
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

QString MachineFiguresText(const TMachineInfo &machine)
{
    const quint64 kilobytes = (machine.totalPhysicalMemory + 512) / 1024;
    return QString::number(kilobytes) + QStringLiteral(" KB\n") + QString::number(machine.processorCount & 0xff)
           + QStringLiteral("x ") + ProcessorName(machine.processorType) + u' ' + orCompatibleText();
}

TAboutFacts ProgramAboutFacts(const TVersionInfo &info)
{
    TAboutFacts facts;
    facts.title = QGuiApplication::applicationDisplayName();
    facts.icon = QGuiApplication::windowIcon();
    facts.fileVersion = info.FileVersion();
    facts.fileDescription = info.FileDescription();
    facts.legalCopyright = info.LegalCopyright();
    facts.linkTexts = {AboutLinkText(0), AboutLinkText(1)};
    facts.machine = QueryMachineInfo();
    return facts;
}

void BuildAboutDialog(QDialog &dialog, const TAboutFacts &facts, qreal ppi)
{
    dialog.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    dialog.setWindowTitle(QStringLiteral("About ") + facts.title + QStringLiteral(" ..."));
    dialog.setModal(true);

    Pen pen;
    pen.clientWidth = scaled(ppi, DialogWidthAt96) - FrameAllowance;
    pen.width = pen.clientWidth - TextRightMargin;

    auto *title = new SunkenLabel(&dialog);
    title->setObjectName(QStringLiteral("TitleLabel"));
    title->setTextFormat(Qt::PlainText);
    title->setFont(QFont(QStringLiteral("Arial"), TitlePointSize, QFont::Bold));
    pen.placeLabel(title, facts.title, 10);
    pen.y = std::max(pen.y, TitleBottomAtLeast);

    auto *icon = new QLabel(&dialog);
    icon->setObjectName(QStringLiteral("IconLabel"));
    const int iconSize = scaled(ppi, IconSizeAt96);
    icon->setGeometry(QRect(IconPosition, QSize(iconSize, iconSize)));
    if (!facts.icon.isNull())
        icon->setPixmap(facts.icon.pixmap(iconSize, iconSize));

    auto *version = newLabel(dialog, "VersionLabel");
    QFont bold = version->font();
    bold.setBold(true);
    version->setFont(bold);
    pen.placeLabel(version, versionText() + facts.fileVersion, 4);
    pen.placeLabel(newLabel(dialog, "DescriptionLabel"), facts.fileDescription, 24);
    pen.placeLabel(newLabel(dialog, "CopyrightLabel"), facts.legalCopyright, 6);

    pen.placeLabel(newLabel<LinkLabel>(dialog, "LinkLabel1"), facts.linkTexts[0], 1);
    pen.placeLabel(newLabel<LinkLabel>(dialog, "LinkLabel2"), facts.linkTexts[1], 6);

    auto *bevel = new QFrame(&dialog);
    bevel->setObjectName(QStringLiteral("Bevel"));
    bevel->setFrameShape(QFrame::HLine);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setGeometry(pen.x, pen.y, pen.width, BevelHeight);
    pen.y += BevelAdvance;

    pen.width = scaled(ppi, FiguresWidthAt96);
    auto *captions = newLabel(dialog, "CaptionColumn");
    auto *values = newLabel(dialog, "ValueColumn");
    pen.placeLabel(captions, availableMemoryText() + u'\n' + platformCpuText(), 0);
    pen.x += captions->width();
    pen.placeLabel(values, MachineFiguresText(facts.machine), 0);
    pen.y += std::max(captions->height(), values->height()) + FiguresAdvance;

    auto *ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setObjectName(QStringLiteral("OkButton"));
    const QSize buttonSize(scaled(ppi, ButtonSizeAt96.width()), scaled(ppi, ButtonSizeAt96.height()));
    ok->setGeometry(QRect(QPoint(pen.clientWidth - EdgeMargin - buttonSize.width(), pen.y), buttonSize));
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    // The button is the cancel button too: Escape presses it, so the box closes with
    // the OK result rather than the dialog's own rejection.
    dialog.installEventFilter(new EscapePresses(ok));
    ok->setFocus();

    dialog.setFixedSize(pen.clientWidth, ok->y() + ok->height() + EdgeMargin);
    centreOnScreen(dialog);
    dialog.installEventFilter(new CentreWhenShown(&dialog));
}

bool TFormAbout::ShowAbout()
{
    QDialog dialog;
    const auto *info = new TVersionInfo(&dialog);
    const QScreen *screen = QGuiApplication::primaryScreen();
    BuildAboutDialog(dialog, ProgramAboutFacts(*info), screen ? screen->logicalDotsPerInch() : 96.0);
    if (m_showHook)
        m_showHook(dialog);
    dialog.exec();
    return true;
}
