#pragma once
// The communication board's firmware upgrade: the image is uploaded to the board's own FTP server
// under its bare name, then the board stops that server and upgrades itself from it.

#include "operations/deviceoperation.h"
#include "operations/firmwareimage.h"

#include <atomic>

class TFtpClient;

class TBoardUpgrade final : public TDeviceOperation
{
    Q_OBJECT
public:
    ~TBoardUpgrade() override { stopWorker(); }
    // The file is read when the operation runs.
    TBoardUpgrade(TDatagramEngine *engine, const TDeviceTarget &target, const QString &fileName,
                  const TOperationTiming &timing = {}, QObject *parent = nullptr);
    // An image read once for a whole run of devices.
    TBoardUpgrade(TDatagramEngine *engine, const TDeviceTarget &target, const TFirmwareImage &image,
                  const TOperationTiming &timing = {}, QObject *parent = nullptr);
    QString payloadSha256() const override { return m_image.sha256(); }
    QString title() const override { return QStringLiteral("Communication board upgrade"); }
    bool needsConfirmation() const override { return true; }
    const QString &fileName() const { return m_fileName; }
    // The image, once read (at once for an image given, when the operation runs for a file name).
    const TFirmwareImage &image() const { return m_image; }
    // The type of the device, from its discovery record: a library image is sent only to a
    // device of one of its types, and to none when this was not given.
    void setDeviceType(const TDeviceTypeId &type) { m_deviceType = type; }
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
    TFirmwareImage m_image;
    std::optional<TDeviceTypeId> m_deviceType;
    std::atomic<TFtpClient *> m_ftp{nullptr};
};
