#pragma once

// Builders for server-list answers and configuration answers in the API's
// format, and a model wired to nothing outside the test.

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSharedPointer>
#include <QStringList>
#include <QTest>

#include <memory>

#include "app/Settings.h"
#include "servers/AppDataFile.h"
#include "servers/CdnRouteCache.h"
#include "servers/Pinger.h"
#include "servers/ServersModel.h"
#include "support/TestEnvironment.h"

namespace fixture {

inline QJsonObject server(const QString &name, const QString &city, const QString &ip, const QString &configId,
                          const QJsonValue &id, const QJsonObject &extra = {})
{
    QJsonObject object{{QStringLiteral("name"), name},         {QStringLiteral("city"), city},
                       {QStringLiteral("ip_address"), ip},     {QStringLiteral("config_id"), configId},
                       {QStringLiteral("id"), id}};
    for (auto it = extra.constBegin(); it != extra.constEnd(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

inline QJsonArray protocols(const QStringList &ids)
{
    QJsonArray list;
    for (const QString &id : ids)
        list << QJsonObject{{QStringLiteral("id"), id}};
    return list;
}

inline QJsonObject country(const QString &name, const QString &code, const QJsonArray &servers,
                           const QJsonArray &pools = {})
{
    QJsonObject object{{QStringLiteral("name"), name},
                       {QStringLiteral("country_code"), code},
                       {QStringLiteral("vpn_servers"), servers}};
    if (!pools.isEmpty())
        object.insert(QStringLiteral("pools"), pools);
    return object;
}

inline QJsonObject category(const QString &name, const QJsonArray &countries)
{
    return QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("countries"), countries}};
}

inline QByteArray answer(const QJsonArray &categories, const QJsonObject &extraData = {})
{
    QJsonObject data{{QStringLiteral("vpn_servers"), categories}};
    for (auto it = extraData.constBegin(); it != extraData.constEnd(); ++it)
        data.insert(it.key(), it.value());
    return QJsonDocument(QJsonObject{{QStringLiteral("data"), data}}).toJson(QJsonDocument::Compact);
}

// One location with the server "Madrid 1", carrying the extra keys given.
inline QByteArray oneServerAnswer(const QJsonObject &extra, const QJsonObject &extraData = {})
{
    return answer(QJsonArray{category(
                      QStringLiteral("Free"),
                      QJsonArray{country(QStringLiteral("Spain"), QStringLiteral("ES"),
                                         QJsonArray{server(QStringLiteral("Madrid 1"), QStringLiteral("Madrid"),
                                                           QStringLiteral("203.0.113.10"), QStringLiteral("es-1"), 1,
                                                           extra)})})},
                  extraData);
}

// Three locations over two categories; every address is one the test network
// namespace puts on loopback.
inline QByteArray standardAnswer(const QJsonObject &extraData = {})
{
    const QJsonArray free{
        country(QStringLiteral("Germany"), QStringLiteral("DE"),
                QJsonArray{server(QStringLiteral("Frankfurt 1"), QStringLiteral("Frankfurt"), QStringLiteral("203.0.113.10"),
                                  QStringLiteral("de-fra-1"), 11,
                                  QJsonObject{{QStringLiteral("speed_score"), 6}, {QStringLiteral("health"), 80},
                                              {QStringLiteral("lat"), 50.11}, {QStringLiteral("long"), 8.68},
                                              {QStringLiteral("protocols"), protocols({"wireguard", "openvpn"})}}),
                           server(QStringLiteral("Berlin 1"), QStringLiteral("Berlin"), QStringLiteral("203.0.113.11"),
                                  QStringLiteral("de-ber-1"), 12,
                                  QJsonObject{{QStringLiteral("speed_score"), 9}, {QStringLiteral("health"), 70},
                                              {QStringLiteral("lat"), 52.52}, {QStringLiteral("long"), 13.40},
                                              {QStringLiteral("protocols"), protocols({"wireguard", "amneziawg"})}})}),
        country(QStringLiteral("France"), QStringLiteral("FR"),
                QJsonArray{server(QStringLiteral("Paris 1"), QStringLiteral("Paris"), QStringLiteral("203.0.113.12"),
                                  QStringLiteral("fr-par-1"), 21,
                                  QJsonObject{{QStringLiteral("speed_score"), 5}, {QStringLiteral("health"), 90},
                                              {QStringLiteral("lat"), 48.86}, {QStringLiteral("long"), 2.35},
                                              {QStringLiteral("protocols"), protocols({"openvpn", "reality"})}})})};
    const QJsonArray streaming{country(
        QStringLiteral("Japan"), QStringLiteral("JP"),
        QJsonArray{server(QStringLiteral("Tokyo 1"), QStringLiteral("Tokyo"), QStringLiteral("203.0.113.13"),
                          QStringLiteral("jp-tyo-1"), 31,
                          QJsonObject{{QStringLiteral("speed_score"), 4}, {QStringLiteral("health"), 60},
                                      {QStringLiteral("lat"), 35.68}, {QStringLiteral("long"), 139.69},
                                      {QStringLiteral("protocols"), protocols({"wireguard", "hysteria2"})}})})};
    return answer(QJsonArray{category(QStringLiteral("Free"), free), category(QStringLiteral("Streaming"), streaming)},
                  extraData);
}

inline QJsonObject at(double lat, double lon, const QJsonObject &extra = {})
{
    QJsonObject object = extra;
    object.insert("lat", lat);
    object.insert("long", lon);
    return object;
}

// Servers to move between: one location with three servers, others near and
// far, one without coordinates, one without an address, and the groups.
inline QByteArray switchingCatalogue()
{
    const QJsonObject awg{{"protocols", protocols({"wireguard", "amneziawg"})}};
    const QJsonArray free{
        country("Germany", "de",
                QJsonArray{server("Frankfurt 1", "Frankfurt", "203.0.113.1", "de-a", 1, at(50.11, 8.68, {{"speed_score", 6}})),
                           server("Frankfurt 2", "Frankfurt", "203.0.113.2", "de-b", 2,
                                  at(50.11, 8.68, {{"speed_score", 2}, {"health", 10}, {"protocols", awg["protocols"]}})),
                           server("Munich 1", "Munich", "203.0.113.3", "grp|de-c", 3,
                                  at(48.14, 11.58, {{"speed_score", 9}, {"health", 90}}))}),
        country("France", "fr", QJsonArray{server("Paris 1", "Paris", "203.0.113.4", "fr-a", 4, at(48.86, 2.35))}),
        country("Japan", "jp", QJsonArray{server("Tokyo 1", "Tokyo", "203.0.113.5", "jp-a", 5,
                                                 at(35.68, 139.69, {{"estimated_ping_ms", 300}}))}),
        country("Italy", "it", QJsonArray{server("Rome 1", "Rome", "203.0.113.6", "it-a", 6, {{"estimated_ping_ms", 10}})}),
        country("Spain", "es", QJsonArray{server("Madrid 1", "Madrid", "203.0.113.7", "es-a", 7, {{"speed_score", 50}}),
                                          server("Nowhere 1", "Nowhere", "", "es-z", 8)})};
    const QJsonArray highSpeed{country("France", "fr", QJsonArray{server("Lyon 1", "Lyon", "203.0.113.8", "fr-b", 9)})};
    const QJsonArray streaming{country("Germany", "de", QJsonArray{server("Stream 1", "Frankfurt", "203.0.113.9", "de-s", 10,
                                                                          at(50.11, 8.68, {{"speed_score", 100}}))})};
    const QJsonArray favourites{country("Germany", "de", QJsonArray{server("Fav 1", "Frankfurt", "203.0.113.20", "de-f", 11,
                                                                           at(50.11, 8.68, {{"speed_score", 100}}))})};
    return answer(QJsonArray{category("Free", free), category("High Speed", highSpeed),
                             category("Streaming", streaming), category("Favorites", favourites)});
}

inline QJsonObject defaultServer(const QString &name, const QString &configId, const QString &ip = {},
                                 const QJsonValue &id = {})
{
    return QJsonObject{{QStringLiteral("name"), name},
                       {QStringLiteral("config_id"), configId},
                       {QStringLiteral("ip_address"), ip},
                       {QStringLiteral("id"), id}};
}

// A model whose links lead nowhere: no request leaves it and no ping runs
// unless a test puts its own hooks in.
struct Rig {
    QSharedPointer<Settings> settings = QSharedPointer<Settings>::create();
    std::unique_ptr<ServersModel> model;
    ServersModel::Hooks hooks;
    int listFetches = 0;
    QString email = QStringLiteral("user@example.com");
    bool signedOut = false;

    Rig()
    {
        model = std::make_unique<ServersModel>(settings, nullptr);
        model->pingerForTesting()->setCommandForTesting(QStringLiteral("true"), {});
        hooks.fetchServerList = [this] { ++listFetches; };
        hooks.accountEmail = [this] { return email; };
        hooks.signedOut = [this] { return signedOut; };
        hooks.sessionToken = [] { return QStringLiteral("token-1"); };
        hooks.apiBaseUrl = [] { return QStringLiteral("https://api.example.test/api/"); };
        hooks.fetchConfigDirect = [](const QNetworkRequest &, std::function<void(const ServersModel::ConfigReply &)>) {};
        hooks.fetchConfigThroughService = [](const QUrl &, const QString &,
                                             std::function<void(int, const QByteArray &, const QByteArray &)>) {};
        apply();
    }
    void apply() { model->setHooks(hooks); }
};

inline QStringList &capturedLog()
{
    static QStringList lines;
    return lines;
}

// Keeps every log line of the test program, so tests can look for the lines
// the client writes.
inline void captureLog()
{
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &message) {
        capturedLog() << message;
        if (previous)
            previous(type, context, message);
    });
}

inline bool logged(const QString &text)
{
    for (const QString &line : capturedLog()) {
        if (line.contains(text))
            return true;
    }
    return false;
}

// What one test leaves behind must not reach the next: caches, favourites,
// recents, the stored account, the recovery budget and the captured log.
inline void resetState()
{
    AppDataFile::remove(ServersModel::kListCacheFile);
    CdnRouteCache::remove();
    Settings settings;
    settings.clearFavorites();
    settings.clearRecentServers();
    settings.setLastAccountEmail(QString());
    settings.setValue(QStringLiteral("deadTunnel/recoverAsked"), QVariantList());
    settings.setValue(QStringLiteral("deadTunnel/recoverAnswered"), QVariantList());
    capturedLog().clear();
}

// The main() of every catalogue test: a home of its own, the application's
// names (they pick the settings storage), then the test object.
template<typename Test, typename Application = QCoreApplication> int runTests(int argc, char *argv[])
{
    TestEnvironment::isolate();
    Application app(argc, argv);
    app.setOrganizationName(QStringLiteral("Kelvra.Inc"));
    app.setApplicationName(QStringLiteral("Kelvra"));
    Test test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace fixture
