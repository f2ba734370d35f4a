#pragma once
// The communication board's firmware upgrade: the image is uploaded to the board's own FTP server
// under its bare name, then the board stops that server and upgrades itself from it.

#include "deviceoperation.h"

#include <atomic>

class TFtpClient;

class TBoardUpgrade : public TDeviceOperation
{
    Q_OBJECT
public:
    ~TBoardUpgrade() override { stopWorker(); }
    TBoardUpgrade(TServeur *engine, const TDeviceTarget &target, const QString &fileName,
                  const TOperationTiming &timing = {}, QObject *parent = nullptr);
    QString title() const override { return QStringLiteral("Communication board upgrade"); }
    bool needsConfirmation() const override { return true; }
    const QString &fileName() const { return m_fileName; }
    // The FTP client while the upload runs on the worker thread, nullptr otherwise. For showing
    // that an upload is under way; never to be called from another thread.
    TFtpClient *ftpClient() const { return m_ftp.load(); }

signals:
    // The image is on the board and the FTP session closed; the board's steps follow.
    void uploaded();

protected:
    void run(TDeviceSession &session) override;

private:
    QString m_fileName;
    std::atomic<TFtpClient *> m_ftp{nullptr};
};
