#pragma once
// The one warning before a batch changes many devices: the firmware warning's text, the file and
// every device it goes to. Only "Upgrade" lets the batch start; "Return" (the default, and Escape)
// sends nothing.

#include <QDialog>
#include <QStringList>

struct TDeviceRecord;

// A device as the warning lists it: "198.18.1.7  00:50:C2:02:5C:C1  Pump-7".
QString BatchWarningLine(const TDeviceRecord &device);

class TBatchWarning : public QDialog
{
    Q_OBJECT
public:
    // action: what the confirming button says ("Upgrade", "Reset").
    TBatchWarning(const QString &text, const QString &file, const QStringList &devices, const QString &action,
                  QWidget *parent = nullptr);
};
