#include "fleet/jobs/rediscovery.h"

#include "protocol/wire.h"

quint64 TRediscovery::keyOf(const TDeviceRecord &device)
{
    quint64 key = 0;
    for (const quint8 byte : device.Address)
        key = (key << 8) | byte;
    return key;
}

QString TRediscovery::versionsText(const TDeviceRecord &device)
{
    return QStringLiteral("firmware %1, kernel %2")
        .arg(device.Params.text(Wire::Param::FirmwareVersion), device.Params.text(Wire::Param::KernelVersion));
}

void TRediscovery::watch(int index, const TDeviceRecord &before, Rule rule, const QDeadlineTimer &deadline, int timeoutSeconds)
{
    Watched watched;
    watched.index = index;
    watched.before = before;
    watched.rule = rule;
    watched.deadline = deadline;
    watched.timeoutSeconds = timeoutSeconds;
    m_watched.insert(keyOf(before), watched);
}

std::optional<TRediscovery::Verdict> TRediscovery::replied(const TDeviceRecord &device)
{
    const auto found = m_watched.find(keyOf(device));
    if (found == m_watched.end())
        return std::nullopt;
    found->answered = found->everAnswered = true;
    found->lastVersions = versionsText(device);
    if (found->rule == Rule::RestartThenAnswer && !found->wentAway)
        return std::nullopt; // still up from before the restart
    const Verdict verdict = settle(*found, &device);
    m_watched.erase(found);
    return verdict;
}

QList<TRediscovery::Verdict> TRediscovery::roundEnded()
{
    QList<Verdict> settled;
    for (auto it = m_watched.begin(); it != m_watched.end();) {
        if (!it->answered)
            it->wentAway = true;
        it->answered = false;
        if (it->deadline.hasExpired()) {
            settled << settle(*it, nullptr);
            it = m_watched.erase(it);
        } else {
            ++it;
        }
    }
    return settled;
}

QList<TRediscovery::Verdict> TRediscovery::stopAll()
{
    QList<Verdict> settled;
    for (const Watched &watched : std::as_const(m_watched)) {
        Verdict verdict;
        verdict.index = watched.index;
        verdict.kind = Verdict::Stopped;
        verdict.message = QStringLiteral("Stopped while waiting for the device to answer again; the upgrade itself was done");
        settled << verdict;
    }
    m_watched.clear();
    return settled;
}

TRediscovery::Verdict TRediscovery::settle(const Watched &watched, const TDeviceRecord *after)
{
    Verdict verdict;
    verdict.index = watched.index;
    const QString before = versionsText(watched.before);
    if (!after) {
        if (watched.rule == Rule::RestartThenAnswer && !watched.wentAway) {
            verdict.kind = Verdict::DidNotRestart;
            verdict.versionsAfter = watched.lastVersions;
            verdict.message = QStringLiteral("Upgraded, but the device did not restart: it answered every scan for %1 s "
                                             "(with %2)")
                                  .arg(watched.timeoutSeconds)
                                  .arg(watched.lastVersions);
        } else {
            verdict.kind = Verdict::NoAnswer;
            verdict.message = watched.rule == Rule::RestartThenAnswer
                                  ? QStringLiteral("Upgraded; the device went away but did not answer a scan again within %1 s")
                                        .arg(watched.timeoutSeconds)
                                  : QStringLiteral("Upgraded, but the device did not answer a scan within %1 s")
                                        .arg(watched.timeoutSeconds);
        }
        return verdict;
    }
    verdict.versionsAfter = versionsText(*after);
    if (watched.rule == Rule::AnswerAgain) {
        // The board's versions say nothing of the controller's image: what the upgrade read back does.
        verdict.message = QStringLiteral("Upgraded; found again with %1: image written and read back equal; the board "
                                         "answered again")
                              .arg(verdict.versionsAfter);
        return verdict;
    }
    const QString firmwareBefore = watched.before.Params.text(Wire::Param::FirmwareVersion);
    const QString firmwareAfter = after->Params.text(Wire::Param::FirmwareVersion);
    if (firmwareAfter == firmwareBefore) {
        verdict.kind = Verdict::SameFirmware;
        verdict.message = QStringLiteral("Warning: restarted, but answered with the same firmware %1 (%2)")
                              .arg(firmwareAfter, verdict.versionsAfter);
        return verdict;
    }
    verdict.message = QStringLiteral("Upgraded; restarted and found again with %1 (before: %2)").arg(verdict.versionsAfter, before);
    return verdict;
}
