#pragma once
// Errors that leave an operation: the window that started it, or the application's
// general handler, shows their message.

#include <QString>

#include <concepts>
#include <exception>
#include <functional>
#include <stdexcept>
#include <utility>

class TarvinoError : public std::runtime_error
{
public:
    explicit TarvinoError(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message)
    {
    }
    QString message() const { return m_message; }

private:
    QString m_message;
};

// A stream connection to a device failed (refused, unreachable, reset, bad address).
class ConnectionError : public TarvinoError
{
public:
    using TarvinoError::TarvinoError;
};

// A wait for a device ended before its time: its caller cancelled it, or the engine closed.
// The message says which (TDatagramEngine's CancelledText or EngineClosedText).
class InterruptedError : public TarvinoError
{
public:
    using TarvinoError::TarvinoError;
};

// The program's general error handler: an error that a handler lets escape is caught where the
// handler is connected and handed here, so that no error crosses Qt's signal emission or its
// event loop. The application installs the handler that shows it; without one it is logged.
using TErrorHandler = std::function<void(std::exception_ptr error)>;
// What an error says: a TarvinoError's message, another exception's what(), or "Unknown error".
QString ErrorText(const std::exception_ptr &error);
TErrorHandler SetErrorHandler(TErrorHandler handler);
void HandleError(std::exception_ptr error);

// A handler for connect() that hands any error it raises to the general error handler.
template<typename Handler>
auto Guarded(Handler handler)
{
    // Constrained, so that Qt finds how many of a signal's arguments the handler takes.
    return [handler = std::move(handler)](auto &&...arguments) -> void
               requires std::invocable<const Handler &, decltype(arguments)...>
    {
        try {
            std::invoke(handler, std::forward<decltype(arguments)>(arguments)...);
        } catch (...) {
            HandleError(std::current_exception());
        }
    };
}

// The same for a member function of a receiver, called without the signal's arguments.
template<typename Receiver>
auto Guarded(Receiver *receiver, void (Receiver::*slot)())
{
    return Guarded([receiver, slot] { (receiver->*slot)(); });
}
