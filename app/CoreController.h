#pragma once

#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

class QQmlApplicationEngine;
class Settings;
class VpnConnection;

// Builds the client's object graph, publishes it to QML under fixed names and
// owns it until exit. Also carries the silent sign-in at start, the update
// check with its retry, and the log-folder actions.
class CoreController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isUpdateAvailable READ isUpdateAvailable NOTIFY updateStateChanged)
public:
    CoreController(QQmlApplicationEngine *engine, QSharedPointer<VpnConnection> vpnConnection,
                   QSharedPointer<Settings> settings, QObject *parent = nullptr);
    ~CoreController() override;

    bool isUpdateAvailable() const { return m_isUpdateAvailable; }

    void autoAuthenticate();
    // Removes every object this controller published from the QML root context,
    // so no binding reaches an object that is about to be destroyed.
    void clearContextObjects();

    // The names under which objects are published to QML.
    static QStringList contextObjectNames();

signals:
    void authenticated(QString token, QString state);
    void loginLinkReceived(QString code);
    void autoLogin(QString userEmail);
    void updateAvailable(QString downloadUrl, QString updateType, QString installerUrl, QString sha256);
    void noUpdateAvailable();
    void updateStateChanged();
    void errorOccurred();

public slots:
    void parseResponse(QByteArray data, int statusCode);
    void onErrorOccurred();

public:
    Q_INVOKABLE void checkUpdates();
    Q_INVOKABLE void update(QString downloadUrl, QString updateType);
    Q_INVOKABLE QString appVersion() const;
    Q_INVOKABLE void disableConnectOptions();
    Q_INVOKABLE void openClientLogsFolder();
    Q_INVOKABLE void openServiceLogsFolder();
    Q_INVOKABLE void clearLogs();

private:
    void loadFonts();
    void publish(const char *name, QObject *object);

    QPointer<QQmlApplicationEngine> m_engine;
    QSharedPointer<VpnConnection> m_vpnConnection;
    QSharedPointer<Settings> m_settings;
    QTimer m_updateRetryTimer;
    bool m_isUpdateAvailable = false;
};
