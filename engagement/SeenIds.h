#pragma once

#include <QSharedPointer>
#include <QString>
#include <QStringList>

class Settings;

// A bounded list of ids kept in the settings under one key: the messages
// already shown, the notifications already shown or read. Kept across runs,
// so what was shown once stays shown once; only the newest kMaxIds are kept,
// so a long-lived profile doesn't grow without end. Values that are not a
// list of strings (a damaged or older profile) read as an empty list.
class SeenIds
{
public:
    static constexpr int kMaxIds = 500;

    SeenIds(QSharedPointer<Settings> settings, const QString &key);

    bool contains(const QString &id) const;
    // Adds the id as the newest; false when it was there already.
    bool add(const QString &id);
    QStringList ids() const;

private:
    QSharedPointer<Settings> m_settings;
    QString m_key;
};
