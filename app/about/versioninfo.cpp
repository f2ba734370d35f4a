#include "app/about/versioninfo.h"

#include "app/about/versionrecord.h"

#include <QCoreApplication>
#include <QtEndian>

#include <array>

namespace {

// The string keys in the order they are read; "InternalName" fills Internalname.
enum Key { Company, Description, Version, Internal, Copyright, Trademarks, Original, Product,
           ProductVer, CommentsKey, KeyCount };
constexpr std::array<const char16_t *, KeyCount> keyNames{
    u"CompanyName", u"FileDescription", u"FileVersion", u"InternalName", u"LegalCopyright",
    u"LegalTradeMarks", u"OriginalFilename", u"ProductName", u"ProductVersion", u"Comments"};

QString hex4(quint16 value)
{
    return QString::number(value, 16).toUpper().rightJustified(4, u'0');
}

} // namespace

TFileVersionParts SplitFileVersion(const QString &fileVersion)
{
    const TFileVersionParts notAvailable{InfoNotAvailable, InfoNotAvailable, InfoNotAvailable,
                                         InfoNotAvailable};
    QChar separator;
    if (fileVersion.contains(u'.'))
        separator = u'.';
    else if (fileVersion.contains(u','))
        separator = u',';
    else
        return notAvailable;

    std::array<QString, 4> parts;
    QStringView rest(fileVersion);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const qsizetype at = i + 1 < parts.size() ? rest.indexOf(separator) : -1;
        if (at < 0) {
            parts[i] = rest.trimmed().toString();
            break;
        }
        parts[i] = rest.first(at).trimmed().toString();
        rest = rest.sliced(at + 1);
    }
    return {parts[0], parts[1], parts[2], parts[3]};
}

TVersionInfo::TVersionInfo(QObject *owner)
    : QObject(owner)
{
    GetInfo(ProgramFileName());
}

QString TVersionInfo::ProgramFileName()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
#ifdef Q_OS_LINUX
    return QStringLiteral("/proc/self/exe");
#else
    return {};
#endif
}

void TVersionInfo::GetInfo(const QString &fileName)
{
    GetInfo(TVersionRecord::fromFile(fileName));
}

void TVersionInfo::GetInfo(const TVersionRecord &record)
{
    const std::array<QString *, KeyCount> targets{
        &m_companyName, &m_fileDescription, &m_fileVersion, &m_internalName, &m_legalCopyright,
        &m_legalTradeMarks, &m_originalFilename, &m_productName, &m_productVersion, &m_comments};

    if (record.size() == 0) {
        for (QString *target : targets)
            *target = InfoNotAvailable;
        m_parts = {InfoNotAvailable, InfoNotAvailable, InfoNotAvailable, InfoNotAvailable};
        return;
    }

    // The first entry of the translation table picks the string table. A record
    // without one reads the table 00000000, which normally does not exist, so every
    // string comes back empty.
    quint16 language = 0;
    quint16 codePage = 0;
    const auto translation = record.queryValue(u"\\\\VarFileInfo\\\\Translation");
    if (translation && translation->size() >= 4) {
        const auto *words = reinterpret_cast<const uchar *>(translation->constData());
        language = qFromLittleEndian<quint16>(words);
        codePage = qFromLittleEndian<quint16>(words + 2);
    }

    const QString prefix =
        QStringLiteral("\\\\StringFileInfo\\\\") + hex4(language) + hex4(codePage) + QStringLiteral("\\\\");
    for (int key = 0; key < KeyCount; ++key)
        *targets[std::size_t(key)] =
            record.queryString(prefix + QString::fromUtf16(keyNames[std::size_t(key)])).value_or(QString());

    if (m_fileVersion.isEmpty())
        m_parts = {InfoNotAvailable, InfoNotAvailable, InfoNotAvailable, InfoNotAvailable};
    else
        m_parts = SplitFileVersion(m_fileVersion);
}
