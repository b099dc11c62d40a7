#pragma once

#include <QObject>
#include <QSharedPointer>

class Settings;

// The settings pages' object. Its signals are what the core controller wires
// the kill switch, ad blocking and the bypass list to; the pages' questions
// and toggles arrive with the settings pages.
class SettingsController : public QObject
{
    Q_OBJECT
public:
    explicit SettingsController(QSharedPointer<Settings> settings, QObject *parent = nullptr);

signals:
    void killSwitchToggled(bool enabled);
    void adBlockToggled(bool enabled);
    void bypassListChanged();
    void trustedNetworksChanged();

private:
    QSharedPointer<Settings> m_settings;
};
