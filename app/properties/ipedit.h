#pragma once
// TIPEdit: one IPv4 address typed as four octets in a single framed box.
//
// Keys: digits and Backspace edit an octet; three digits, or a period, space or the
// keypad's decimal key after one, move on to the next octet; Home, End, the arrows at an
// octet's edge and Backspace at its start move between octets. Values above 255 become
// 255 with a message. Disabling the control disables its fields and dots with it.

#include <QWidget>

#include <array>
#include <functional>
#include <utility>

class QFrame;
class QKeyEvent;
class QLabel;
class QLineEdit;

class TIPEdit : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString Text READ text WRITE setText)
    Q_PROPERTY(bool AcceptOctal READ acceptOctal WRITE setAcceptOctal)
    Q_PROPERTY(bool ReadOnly READ isReadOnly WRITE setReadOnly)

public:
    static constexpr int FieldCount = 4;
    static constexpr int DotCount = 3;

    explicit TIPEdit(QWidget *parent = nullptr);

    // The dotted address, or an empty string when all four fields are empty.
    // Reading rewrites the fields: an empty field becomes 0 and, unless AcceptOctal
    // is set, each octet loses its leading zeros.
    QString text();
    // An empty value clears the fields. Anything else must be a valid dotted address;
    // otherwise EAssertionFailed("Bad IP address string given to component") is thrown
    // and the fields keep their text.
    void setText(const QString &value);

    bool acceptOctal() const { return m_acceptOctal; }
    void setAcceptOctal(bool accept) { m_acceptOctal = accept; }

    // Read-only fields cannot be edited and the navigation keys are off.
    bool isReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly);

    // How the out-of-range message reaches the user; by default an error box.
    using TMessageHandler = std::function<void(const QString &message)>;
    void setMessageHandler(TMessageHandler handler) { m_messageHandler = std::move(handler); }

    QLineEdit *octetField(int index) const { return m_octetFields.at(index); }
    QLabel *dotLabel(int index) const { return m_dotLabels.at(index); }
    QFrame *framePanel() const { return m_framePanel; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // After every change of any octet field's text, typed or set by the program.
    void changed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void OctetKeyDown(int k, const QKeyEvent *event);
    bool OctetKeyPress(const QKeyEvent *event) const;
    void OctetChange(int k);
    void FrameClick();
    void DotClick(int i);
    void FrameExit();

    int fieldIndex(const QObject *object) const;
    int dotIndex(const QObject *object) const;
    void focusField(int k, bool caretAtEnd);
    void setFieldText(int k, const QString &text);
    void reportOutOfRange(const QString &message);
    void fitFieldFont();
    void showSelection(QLineEdit *field, bool shown);

    bool m_acceptOctal = false;
    std::array<QLineEdit *, FieldCount> m_octetFields{};
    std::array<QLabel *, DotCount> m_dotLabels{};
    QFrame *m_framePanel = nullptr;
    bool m_readOnly = false;

    // The last text each field accepted, to put back text that is not an octet.
    std::array<QString, FieldCount> m_acceptedText;
    // Set while the control itself writes a field: such a write never advances the focus.
    int m_programWrites = 0;
    TMessageHandler m_messageHandler;
};
