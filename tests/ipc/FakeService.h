#pragma once

// The service's remote objects played inside a test program: records what the
// client asks and answers as the test says. The peer check must be pointed at
// the test program (trustThisProcessAsService()).

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QPair>
#include <QRemoteObjectHost>
#include <QScopedPointer>
#include <QStringList>

#include <QProcess>
#include <QPointer>

#include "rep_ipc_interface_source.h"
#include "rep_ipc_process_interface_source.h"

class FakeProcess : public IpcProcessInterfaceSource
{
    Q_OBJECT
public:
    int program = -1;
    QStringList arguments;
    QStringList calls;
    // When set, program 0 really runs this OpenVPN executable with the
    // arguments the client gave (less the service's own switches).
    QString openVpn;

    void start() override;
    void close() override;
    void kill() override;
    void setArguments(const QStringList &value) override { arguments = value; }
    void setInputChannelMode(QProcess::InputChannelMode) override { }
    void setNativeArguments(const QString &) override { }
    void setProcessChannelMode(QProcess::ProcessChannelMode) override { }
    void setProgram(int programId) override { program = programId; }
    void setWorkingDirectory(const QString &) override { }
    QByteArray readAll() override { return {}; }
    QByteArray readAllStandardError() override { return {}; }
    QByteArray readAllStandardOutput() override { return {}; }
    ~FakeProcess() override;

private:
    QPointer<QProcess> m_real;
};

class FakeIpcService : public IpcInterfaceSource
{
    Q_OBJECT
public:
    // The URL the host listens on; processes get "<url>_<n>".
    explicit FakeIpcService(const QString &url, QObject *parent = nullptr);
    ~FakeIpcService() override;

    void startHost();
    void stopHost();
    bool hosting() const { return !m_host.isNull(); }

    bool lockdownAnswer = true;
    QList<bool> lockdownCalls;
    QList<bool> logCalls;
    int clearLogCalls = 0;
    int disableKillSwitchCalls = 0;
    QList<QPair<int, QJsonObject>> killSwitchCalls;
    QList<QJsonObject> peerTrafficCalls;
    QMap<int, FakeProcess *> processes;
    // Handed to every process made from now on.
    QString openVpn;

    int createPrivilegedProcess() override;
    void cleanUp() override { }
    void setLogsEnabled(bool enabled) override { logCalls << enabled; }
    void clearLogs() override { ++clearLogCalls; }
    bool disableKillSwitch() override
    {
        ++disableKillSwitchCalls;
        return true;
    }
    bool enablePeerTraffic(const QJsonObject &config) override
    {
        peerTrafficCalls << config;
        return true;
    }
    bool enableKillSwitch(int index, const QJsonObject &config) override
    {
        killSwitchCalls << qMakePair(index, config);
        return true;
    }
    bool setLockdown(bool enabled) override
    {
        lockdownCalls << enabled;
        emit lockdownAsked(enabled);
        return enabled ? lockdownAnswer : true;
    }

signals:
    void lockdownAsked(bool enabled);

private:
    QString m_url;
    QScopedPointer<QRemoteObjectHost> m_host;
    QList<QRemoteObjectHost *> m_processHosts;
    int m_nextProcess = 7;
};
