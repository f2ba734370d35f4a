#include "operations/boardupgrade.h"

#include "operations/devicesession.h"
#include "ftp/ftpclient.h"
#include "protocol/wire.h"

#include <QScopeGuard>

TBoardUpgrade::TBoardUpgrade(TDatagramEngine *engine, const TDeviceTarget &target, const QString &fileName,
                             const TOperationTiming &timing, QObject *parent)
    : TDeviceOperation(engine, target, timing, parent), m_fileName(fileName)
{
}

TBoardUpgrade::TBoardUpgrade(TDatagramEngine *engine, const TDeviceTarget &target, const TFirmwareImage &image,
                             const TOperationTiming &timing, QObject *parent)
    : TDeviceOperation(engine, target, timing, parent), m_fileName(image.fileName()), m_image(image)
{
}

void TBoardUpgrade::run(TDeviceSession &session)
{
    // Read once, before anything is sent: the bytes uploaded and recorded are the same ones.
    if (m_image.isNull())
        m_image = TFirmwareImage::read(m_fileName);
    session.outcome().sentSha256 = m_image.sha256();
    if (RefusedForDeviceType(session, m_image, m_deviceType))
        return;
    session.flushArp();
    // A board whose server did not start would turn the connection away: do not try.
    if (!session.step(Wire::Command::StartFtpServer) || session.cancelled()) {
        session.restoreService();
        return;
    }

    try {
        TFtpClient ftp(nullptr, session.timing().ftp);
        m_ftp = &ftp;
        const auto forget = qScopeGuard([this] { m_ftp = nullptr; });
        qint64 total = 0;
        connect(&ftp, &TFtpClient::workBegan, &ftp, [this, &total](qint64 bytes) {
            total = bytes;
            emit transferStarted(bytes);
        });
        connect(&ftp, &TFtpClient::workProgressed, &ftp, [this, &total](qint64 done) { emit progressed(done, total); });
        connect(&ftp, &TFtpClient::workEnded, &ftp, [this] { emit transferEnded(); });

        session.mark(QStringLiteral("FTP login")); // the window keeps showing the step meanwhile
        ftp.ConnectAndLogin(session.ip(), Wire::FtpPort, QString::fromLatin1(Wire::FtpUser),
                            QString::fromLatin1(Wire::FtpPassword));
        // The board upgrades from a file in its server's own directory: the folders of the
        // local path mean nothing there.
        const QString remoteName = Ftp::bareFileName(m_fileName);
        session.phase(QStringLiteral("Downloading ") + remoteName);
        // A board that never had the file answers with an error: nothing to remove then.
        session.outcome().deviceChanged = true;
        ftp.Delete(remoteName);
        ftp.Store(m_image.bytes(), m_fileName, remoteName);
        ftp.Quit();
        session.log(QStringLiteral("%1 stored on the board").arg(remoteName));
        emit uploaded();
    } catch (...) {
        // The board's FTP server is not left running; the FTP error goes on to the caller.
        session.restoreService();
        throw;
    }

    // The board is told to upgrade only once its FTP server no longer takes files.
    if (!session.step(Wire::Command::StopFtpServer) || !session.step(Wire::Command::SystemUpgrade))
        return;
    session.succeed();
}
