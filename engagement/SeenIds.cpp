#include "engagement/SeenIds.h"

#include <QVariant>

#include "app/Settings.h"

SeenIds::SeenIds(QSharedPointer<Settings> settings, const QString &key)
    : m_settings(std::move(settings)), m_key(key)
{
}

QStringList SeenIds::ids() const
{
    const QVariant value = m_settings->value(m_key);
    // One id alone comes back from an INI-style store as a plain string.
    if (value.typeId() == QMetaType::QString)
        return value.toString().isEmpty() ? QStringList() : QStringList{value.toString()};
    if (value.typeId() != QMetaType::QStringList && value.typeId() != QMetaType::QVariantList)
        return {};
    QStringList ids;
    for (const QVariant &id : value.toList()) {
        if (id.typeId() == QMetaType::QString && !id.toString().isEmpty())
            ids.append(id.toString());
    }
    return ids;
}

bool SeenIds::contains(const QString &id) const
{
    return ids().contains(id);
}

bool SeenIds::add(const QString &id)
{
    QStringList list = ids();
    if (id.isEmpty() || list.contains(id))
        return false;
    list.append(id);
    while (list.size() > kMaxIds)
        list.removeFirst();
    m_settings->setValue(m_key, list);
    return true;
}
