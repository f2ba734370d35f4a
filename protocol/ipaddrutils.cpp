#include "protocol/ipaddrutils.h"

namespace {
constexpr qsizetype MaxIPStringLength = 15; // 255.255.255.255
constexpr qsizetype NormalizedLength = 12;  // four triplets
constexpr QChar Dot = u'.';
} // namespace

QString ExtractField(const QString &s, int n, QChar sep)
{
    QStringView rest(s);
    QStringView piece;
    for (int i = 0; i < n; ++i) {
        if (rest.isEmpty())
            return QString();
        const qsizetype at = rest.indexOf(sep);
        if (at < 0) {
            piece = rest;
            rest = QStringView();
        } else {
            piece = rest.left(at);
            rest = rest.mid(at + 1);
        }
    }
    return piece.toString();
}

int CountChar(QStringView s, QChar ch)
{
    return static_cast<int>(s.count(ch));
}

QString RemoveChars(const QString &s, QStringView set)
{
    QString result;
    result.reserve(s.size());
    for (QChar c : s)
        if (!set.contains(c))
            result += c;
    return result;
}

bool IsDigitString(QStringView s)
{
    for (QChar c : s)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

QString NormalizeIPString(const QString &s)
{
    if (s.size() > MaxIPStringLength)
        throw EAssertionFailed(QStringLiteral("Illegal length for IPString![%1(%2)]").arg(s, QString::number(s.size())));
    if (CountChar(s, Dot) != 3)
        throw EAssertionFailed(QStringLiteral("Must include exactly 3 dots! [%1]").arg(s));

    QString result;
    for (int n = 1; n <= 4; ++n) {
        const QString piece = ExtractField(s, n, Dot);
        if (piece.isEmpty() || piece.size() > 3)
            throw EIPAddressError(
                QStringLiteral("IPAddress must include 4 pieces of length 1..3. IPAddressString[%1]").arg(s));
        if (piece.size() > 1 && piece.front() == u'0')
            throw EIPAddressError(QStringLiteral("Leading zero not allowed. IPAddressString[%1]").arg(s));
        result += piece.rightJustified(3, u'0');
    }
    return RemoveChars(result, QStringView(&Dot, 1));
}

void CheckNormalizedIP(const QString &norm, const QString &input)
{
    if (norm.size() != NormalizedLength)
        throw EAssertionFailed(
            QStringLiteral("Illegal length for IPString![%1 (Length:%2) ]").arg(input, QString::number(norm.size())));
    for (int n = 1; n <= 4; ++n) {
        const QStringView triplet = QStringView(norm).mid(3 * n - 3, 3);
        if (!IsDigitString(triplet))
            throw EIPAddressError(QStringLiteral("%1. IPAddressString[%2]")
                                      .arg(QStringLiteral("IP Address contains illegal symbols"), input));
        if (triplet.toInt() > 255)
            throw EIPAddressError(QStringLiteral("Triplets must be of range 0..255  IPAddressString[%1]").arg(input));
    }
}

void ValidateIPString(const QString &s)
{
    CheckNormalizedIP(NormalizeIPString(s), s);
}

int GetIPOctet(const QString &s, int n)
{
    const QString norm = NormalizeIPString(s);
    CheckNormalizedIP(norm, s);
    if (n < 1 || n > 4)
        return 0;
    return QStringView(norm).mid(3 * n - 3, 3).toInt();
}

int LastPos(const QString &sub, const QString &text)
{
    if (sub.isEmpty() || sub.size() > text.size())
        return 0;
    const qsizetype index = text.lastIndexOf(sub);
    return index < 0 ? 0 : static_cast<int>(index) + 1;
}
