#pragma once
// TFirmwareImage: an image file read once. A run over many devices sends every one of them the
// same bytes (shared, not copied), and the SHA-256 recorded for each is that of the bytes sent.

#include <QByteArray>
#include <QString>

class TFirmwareImage
{
public:
    TFirmwareImage() = default;
    // Reads the whole file; raises TarvinoError with the system's words when it cannot.
    static TFirmwareImage read(const QString &fileName);

    bool isNull() const { return m_fileName.isEmpty(); }
    const QString &fileName() const { return m_fileName; }
    const QByteArray &bytes() const { return m_bytes; }
    const QString &sha256() const { return m_sha256; }

private:
    QString m_fileName;
    QByteArray m_bytes;
    QString m_sha256;
};
