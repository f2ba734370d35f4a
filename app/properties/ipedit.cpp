#include "app/properties/ipedit.h"
#include "app/messagebox.h"

#include "protocol/ipaddrutils.h"

#include <QApplication>
#include <QFontMetrics>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScopeGuard>
#include <QSignalBlocker>
#include <QValidator>

#include <algorithm>

namespace {
constexpr int ControlWidth = 100;
constexpr int ControlHeight = 21;
constexpr int FieldWidth = 21;
constexpr int DotWidth = 3;
constexpr int MaxOctet = 255;
constexpr int OctetDigits = 3;
constexpr qreal SmallestFieldPointSize = 6;

// Typing is filtered key by key, but text can also arrive whole: pasted, dropped or
// composed by an input method. The validator makes the field refuse such an edit as
// a whole when it would put anything but digits into it.
class TOctetValidator final : public QValidator
{
public:
    using QValidator::QValidator;
    State validate(QString &input, int &) const override { return IsDigitString(input) ? Acceptable : Invalid; }
};

bool isNextFieldKey(const QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Period: // main keyboard, and the keypad's decimal key (with KeypadModifier)
    case Qt::Key_Space:
        return true;
    case Qt::Key_Comma: // the keypad's decimal key where the decimal separator is a comma
        return event->modifiers().testFlag(Qt::KeypadModifier);
    default:
        return false;
    }
}
} // namespace

TIPEdit::TIPEdit(QWidget *parent)
    : QWidget(parent)
{
    setMinimumWidth(ControlWidth);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    resize(ControlWidth, ControlHeight);

    m_framePanel = new QFrame(this);
    m_framePanel->setObjectName(QStringLiteral("FramePanel"));
    m_framePanel->setFrameStyle(QFrame::Box | QFrame::Plain);
    m_framePanel->setLineWidth(1);
    m_framePanel->setBackgroundRole(QPalette::Base);
    m_framePanel->setAutoFillBackground(true);
    m_framePanel->setCursor(Qt::IBeamCursor);
    m_framePanel->installEventFilter(this);

    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(m_framePanel);

    // Field 0, dot 0, field 1, dot 1, field 2, dot 2, field 3, then the rest of the frame.
    auto *row = new QHBoxLayout(m_framePanel);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    auto *validator = new TOctetValidator(this);
    for (int i = 0; i < FieldCount; ++i) {
        auto *field = new QLineEdit(m_framePanel);
        field->setObjectName(QStringLiteral("OctetField%1").arg(i));
        field->setFixedWidth(FieldWidth);
        field->setFrame(false);
        field->setAlignment(Qt::AlignCenter);
        field->setMaxLength(OctetDigits);
        // QLineEdit keeps a fixed 2 px on each side of its text; a field this narrow needs
        // them for its digits.
        field->setTextMargins(-2, 0, -2, 0);
        field->setValidator(validator);
        // Only the first octet is a tab stop; the others are reached by the keys below.
        field->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        field->installEventFilter(this);
        connect(field, &QLineEdit::textChanged, this, [this, i] { OctetChange(i); });
        m_octetFields[i] = field;
        row->addWidget(field);

        if (i < DotCount) {
            auto *dot = new QLabel(QStringLiteral("."), m_framePanel);
            dot->setObjectName(QStringLiteral("DotLabel%1").arg(i));
            dot->setFixedWidth(DotWidth);
            dot->installEventFilter(this);
            m_dotLabels[i] = dot;
            row->addWidget(dot);
        }
    }
    row->addStretch(1);
    fitFieldFont();
    for (QLineEdit *field : m_octetFields)
        showSelection(field, false);

    // Focus given to the control goes to the first octet. The control takes part in
    // the window's tab order (setTabOrder) through it; Tab itself stops at field 0 only.
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(m_octetFields[0]);

    connect(qApp, &QApplication::focusChanged, this, [this](QWidget *old, QWidget *now) {
        if (old && isAncestorOf(old) && now && now != this && !isAncestorOf(now))
            FrameExit();
    });
}

QSize TIPEdit::sizeHint() const
{
    return QSize(ControlWidth, ControlHeight);
}

QSize TIPEdit::minimumSizeHint() const
{
    return QSize(ControlWidth, ControlHeight);
}

QString TIPEdit::text()
{
    if (std::all_of(m_octetFields.begin(), m_octetFields.end(),
                    [](const QLineEdit *field) { return field->text().isEmpty(); }))
        return QString();

    QStringList octets;
    for (int k = 0; k < FieldCount; ++k) {
        const QString typed = m_octetFields[k]->text();
        if (typed.isEmpty())
            setFieldText(k, QStringLiteral("0"));
        else if (!m_acceptOctal)
            setFieldText(k, QString::number(typed.toInt()));
        octets << m_octetFields[k]->text();
    }
    return octets.join(u'.');
}

void TIPEdit::setText(const QString &value)
{
    if (value.isEmpty()) {
        for (int k = 0; k < FieldCount; ++k)
            setFieldText(k, QString());
        return;
    }

    std::array<int, FieldCount> octets{};
    try {
        ValidateIPString(value);
        for (int k = 0; k < FieldCount; ++k)
            octets[k] = GetIPOctet(value, k + 1);
    } catch (const TarvinoError &) {
        throw EAssertionFailed(QStringLiteral("Bad IP address string given to component"));
    }
    for (int k = 0; k < FieldCount; ++k)
        setFieldText(k, QString::number(octets[k]));
    m_octetFields[0]->selectAll();
}

void TIPEdit::setReadOnly(bool readOnly)
{
    if (readOnly == m_readOnly)
        return;
    m_readOnly = readOnly;
    for (QLineEdit *field : m_octetFields)
        field->setReadOnly(readOnly);
}

bool TIPEdit::eventFilter(QObject *watched, QEvent *event)
{
    // A disabled field or dot takes no input; QWidget drops the event after the filters.
    if (const auto *widget = qobject_cast<const QWidget *>(watched); widget && !widget->isEnabled())
        return QWidget::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::KeyPress:
        if (const int k = fieldIndex(watched); k >= 0) {
            const auto *key = static_cast<QKeyEvent *>(event);
            OctetKeyDown(k, key);
            // The field then handles the key as usual, unless it is a refused character.
            return !OctetKeyPress(key);
        }
        break;
    case QEvent::FocusIn:
        if (const int k = fieldIndex(watched); k >= 0) {
            showSelection(m_octetFields[k], true);
            // Entering the control from elsewhere (by Tab or by focusing the control
            // itself) selects the first octet; a click places the caret instead.
            const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
            if (k == 0
                && (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason
                    || reason == Qt::ShortcutFocusReason || reason == Qt::OtherFocusReason))
                m_octetFields[0]->selectAll();
        }
        break;
    case QEvent::FocusOut:
        if (const int k = fieldIndex(watched); k >= 0)
            showSelection(m_octetFields[k], false);
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        // A dot or the bare frame reacts on release, as a click; the press must not
        // travel on to the window behind.
        if (dotIndex(watched) >= 0 || watched == m_framePanel)
            return true;
        break;
    case QEvent::MouseButtonRelease: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        auto *widget = qobject_cast<QWidget *>(watched);
        if (mouse->button() != Qt::LeftButton || !widget || !widget->rect().contains(mouse->position().toPoint()))
            break;
        if (const int i = dotIndex(watched); i >= 0) {
            DotClick(i);
            return true;
        }
        if (watched == m_framePanel) {
            FrameClick();
            return true;
        }
        break;
    }
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void TIPEdit::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange)
        fitFieldFont();
    QWidget::changeEvent(event);
}

void TIPEdit::OctetKeyDown(int k, const QKeyEvent *event)
{
    if (m_readOnly)
        return;
    QLineEdit *field = m_octetFields[k];
    const bool caretAtStart = field->cursorPosition() == 0;
    const bool caretAtEnd = field->cursorPosition() == field->text().size();

    switch (event->key()) {
    case Qt::Key_Home:
        focusField(0, false);
        return;
    case Qt::Key_End:
        focusField(FieldCount - 1, true);
        return;
    case Qt::Key_Right:
        if (k < FieldCount - 1 && caretAtEnd)
            focusField(k + 1, false);
        return;
    case Qt::Key_Left:
        if (k > 0 && caretAtStart)
            focusField(k - 1, true);
        return;
    case Qt::Key_Backspace:
        // Erasing past the start of an octet erases the end of the one before it.
        if (k > 0 && caretAtStart) {
            QLineEdit *previous = m_octetFields[k - 1];
            previous->setFocus(Qt::OtherFocusReason);
            if (!previous->text().isEmpty())
                setFieldText(k - 1, previous->text().chopped(1));
            previous->setCursorPosition(previous->text().size());
        }
        return;
    default:
        break;
    }

    if (isNextFieldKey(event) && !field->text().isEmpty() && !caretAtStart && k < FieldCount - 1) {
        QLineEdit *next = m_octetFields[k + 1];
        next->setFocus(Qt::OtherFocusReason);
        next->selectAll();
    }
}

bool TIPEdit::OctetKeyPress(const QKeyEvent *event) const
{
    // Keys held with Control or Meta are editing commands (copy, paste, select all),
    // not characters; what they insert is checked by the validator.
    if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier))
        return true;
    const QString typed = event->text();
    if (typed.isEmpty())
        return true; // no character: navigation, function keys
    for (QChar c : typed) {
        if (c == u'\b')
            continue;
        if (c < u' ' || c == QChar(0x7F))
            continue; // other control characters (Return, Escape) are not input either
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

void TIPEdit::OctetChange(int k)
{
    QLineEdit *field = m_octetFields[k];
    const QString typed = field->text();
    if (!IsDigitString(typed)) {
        // Typing, pasting and dropping cannot get here (filter and validator); this
        // catches a program writing to the field behind the control's back.
        const QSignalBlocker blocker(field);
        field->setText(m_acceptedText[k]);
        return;
    }
    m_acceptedText[k] = typed;

    if (!typed.isEmpty() && typed.toInt() > MaxOctet) {
        setFieldText(k, QString::number(MaxOctet));
        field->selectAll();
        reportOutOfRange(typed
                         + QStringLiteral(" is not a valid entry. Please specify a value between 0 and 255 for this field."));
    } else if (m_programWrites == 0 && k < FieldCount - 1 && typed.size() == 3 && field->cursorPosition() == 3) {
        // The third digit completes the octet: move on to the next one.
        QLineEdit *next = m_octetFields[k + 1];
        next->setFocus(Qt::OtherFocusReason);
        next->selectAll();
    }
    emit changed();
}

void TIPEdit::FrameClick()
{
    focusField(FieldCount - 1, true);
}

void TIPEdit::DotClick(int i)
{
    focusField(i, true);
}

void TIPEdit::FrameExit()
{
    m_octetFields[0]->selectAll();
}

int TIPEdit::fieldIndex(const QObject *object) const
{
    const auto it = std::find(m_octetFields.begin(), m_octetFields.end(), object);
    return it == m_octetFields.end() ? -1 : static_cast<int>(it - m_octetFields.begin());
}

int TIPEdit::dotIndex(const QObject *object) const
{
    const auto it = std::find(m_dotLabels.begin(), m_dotLabels.end(), object);
    return it == m_dotLabels.end() ? -1 : static_cast<int>(it - m_dotLabels.begin());
}

void TIPEdit::focusField(int k, bool caretAtEnd)
{
    QLineEdit *field = m_octetFields[k];
    field->setFocus(Qt::OtherFocusReason);
    field->setCursorPosition(caretAtEnd ? field->text().size() : 0);
}

void TIPEdit::setFieldText(int k, const QString &text)
{
    // The control's own writes leave the caret alone as far as the automatic advance
    // is concerned: only typing the third digit moves on.
    ++m_programWrites;
    const auto done = qScopeGuard([this] { --m_programWrites; });
    m_octetFields[k]->setText(text);
}

void TIPEdit::fitFieldFont()
{
    // The fields use the control's font, narrowed when three of its widest digits would
    // not fit a field (the caret takes a column of its own).
    auto digitsWidth = [](const QFont &font) {
        const QFontMetrics metrics(font);
        int widest = 0;
        for (char16_t digit = u'0'; digit <= u'9'; ++digit)
            widest = std::max(widest, metrics.horizontalAdvance(QChar(digit)));
        return OctetDigits * widest;
    };
    QFont fitted = font();
    while (digitsWidth(fitted) > FieldWidth - 1) {
        if (fitted.pointSizeF() > SmallestFieldPointSize)
            fitted.setPointSizeF(fitted.pointSizeF() - 0.5);
        else if (fitted.pixelSize() > SmallestFieldPointSize)
            fitted.setPixelSize(fitted.pixelSize() - 1);
        else
            break;
    }
    for (QLineEdit *field : m_octetFields)
        field->setFont(fitted);
}

void TIPEdit::showSelection(QLineEdit *field, bool shown)
{
    // An octet shows its selection only while it has the focus, as edit boxes do on the
    // PCs this tool runs on: the first octet of every address control is selected
    // after it was written or left.
    if (shown) {
        field->setPalette(QPalette()); // the frame's palette again
        return;
    }
    const QPalette inherited = m_framePanel->palette();
    QPalette hidden;
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        hidden.setColor(group, QPalette::Highlight, inherited.color(group, QPalette::Base));
        hidden.setColor(group, QPalette::HighlightedText, inherited.color(group, QPalette::Text));
    }
    field->setPalette(hidden);
}

void TIPEdit::reportOutOfRange(const QString &message)
{
    if (m_messageHandler) {
        m_messageHandler(message);
        return;
    }
    ShowMessageBox(this, QMessageBox::Critical, QStringLiteral("Erreur"), message);
}
