#include "devsim/ftpsession.h"

namespace DevSim {

FtpSession::FtpSession(QByteArray user, QByteArray password, bool logInAtUser, bool end426)
    : m_user(std::move(user))
    , m_password(std::move(password))
    , m_logInAtUser(logInAtUser)
    , m_end426(end426)
{
}

QByteArray FtpSession::greeting() const
{
    return "220 Communication board FTP server ready.";
}

QByteArray FtpSession::bareName(const QByteArray &path)
{
    const qsizetype cut = std::max(path.lastIndexOf('/'), path.lastIndexOf('\\'));
    QByteArray name = path.mid(cut + 1);
    if (name == "." || name == "..")
        return {};
    return name;
}

FtpSession::Outcome FtpSession::command(const QByteArray &line)
{
    Outcome out;
    const qsizetype space = line.indexOf(' ');
    const QByteArray verb = (space < 0 ? line : line.left(space)).toUpper();
    const QByteArray argument = space < 0 ? QByteArray() : line.mid(space + 1);
    auto reply = [&](const char *text) { out.replies << QByteArray(text); };

    if (m_transferring && verb != "QUIT" && verb != "NOOP") {
        reply("450 Transfer in progress.");
        return out;
    }
    if (verb == "USER") {
        m_givenUser = argument;
        m_userGiven = true;
        m_loggedIn = false;
        if (m_logInAtUser && argument == m_user) {
            m_loggedIn = true;
            reply("230 Login successful.");
        } else {
            reply("331 Please specify the password.");
        }
    } else if (verb == "PASS") {
        if (!m_userGiven) {
            reply("503 Login with USER first.");
        } else if (m_loggedIn) {
            reply("230 Already logged in.");
        } else if (m_givenUser == m_user && argument == m_password) {
            m_loggedIn = true;
            reply("230 Login successful.");
        } else {
            reply("530 Login incorrect.");
        }
    } else if (verb == "QUIT") {
        reply("221 Goodbye.");
        out.close = true;
    } else if (verb == "SYST") {
        reply("215 UNIX Type: L8");
    } else if (verb == "NOOP") {
        reply("200 NOOP ok.");
    } else if (!m_loggedIn) {
        reply("530 Please login with USER and PASS.");
    } else if (verb == "TYPE") {
        const QByteArray type = argument.trimmed().toUpper();
        if (type == "I")
            reply("200 Switching to Binary mode.");
        else if (type == "A")
            reply("200 Switching to ASCII mode.");
        else
            reply("504 Type not supported.");
    } else if (verb == "PWD") {
        reply("257 \"/\" is the current directory");
    } else if (verb == "CWD") {
        if (argument == "/" || argument == "." || argument.isEmpty())
            reply("250 Directory successfully changed.");
        else
            reply("550 Failed to change directory.");
    } else if (verb == "DELE") {
        const QByteArray name = bareName(argument);
        if (!name.isEmpty() && deleteFile && deleteFile(name))
            reply("250 Delete operation successful.");
        else
            reply("550 Delete operation failed.");
    } else if (verb == "PORT") {
        const QList<QByteArray> numbers = argument.trimmed().split(',');
        bool ok = numbers.size() == 6;
        quint32 host = 0;
        quint16 port = 0;
        for (qsizetype i = 0; ok && i < 6; ++i) {
            const uint value = numbers.at(i).trimmed().toUInt(&ok);
            ok = ok && value <= 255;
            if (i < 4)
                host = (host << 8) | value;
            else
                port = quint16((port << 8) | value);
        }
        if (ok && port != 0) {
            m_port = std::pair(host, port);
            reply("200 PORT command successful.");
        } else {
            reply("501 Illegal PORT command.");
        }
    } else if (verb == "STOR") {
        const QByteArray name = bareName(argument);
        if (name.isEmpty()) {
            reply("553 Could not create file.");
        } else if (!m_port) {
            reply("425 Use PORT first.");
        } else {
            out.store = Store{m_port->first, m_port->second, name};
            m_port.reset();
            m_transferring = true;
            reply("150 Ok to send data.");
        }
    } else if (verb == "PASV" || verb == "EPSV" || verb == "EPRT" || verb == "LPRT" || verb == "LPSV") {
        reply("502 Only active mode (PORT) is supported.");
    } else {
        reply("502 Command not implemented.");
    }
    return out;
}

QList<QByteArray> FtpSession::dataConnectionFailed()
{
    m_transferring = false;
    return {"425 Failed to establish connection."};
}

QList<QByteArray> FtpSession::transferEnded(bool complete)
{
    m_transferring = false;
    if (!complete)
        return {"426 Connection closed; transfer aborted."};
    if (m_end426)
        return {"426 Transfer ended early.", "226 Transfer complete."};
    return {"226 Transfer complete."};
}

} // namespace DevSim
