#pragma once
// The command side of the communication board's FTP server: one control connection,
// lines in, replies out. Active mode only: the data connection is made by the server to
// the endpoint that PORT named. The sockets are the server's business (simserver).

#include <QByteArray>
#include <QList>

#include <functional>
#include <optional>

namespace DevSim {

class FtpSession
{
public:
    struct Store
    {
        quint32 host = 0;
        quint16 port = 0;
        QByteArray name;
    };
    struct Outcome
    {
        QList<QByteArray> replies; // each without its CR LF
        std::optional<Store> store; // connect to the endpoint and receive the file
        bool close = false;
    };

    FtpSession(QByteArray user, QByteArray password, bool logInAtUser, bool end426);

    // Removes a stored file; false when there is none of that name.
    std::function<bool(const QByteArray &name)> deleteFile;

    QByteArray greeting() const;
    Outcome command(const QByteArray &line); // one line, CR LF removed
    // The data connection could not be made.
    QList<QByteArray> dataConnectionFailed();
    // The data connection closed: complete, or broken.
    QList<QByteArray> transferEnded(bool complete);

    bool loggedIn() const { return m_loggedIn; }
    bool transferring() const { return m_transferring; }

    // The name under which a file is stored: the last path component.
    static QByteArray bareName(const QByteArray &path);

private:
    QByteArray m_user;
    QByteArray m_password;
    bool m_logInAtUser;
    bool m_end426;
    QByteArray m_givenUser;
    bool m_userGiven = false;
    bool m_loggedIn = false;
    bool m_transferring = false;
    std::optional<std::pair<quint32, quint16>> m_port;
};

} // namespace DevSim
