#pragma once

// Shared by the ad-blocking and bypass-list tests: the backend stand-in and
// the service stand-in hosted in the test, a signed-in user, and a real VPN
// connection whose state the tests step through.

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>

#include "tests/api/ApiTestSupport.h"
#include "app/Settings.h"
#include "ipc/ServiceNames.h"
#include "settings/Blocklist.h"
#include "settings/CoalescedSend.h"
#include "tools/service/ServiceStandIn.h"
#include "vpn/VpnConnection.h"

namespace ProtectionFixture {

const QString kEmail = QStringLiteral("ada@example.com");
constexpr int kWaitMs = 20000;
// A silent service is given up on this soon, not after 5 s.
constexpr int kReplyTimeoutMs = 800;

// Hosts the service under this test's own socket names.
inline ServiceStandIn *startService(const char *name)
{
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid());
    qputenv("KELVRA_TEST_IPC_NAME", "kelvra-" + QByteArray(name) + '-' + pid);
    qputenv("KELVRA_TEST_DAEMON_SOCKET", (TestEnvironment::home() + QStringLiteral("/run/daemon.socket")).toUtf8());
    qputenv("KELVRA_TEST_SERVICE_BINARY", QCoreApplication::applicationFilePath().toUtf8());
    CoalescedSend::setReplyTimeoutForTesting(kReplyTimeoutMs);
    ServiceStandIn::Options options;
    options.ipcUrl = ServiceNames::ipcUrl();
    options.daemonSocket = ServiceNames::daemonSocket();
    auto *service = new ServiceStandIn(options);
    if (!service->start()) {
        delete service;
        return nullptr;
    }
    return service;
}

// The messages of one type the service received, oldest first.
inline QList<QJsonObject> sent(ServiceStandIn &service, const QString &type)
{
    QList<QJsonObject> messages;
    for (const QJsonValue &call : service.calls(QStringLiteral("daemon"), type))
        messages.append(call.toObject().value(QLatin1String("message")).toObject());
    return messages;
}

inline QStringList strings(const QJsonValue &array)
{
    QStringList list;
    for (const QJsonValue &value : array.toArray())
        list.append(value.toString());
    return list;
}

inline void writeCache(const QByteArray &content)
{
    QString error;
    QVERIFY2(Blocklist::writeCache(content, &error), qPrintable(error));
}

inline QByteArray cacheContent()
{
    QFile file(Blocklist::cachePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every test starts signed out of nothing: no cache, no tag, switches off.
inline void resetState(ServiceStandIn &service, Settings &settings)
{
    QFile::remove(Blocklist::cachePath());
    settings.setAdBlock(false);
    settings.setAdBlockETag(QByteArray());
    settings.setBypassList(false);
    settings.setBypassSites({});
    service.setIgnoredTypes({});
    service.setFeaturesUnavailable(false);
    service.clearCalls();
}

} // namespace ProtectionFixture
