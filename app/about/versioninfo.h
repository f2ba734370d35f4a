#pragma once
// TVersionInfo: the texts of an executable's version record.

#include <QObject>
#include <QString>

class TVersionRecord;

// What every property holds when the file has no version record, and what the four
// version parts hold when FileVersion cannot be split.
inline const QString InfoNotAvailable = QStringLiteral("<info not available>");

struct TFileVersionParts
{
    QString major;
    QString minor;
    QString release;
    QString build;

    bool operator==(const TFileVersionParts &) const = default;
};

// Splits a file version into its four parts at ".", or at "," when it holds no ".".
// An empty version, or one with neither character, gives InfoNotAvailable in all four.
// Parts are trimmed ("1, 0, 0, 0" is the usual comma form); a version of fewer than
// four parts leaves the missing ones empty, and one of more keeps the rest in build.
TFileVersionParts SplitFileVersion(const QString &fileVersion);

class TVersionInfo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString CompanyName READ CompanyName CONSTANT)
    Q_PROPERTY(QString FileDescription READ FileDescription CONSTANT)
    Q_PROPERTY(QString FileVersion READ FileVersion CONSTANT)
    Q_PROPERTY(QString Internalname READ Internalname CONSTANT)
    Q_PROPERTY(QString LegalCopyright READ LegalCopyright CONSTANT)
    Q_PROPERTY(QString LegalTradeMarks READ LegalTradeMarks CONSTANT)
    Q_PROPERTY(QString OriginalFilename READ OriginalFilename CONSTANT)
    Q_PROPERTY(QString ProductName READ ProductName CONSTANT)
    Q_PROPERTY(QString ProductVersion READ ProductVersion CONSTANT)
    Q_PROPERTY(QString Comments READ Comments CONSTANT)
    Q_PROPERTY(QString MajorVersion READ MajorVersion CONSTANT)
    Q_PROPERTY(QString MinorVersion READ MinorVersion CONSTANT)
    Q_PROPERTY(QString Release READ Release CONSTANT)
    Q_PROPERTY(QString Build READ Build CONSTANT)

public:
    // Reads the record of the running program's own file.
    explicit TVersionInfo(QObject *owner = nullptr);

    // Fills the properties from the version record of an executable file.
    Q_INVOKABLE void GetInfo(const QString &fileName);
    // The same from a record already loaded.
    void GetInfo(const TVersionRecord &record);

    QString CompanyName() const { return m_companyName; }
    QString FileDescription() const { return m_fileDescription; }
    QString FileVersion() const { return m_fileVersion; }
    QString Internalname() const { return m_internalName; }
    QString LegalCopyright() const { return m_legalCopyright; }
    QString LegalTradeMarks() const { return m_legalTradeMarks; }
    QString OriginalFilename() const { return m_originalFilename; }
    QString ProductName() const { return m_productName; }
    QString ProductVersion() const { return m_productVersion; }
    QString Comments() const { return m_comments; }
    QString MajorVersion() const { return m_parts.major; }
    QString MinorVersion() const { return m_parts.minor; }
    QString Release() const { return m_parts.release; }
    QString Build() const { return m_parts.build; }

    // The file of the running program (empty when there is no application object
    // and the system cannot tell).
    static QString ProgramFileName();

private:
    QString m_companyName;
    QString m_fileDescription;
    QString m_fileVersion;
    QString m_internalName;
    QString m_legalCopyright;
    QString m_legalTradeMarks;
    QString m_originalFilename;
    QString m_productName;
    QString m_productVersion;
    QString m_comments;
    TFileVersionParts m_parts;
};
