// The firmware library's manifest (library.json), as a hand-edited or damaged file gives it.
//
// Input: the manifest's bytes. A manifest is read whole or refused with "line N: reason" (N a line
// of the text), and a refusal leaves what the caller held untouched: never half loaded. What is
// read is fit (every entry passes the library's own check, no file twice) and comes back the same
// after it is written and read again, the fields this program does not know included. Any two
// versions of it compare both ways alike.

#include "fleet/firmware/firmwarelibrary.h"
#include "fleet/firmware/firmwareversion.h"
#include "fuzzcheck.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QRegularExpression>
#include <QSet>

#include <cstddef>
#include <cstdint>

namespace {
void checkVersions(const QString &a, const QString &b)
{
    const std::optional<int> forward = CompareVersions(a, b);
    const std::optional<int> backward = CompareVersions(b, a);
    FUZZ_CHECK(forward.has_value() == backward.has_value());
    if (forward) {
        FUZZ_CHECK(*forward == -*backward);
        FUZZ_CHECK(CompareVersions(a, a) == 0);
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    // What the caller held before: a refusal must leave it as it was.
    TLibraryImage sentinel;
    sentinel.file = QStringLiteral("held.bin");
    QList<TLibraryImage> images{sentinel};
    QJsonObject rest{{QStringLiteral("held"), true}};
    QString error;
    if (!TFirmwareLibrary::parseManifest(bytes, &images, &rest, &error)) {
        FUZZ_CHECK(images.size() == 1 && images.first() == sentinel);
        FUZZ_CHECK(rest == QJsonObject({{QStringLiteral("held"), true}}));
        static const QRegularExpression lineReason(QStringLiteral("^line ([0-9]+): .+"),
                                                   QRegularExpression::DotMatchesEverythingOption);
        const QRegularExpressionMatch match = lineReason.match(error);
        FUZZ_CHECK(match.hasMatch());
        const qsizetype line = match.captured(1).toLongLong();
        FUZZ_CHECK(line >= 1 && line <= bytes.count('\n') + 1);
        return 0;
    }
    QSet<QString> files;
    for (const TLibraryImage &image : std::as_const(images)) {
        FUZZ_CHECK(TFirmwareLibrary::entryProblem(image).isEmpty());
        FUZZ_CHECK(!files.contains(image.file.toLower()));
        files.insert(image.file.toLower());
        FUZZ_CHECK(image.sha256 == image.sha256.toLower());
        FUZZ_CHECK(!rest.contains(QStringLiteral("format")) && !rest.contains(QStringLiteral("images")));
    }
    // Written and read again: the same images and the same unknown fields.
    const QByteArray written = TFirmwareLibrary::manifestBytes(images, rest);
    QList<TLibraryImage> again;
    QJsonObject restAgain;
    FUZZ_CHECK(TFirmwareLibrary::parseManifest(written, &again, &restAgain, &error));
    FUZZ_CHECK(again == images);
    FUZZ_CHECK(restAgain == rest);
    for (qsizetype i = 0; i + 1 < images.size() && i < 8; ++i)
        checkVersions(images.at(i).version, images.at(i + 1).version);
    return 0;
}
