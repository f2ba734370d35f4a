#pragma once
// The dialog of Scan address range...: the ranges to sweep (the last ones offered again), the rate
// and whether silent addresses are asked over TCP. The ranges are checked as they are typed and
// OK stays off until they can be swept: nothing is sent for a range that would be refused.

#include "protocol/addressrange.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QSpinBox;

class TRangeScanDialog : public QDialog
{
    Q_OBJECT
public:
    // context: what the ranges are checked against (the PC's adapters and routes).
    explicit TRangeScanDialog(const TSweepContext &context, QWidget *parent = nullptr);

    // Valid once accepted.
    const QList<TAddressRange> &ranges() const { return m_ranges; }
    QString rangeText() const;
    int rate() const;
    bool askOverTcp() const;

    // The last ranges, rate and TCP choice, kept between runs of the program.
    void restoreSettings();
    void saveSettings() const;

    static constexpr int RememberedRanges = 8;

private:
    void check();

    TSweepContext m_context;
    QList<TAddressRange> m_ranges;
    QComboBox *m_rangeEdit;
    QSpinBox *m_rate;
    QCheckBox *m_tcp;
    QLabel *m_problem;
    QDialogButtonBox *m_buttons;
};
