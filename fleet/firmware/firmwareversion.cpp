#include "fleet/firmware/firmwareversion.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace {
struct ParsedVersion
{
    QStringList numbers; // without leading zeros
    QString tail;
};

std::optional<ParsedVersion> parseVersion(const QString &text)
{
    static const QRegularExpression leading(QStringLiteral("^([0-9]+(?:\\.[0-9]+)*)(.*)$"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = leading.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    ParsedVersion version;
    for (QString part : match.captured(1).split(QLatin1Char('.'))) {
        while (part.size() > 1 && part.startsWith(QLatin1Char('0')))
            part.remove(0, 1);
        version.numbers << part;
    }
    version.tail = match.captured(2);
    return version;
}

// Numbers of any length, without leading zeros: the longer is the greater.
int compareNumbers(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : a == b ? 0 : 1;
}
} // namespace

bool IsPlainVersion(const QString &text)
{
    const auto version = parseVersion(text);
    return version && version->tail.isEmpty() && text == text.trimmed();
}

std::optional<int> CompareVersions(const QString &a, const QString &b)
{
    const auto x = parseVersion(a);
    const auto y = parseVersion(b);
    if (!x || !y)
        return std::nullopt;
    const qsizetype parts = std::max(x->numbers.size(), y->numbers.size());
    for (qsizetype i = 0; i < parts; ++i) {
        const int order = compareNumbers(x->numbers.value(i, QStringLiteral("0")), y->numbers.value(i, QStringLiteral("0")));
        if (order != 0)
            return order;
    }
    if (x->tail == y->tail)
        return 0;
    if (x->tail.isEmpty() || y->tail.isEmpty())
        return x->tail.isEmpty() ? 1 : -1; // a release after its pre-releases
    return x->tail.compare(y->tail) < 0 ? -1 : 1;
}
