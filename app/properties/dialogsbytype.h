#pragma once
// TPropertiesDialogsByType: which properties window a device of each type opens, by the type code
// the device reports. The decoding of a type's parameters is no business of the windows: it lives
// in protocol/devicetypes.h, for every front end.

#include <QHash>

#include <functional>
#include <memory>

class QWidget;
class TPropertiesDialog;

class TPropertiesDialogsByType
{
public:
    using Factory = std::function<TPropertiesDialog *(QWidget *owner)>;

    // Knows the built-in type's dialog.
    TPropertiesDialogsByType();

    // Gives the type its dialog; one given before is replaced.
    void add(qint64 typeCode, Factory create);
    bool has(qint64 typeCode) const { return m_factories.contains(typeCode); }
    // A new dialog for a device of that type; null for a type that has none.
    std::unique_ptr<TPropertiesDialog> create(qint64 typeCode, QWidget *owner) const;

private:
    QHash<qint64, Factory> m_factories;
};
