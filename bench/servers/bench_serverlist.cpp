// How much the catalogue's answer handling costs next to parsing the body.
//
// Feeds a generated catalogue of 5,000 servers in 250 locations to ServersModel
// and compares, in one run, the full handling of a fresh answer (parse, tree,
// roles, favourites, default server, cache) and of a byte-identical second
// answer with a bare QJsonDocument parse of the same body.
// Goals: full handling within 3x the bare parse, the identical answer within 1.2x.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSharedPointer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "app/Settings.h"
#include "servers/ServersModel.h"
#include "support/TestEnvironment.h"

namespace {

constexpr int kLocations = 250;
constexpr int kServersPerLocation = 20;
constexpr int kRounds = 11;

QByteArray catalogue()
{
    const char *const categories[] = {"Free", "High Speed", "Streaming", "Gaming", "P2P"};
    QJsonArray list;
    int serverNumber = 0;
    for (int c = 0; c < 5; ++c) {
        QJsonArray countries;
        for (int l = 0; l < kLocations / 5; ++l) {
            const int location = c * (kLocations / 5) + l;
            QJsonArray servers;
            for (int s = 0; s < kServersPerLocation; ++s, ++serverNumber) {
                QJsonArray protocols{
                    QJsonObject{{"id", "wireguard"}, {"vpn_type", "WireGuard"}},
                    QJsonObject{{"id", "openvpn"}, {"vpn_type", "OpenVPN"}, {"transport", "udp"}},
                    QJsonObject{{"id", s % 3 == 0 ? "reality" : "amneziawg"}}};
                if (s % 4 == 0)
                    protocols << QJsonObject{{"id", "reality-cdn"}};
                QJsonObject server{
                    {"name", QStringLiteral("Location %1 #%2").arg(location).arg(s)},
                    {"city", QStringLiteral("City %1-%2").arg(location).arg(s % 4)},
                    {"ip_address", QStringLiteral("198.18.%1.%2").arg(serverNumber / 250).arg(serverNumber % 250 + 1)},
                    {"config_id", QStringLiteral("cfg:%1:%2").arg(location).arg(s)},
                    {"id", serverNumber},
                    {"recommended_vpn", "WireGuard"},
                    {"protocols", protocols},
                    {"speed_score", (serverNumber * 37 % 100) / 10.0},
                    {"health", serverNumber * 13 % 100},
                    {"lat", -60.0 + (location * 7 % 120)},
                    {"long", -170.0 + (location * 11 % 340)},
                    {"estimated_ping_ms", 20 + serverNumber % 180}};
                // Servers with a Cloudflare route say where it is probed.
                if (s % 4 == 0)
                    server.insert("cdn_probe",
                                  QJsonObject{{"address", "198.51.100.10"}, {"sni", "cdn.example"}, {"path", "/ws"}});
                servers << server;
            }
            countries << QJsonObject{{"name", QStringLiteral("Location %1").arg(location)},
                                     {"country_code", QStringLiteral("l%1").arg(location)},
                                     {"vpn_servers", servers}};
        }
        list << QJsonObject{{"name", categories[c]}, {"countries", countries}};
    }
    const QJsonObject data{
        {"vpn_servers", list},
        {"protocol_order", QJsonObject{{"default", QJsonArray{"wireguard", "reality", "openvpn"}}}},
        {"ping_limits", QJsonObject{{"good_ms", 100}, {"fair_ms", 180}}},
        {"restricted_network", QJsonObject{{"likely", false}, {"servers", QJsonArray{1, 2, 3}}}},
        {"default_server", QJsonObject{{"name", "Location 7 #3"}, {"config_id", "cfg:7:3"}, {"id", 143}}}};
    return QJsonDocument(QJsonObject{{"data", data}}).toJson(QJsonDocument::Compact);
}

// The machine is shared: the fastest of several rounds is the figure least
// disturbed by other work.
double fastest(const std::vector<double> &values)
{
    return *std::min_element(values.begin(), values.end());
}

// Processor time of the process: other programs on a shared machine do not
// count against the code measured (waits for the disk do not count either).
class CpuTimer
{
public:
    void start() { m_start = std::clock(); }
    void restart() { start(); }
    double ms() const { return double(std::clock() - m_start) * 1000.0 / CLOCKS_PER_SEC; }

private:
    std::clock_t m_start = 0;
};

double msSince(const CpuTimer &timer)
{
    return timer.ms();
}

} // namespace

int main(int argc, char *argv[])
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Kelvra.Inc"));
    app.setApplicationName(QStringLiteral("Kelvra"));

    auto settings = QSharedPointer<Settings>::create();
    for (int i = 0; i < 10; ++i)
        settings->addFavorite(QStringLiteral("Location %1 #%2").arg(i * 20).arg(i));

    const QByteArray body = catalogue();
    ServersModel::Hooks hooks;
    hooks.accountEmail = [] { return QStringLiteral("bench@example.com"); };
    hooks.fetchServerList = [] {};
    hooks.fetchConfigDirect = [](const QNetworkRequest &, std::function<void(const ServersModel::ConfigReply &)>) {};
    hooks.fetchConfigThroughService = [](const QUrl &, const QString &,
                                         std::function<void(int, const QByteArray &, const QByteArray &)>) {};
    // A tunnel "is up", so the benchmark never starts a ping.
    hooks.vpnHasDriver = [] { return true; };

    std::vector<double> parse, full, identical;
    for (int round = 0; round < kRounds; ++round) {
        CpuTimer timer;
        timer.start();
        {
            const QJsonDocument doc = QJsonDocument::fromJson(body);
            parse.push_back(msSince(timer));
            if (doc.isNull())
                return 1;
        }

        auto model = std::make_unique<ServersModel>(settings, nullptr);
        model->setHooks(hooks);
        timer.restart();
        model->parseResponse(body, 200);
        full.push_back(msSince(timer));
        timer.restart();
        model->parseResponse(body, 200);
        identical.push_back(msSince(timer));
        if (model->rowCount() != kLocations) {
            std::fprintf(stderr, "unexpected tree: %d locations\n", model->rowCount());
            return 1;
        }
    }

    const double parseMs = fastest(parse);
    const double fullMs = fastest(full);
    const double identicalMs = fastest(identical);
    std::printf("catalogue: %d servers in %d locations, %lld bytes, fastest of %d rounds\n",
                kLocations * kServersPerLocation, kLocations, static_cast<long long>(body.size()), kRounds);
    std::printf("bare parse (QJsonDocument)   %8.2f ms\n", parseMs);
    std::printf("full answer handling         %8.2f ms\n", fullMs);
    std::printf("identical answer handling    %8.2f ms\n", identicalMs);
    std::printf("ratio full-vs-parse %.2f\n", fullMs / parseMs);
    std::printf("ratio identical-vs-parse %.2f\n", identicalMs / parseMs);
    return 0;
}
