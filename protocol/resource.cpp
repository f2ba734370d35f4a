#include "protocol/resource.h"

#include "protocol/errors.h"

#include <QLoggingCategory>

#include <array>

Q_LOGGING_CATEGORY(lcMessages, "tarvino.protocol.messages")

quint16 ProtocolCode = 0;

namespace {
struct MessageResource
{
    int resourceId;
    const char *text;
};

constexpr std::array<MessageResource, ErrorMessageCount> messages{{
    {65191, "Device not responding"},
    {65197, "File %s not found!"},
    {65195, "Transfert Error: %s"},
    {65196, "Verify Error"},
    {65194, "Config file not compatible with destination device"},
    {65193, "Connection Error: %s"},
    {65192, "%s : Logins must be different!"},
    {65198, "File must be xx.image.bin or xx.rom.bin"},
}};

TErrorMessageSink &sink()
{
    static TErrorMessageSink current;
    return current;
}

QString aboutTexts[2];

TErrorHandler &errorHandler()
{
    static TErrorHandler current;
    return current;
}
} // namespace

TErrorHandler SetErrorHandler(TErrorHandler handler)
{
    TErrorHandler previous = std::move(errorHandler());
    errorHandler() = std::move(handler);
    return previous;
}

QString ErrorText(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const TarvinoError &e) {
        return e.message();
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void HandleError(std::exception_ptr error)
{
    if (errorHandler())
        errorHandler()(error);
    else
        qCWarning(lcMessages).noquote() << ErrorText(error);
}

QString ErrorMessageFormat(int index)
{
    if (index < 0 || index >= ErrorMessageCount)
        return QString();
    return QString::fromLatin1(messages[index].text);
}

int ErrorMessageResourceId(int index)
{
    return (index < 0 || index >= ErrorMessageCount) ? 0 : messages[index].resourceId;
}

QString FormatErrorMessage(int index, const QString &argument)
{
    QString text = ErrorMessageFormat(index);
    const qsizetype at = text.indexOf(QLatin1String("%s"));
    if (at >= 0)
        text.replace(at, 2, argument);
    return text;
}

TErrorMessageSink SetErrorMessageSink(TErrorMessageSink newSink)
{
    TErrorMessageSink previous = std::move(sink());
    sink() = std::move(newSink);
    return previous;
}

void ShowErrorMessage(int index, const QString &argument)
{
    const QString message = FormatErrorMessage(index, argument);
    if (sink())
        sink()(message);
    else
        qCWarning(lcMessages).noquote() << message;
}

QString AboutLinkText(int line)
{
    return (line == 0 || line == 1) ? aboutTexts[line] : QString();
}

void StartupInit(const std::function<void()> &showFileSeparator)
{
    ProtocolCode = 0x1156;
    if (showFileSeparator)
        showFileSeparator();
    // String resources 65206 and 65207: the about box's link lines, empty in this program.
    aboutTexts[0] = QString();
    aboutTexts[1] = QString();
}
