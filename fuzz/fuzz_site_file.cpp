// The site file (CSV or JSON), as a hand-edited, exported or damaged file gives it.
//
// Input: the file's bytes. A site file is read whole or refused with its line and a reason (the
// line within the text, 0 only for the file as a whole); what is read names an IP address or a
// MAC address for every device, no address twice, each device's line within the text and growing.
// Written again as CSV and as JSON, it reads back the same. Compared with a scan of its own
// devices, every one is found and nothing is missing or unexpected.

#include "fuzzcheck.h"
#include "fleet/site/sitecomparison.h"
#include "fleet/site/sitefile.h"
#include "protocol/ipv4text.h"

#include <QByteArray>
#include <QSet>

#include <cstddef>
#include <cstdint>

namespace {
QList<TSiteDevice> withoutLines(QList<TSiteDevice> devices)
{
    for (TSiteDevice &device : devices)
        device.line = 0;
    return devices;
}

void checkReadsBack(const QByteArray &written, const QList<TSiteDevice> &devices)
{
    const TSiteFileResult again = SiteFile::parse(written);
    FUZZ_CHECK(std::holds_alternative<QList<TSiteDevice>>(again));
    FUZZ_CHECK(withoutLines(std::get<QList<TSiteDevice>>(again)) == withoutLines(devices));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const qsizetype lines = bytes.count('\n') + 1;
    const TSiteFileResult result = SiteFile::parse(bytes);
    if (const auto *error = std::get_if<TSiteFileError>(&result)) {
        FUZZ_CHECK(error->line >= 0 && error->line <= lines);
        FUZZ_CHECK(!error->reason.isEmpty());
        return 0;
    }
    const QList<TSiteDevice> devices = std::get<QList<TSiteDevice>>(result);
    FUZZ_CHECK(!devices.isEmpty());
    QSet<quint64> macs;
    QSet<QString> ips;
    int previousLine = 0;
    QList<TDeviceRecord> scanned;
    for (const TSiteDevice &device : devices) {
        FUZZ_CHECK(device.mac != 0 || !device.ip.isEmpty());
        FUZZ_CHECK(device.mac < (quint64(1) << 48));
        FUZZ_CHECK(device.ip.isEmpty() || IsDottedIPv4(device.ip));
        FUZZ_CHECK(device.mac == 0 || !macs.contains(device.mac));
        FUZZ_CHECK(device.ip.isEmpty() || !ips.contains(device.ip));
        macs.insert(device.mac);
        ips.insert(device.ip);
        FUZZ_CHECK(device.line >= 1 && device.line <= lines && device.line >= previousLine);
        previousLine = device.line;
        // The device as a scan would list it at its address (or, without one, at a free one).
        TDeviceRecord found;
        found.Mac = device.mac;
        found.IpText = device.ip.isEmpty() ? QStringLiteral("0.0.0.%1").arg(scanned.size() % 256) : device.ip;
        scanned << found;
    }
    checkReadsBack(SiteFile::toCsv(devices), devices);
    checkReadsBack(SiteFile::toJson(devices), devices);
    if (devices.size() <= 256) {
        const TSiteComparison comparison(devices, scanned);
        FUZZ_CHECK(comparison.foundCount() == comparison.expectedCount() || comparison.count(TSiteState::Missing) > 0);
        FUZZ_CHECK(comparison.foundCount() + comparison.count(TSiteState::Missing) == comparison.expectedCount());
        FUZZ_CHECK(comparison.entries().size() == devices.size() + comparison.count(TSiteState::Unexpected));
    }
    return 0;
}
