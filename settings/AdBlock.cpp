#include "settings/AdBlock.h"

#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "api/AuthGuard.h"
#include "app/Logger.h"
#include "app/Settings.h"
#include "settings/Blocklist.h"
#include "settings/CoalescedSend.h"
#include "vpn/VpnConnection.h"

namespace {
Logger logger(QStringLiteral("AdBlock"));
} // namespace

AdBlock::AdBlock(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_vpnConnection(std::move(vpnConnection))
{
    m_sender = new CoalescedSend([this] { return message(); }, [this](const QJsonObject &, const QJsonObject &reply) {
        onReply(reply);
    }, this);

    // A cache that is missing or fails its checks is silently left aside: the
    // next download replaces it.
    m_domains = Blocklist::domainsOf(Blocklist::readCache());

    connect(UserManager::instance(), &UserManager::stateChanged, this, [this](UserManager::State state) {
        if (state == UserManager::SignedIn && m_settings->adBlock())
            download();
    });
    m_refreshTimer.setInterval(kRefreshMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, [this] {
        if (signedInAndOn())
            download();
    });
    m_refreshTimer.start();
    if (m_vpnConnection) {
        connect(m_vpnConnection.data(), &VpnConnection::connectionStateChanged, this,
                [this](VpnProtocol::ConnectionState state) {
                    if (m_sender->tunnelCameUp(state) && m_settings->adBlock())
                        m_sender->send();
                });
    }
    if (m_settings->adBlock())
        m_sender->send();
}

AdBlock::~AdBlock() = default;

bool AdBlock::signedInAndOn() const
{
    return UserManager::state() == UserManager::SignedIn && m_settings->adBlock();
}

void AdBlock::setEnabled(bool enabled)
{
    m_sender->send();
    if (enabled && UserManager::state() == UserManager::SignedIn)
        download();
}

QJsonObject AdBlock::message() const
{
    const bool enabled = m_settings->adBlock();
    QJsonObject message{{QStringLiteral("type"), QStringLiteral("adBlock")}, {QStringLiteral("enabled"), enabled}};
    if (enabled && !m_domains.isEmpty())
        message.insert(QStringLiteral("domains"), m_domains);
    return message;
}

void AdBlock::download()
{
    // One download at a time: a second would fetch the same list.
    if (m_downloading)
        return;
    m_downloading = true;
    QNetworkRequest request{QUrl(ApiHost::url(QStringLiteral("client/blocklist")))};
    request.setRawHeader("Accept", "application/json");
    const QByteArray authorization = QByteArray("Bearer ") + TokenManager::instance()->getToken().toUtf8();
    request.setRawHeader("Authorization", authorization);
    if (!m_domains.isEmpty()) {
        const QByteArray etag = m_settings->adBlockETag();
        if (!etag.isEmpty())
            request.setRawHeader("If-None-Match", etag);
    }
    QNetworkReply *reply = ApiHost::sharedManager()->get(request);
    // A body larger than any whole list is not one: it is cut off, not kept.
    auto tooLarge = QSharedPointer<bool>::create(false);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply, tooLarge](qint64 received, qint64) {
        if (received > Blocklist::kMaxDocumentBytes && !*tooLarge) {
            *tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, authorization, tooLarge] {
        const QByteArray body = reply->isReadable() && !*tooLarge ? reply->readAll() : QByteArray();
        reply->deleteLater();
        m_downloading = false;
        onDownloaded(reply, body, authorization);
    });
}

void AdBlock::onDownloaded(QNetworkReply *reply, const QByteArray &body, const QByteArray &sentAuthorization)
{
    if (ApiHost::handleReply(reply, body)) {
        QTimer::singleShot(ApiHost::retryDelayMs(), this, [this] { download(); });
        return;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 304)
        return;
    if (status == 401) {
        AuthGuard::check401(sentAuthorization);
        return;
    }
    if (status != 200) {
        logger.warning() << "Blocklist not fetched, HTTP" << status;
        return;
    }
    takeList(body, reply->rawHeader("ETag"));
}

void AdBlock::takeList(const QByteArray &document, const QByteArray &etag)
{
    const QJsonArray domains = Blocklist::domainsOf(document);
    if (domains.isEmpty()) {
        logger.warning() << "Blocklist refused: not a whole list";
        return;
    }
    QString error;
    if (Blocklist::writeCache(document, &error))
        m_settings->setAdBlockETag(etag);
    else
        logger.warning() << "Blocklist not cached:" << error;
    m_domains = domains;
    logger.info() << "Blocklist updated," << int(m_domains.size()) << "names";
    if (m_settings->adBlock())
        m_sender->send();
}

void AdBlock::onReply(const QJsonObject &reply)
{
    if (reply.isEmpty()) {
        if (!m_silenceLogged) {
            m_silenceLogged = true;
            logger.warning() << "The service did not answer adBlock (older service, or none): the switch is saved";
        }
        return;
    }
    logger.info() << "Ad blocking in the service:" << reply.value(QLatin1String("enabled")).toBool()
                  << reply.value(QLatin1String("count")).toInt() << "names";
    const bool unavailable = reply.value(QLatin1String("error")).toString() == QLatin1String("unavailable");
    if (unavailable == m_unavailable)
        return;
    m_unavailable = unavailable;
    if (unavailable)
        logger.warning() << "The service can't block ads on this computer right now";
    emit unavailableChanged();
}
