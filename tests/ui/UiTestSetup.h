#pragma once

#include <QObject>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QScopedPointer>
#include <QSharedPointer>
#include <QTemporaryDir>

#include "support/TestBrowser.h"
#include "tests/vpn/StandInProgram.h"
#include "tools/backend/BackendStandIn.h"

class CoreController;
class QQmlEngine;
class Settings;
class VpnConnection;

// Gives the Qt Quick Test engine what the client's own start gives its
// engine: the AppManager and CoreController singletons and every object the
// core controller publishes, built against the two stand-ins, so the tests
// load the real Main.qml and drive the real objects behind it.
class UiTestSetup : public QObject
{
    Q_OBJECT
public:
    UiTestSetup();
    ~UiTestSetup() override;

public slots:
    void qmlEngineAvailable(QQmlEngine *engine);
    void cleanupTestCase();

private:
    QPointer<QQmlEngine> m_engine;
    BackendStandIn m_backend;
    TestBrowser m_browser;
    QTemporaryDir m_dir;
    StandInProgram m_service;
    // The core controller publishes into an application engine; its objects
    // are handed on from there to the test engine.
    QQmlApplicationEngine m_publishing;
    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpn;
    QScopedPointer<CoreController> m_core;
};
