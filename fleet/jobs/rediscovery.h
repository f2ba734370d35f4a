#pragma once
// TRediscovery: what the scans after a firmware upgrade prove about each upgraded device. The
// confirming scans run in rounds; each reply is looked up by the device's address record.
//
// After a board upgrade the board restarts: its device must first miss a whole round (it went
// away), then answer again; one that answers every round until the deadline did not restart. The
// versions it answers with are compared with those before: the same firmware is a warning, not a
// plain success. After a controller upgrade the board stays up: answering again is what is
// proven, beside the image written and read back equal.

#include "protocol/devicerecord.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

class TRediscovery
{
public:
    enum class Rule {
        AnswerAgain,      // controller upgrade: the board answers a scan again
        RestartThenAnswer // board upgrade: the device goes away, then answers again
    };

    struct Verdict
    {
        enum Kind { Confirmed, SameFirmware, DidNotRestart, NoAnswer, Stopped };
        int index = -1; // the device's index in the batch
        Kind kind = Confirmed;
        QString versionsAfter; // as the device answered, when it did
        QString message;       // the Status column's text
        bool succeeded() const { return kind == Confirmed || kind == SameFirmware; }
        bool warning() const { return kind == SameFirmware; }
    };

    // Watches a device from now on; before is the record the batch started with.
    void watch(int index, const TDeviceRecord &before, Rule rule, const QDeadlineTimer &deadline, int timeoutSeconds);
    bool isEmpty() const { return m_watched.isEmpty(); }
    qsizetype size() const { return m_watched.size(); }

    // A discovery reply of a device (any device; those not watched are ignored): a verdict when it
    // settles a watched device.
    std::optional<Verdict> replied(const TDeviceRecord &device);
    // A round of scanning ended: the devices that did not answer in it went away; those whose
    // deadline passed are settled.
    QList<Verdict> roundEnded();
    // Stop: every watched device is settled as stopped.
    QList<Verdict> stopAll();

    // "firmware 3.0.5, kernel 4.19.105": the versions a device reports.
    static QString versionsText(const TDeviceRecord &device);

private:
    struct Watched
    {
        int index = -1;
        TDeviceRecord before;
        Rule rule = Rule::AnswerAgain;
        QDeadlineTimer deadline;
        int timeoutSeconds = 0;
        bool wentAway = false;
        bool answered = false;        // in the current round
        bool everAnswered = false;
        QString lastVersions;
    };
    Verdict settle(const Watched &watched, const TDeviceRecord *after);
    static quint64 keyOf(const TDeviceRecord &device);

    QHash<quint64, Watched> m_watched; // by address record
};
