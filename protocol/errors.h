#pragma once
// Errors that leave an operation: the window that started it, or the application's
// general handler, shows their message.

#include <QString>

#include <stdexcept>

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
