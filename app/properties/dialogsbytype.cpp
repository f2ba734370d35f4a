#include "app/properties/dialogsbytype.h"

#include "app/properties/palimorpropertiesdialog.h"
#include "protocol/wire.h"

TPropertiesDialogsByType::TPropertiesDialogsByType()
{
    add(Wire::BuiltInTypeCode, &CreatePalimorForm);
}

void TPropertiesDialogsByType::add(qint64 typeCode, Factory create)
{
    m_factories.insert(typeCode, std::move(create));
}

std::unique_ptr<TPropertiesDialog> TPropertiesDialogsByType::create(qint64 typeCode, QWidget *owner) const
{
    const auto found = m_factories.constFind(typeCode);
    if (found == m_factories.cend() || !*found)
        return nullptr;
    return std::unique_ptr<TPropertiesDialog>((*found)(owner));
}
