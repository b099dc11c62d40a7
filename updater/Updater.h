#pragma once

#include <QObject>
#include <QString>

// Downloads and verifies an installer and hands it to the elevated install
// step. The download is not built yet: a start fails at once and says so.
// What survives a restart for an update (reconnect after it, the version
// last run) is kept here already, because start-up reads it.
class Updater : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
public:
    explicit Updater(QObject *parent = nullptr);

    int progress() const { return 0; }
    bool busy() const { return false; }

    Q_INVOKABLE QString justUpdatedTo();
    Q_INVOKABLE void setReconnectAfterUpdate(bool reconnect);
    Q_INVOKABLE bool takeReconnectAfterUpdate();

signals:
    void progressChanged();
    void busyChanged();
    void started();
    void installing();
    void installed();
    void failed(QString message);

public slots:
    void start(QString installerUrl, QString sha256, QString updateType);
    void cancel();
};
