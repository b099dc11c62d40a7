#include "servers/ServerLinks.h"

#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "api/AuthGuard.h"
#include "api/LimitGuard.h"
#include "api/NetworkManager.h"

ServersModel::Hooks ServerLinks::requestLayer(ServersModel *model)
{
    auto *listRequest = new NetworkManager(model);
    QObject::connect(listRequest, &NetworkManager::requestFinished, model, &ServersModel::parseResponse);
    QObject::connect(listRequest, &NetworkManager::requestFailed, model, &ServersModel::onNetworkRetryTimeout);

    ServersModel::Hooks hooks;
    QPointer<NetworkManager> request(listRequest);
    hooks.fetchServerList = [request] {
        if (request)
            request->request(ApiHost::url(QStringLiteral("client/servers")), QJsonObject(), NetworkManager::GET,
                             TokenManager::instance()->getToken(), ServersModel::kListTimeoutMs, true);
    };
    QPointer<ServersModel> owner(model);
    hooks.fetchConfigDirect = [owner](const QNetworkRequest &configRequest,
                                      std::function<void(const ServersModel::ConfigReply &)> done) {
        if (owner)
            fetchConfig(owner, configRequest, done);
    };
    hooks.apiBaseUrl = [] { return ApiHost::baseUrl(); };
    hooks.apiOnPrimaryHost = [] { return ApiHost::backupIndex() < 0; };
    hooks.check401 = [](const QByteArray &authorization) { AuthGuard::check401(authorization); };
    hooks.deviceLimit = [](const QByteArray &body) { return LimitGuard::instance()->check(body); };
    hooks.sessionToken = [] { return TokenManager::instance()->getToken(); };
    hooks.accountEmail = [] { return TokenManager::instance()->getEmail(); };
    hooks.signedOut = [] { return UserManager::state() == UserManager::SignedOut; };
    return hooks;
}

void ServerLinks::fetchConfig(QObject *context, const QNetworkRequest &request,
                              const std::function<void(const ServersModel::ConfigReply &)> &done)
{
    // The request keeps the primary host: the access manager sends it to the
    // backup host in use, so every re-send follows the host manager's choice.
    QNetworkReply *reply = ApiHost::sharedManager()->get(request);
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > NetworkManager::kMaxAnswerBytes)
            reply->abort();
    });
    QPointer<QObject> guard(context);
    QObject::connect(reply, &QNetworkReply::finished, context, [guard, reply, request, done] {
        reply->deleteLater();
        const QByteArray body = reply->isReadable() ? reply->readAll() : QByteArray();
        if (ApiHost::handleReply(reply, body)) {
            QTimer::singleShot(ApiHost::retryDelayMs(), guard, [guard, request, done] {
                if (guard)
                    fetchConfig(guard, request, done);
            });
            return;
        }
        ServersModel::ConfigReply answer;
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.error = reply->error() != QNetworkReply::NoError;
        answer.body = body;
        answer.errorText = reply->errorString();
        answer.retryAfter = reply->rawHeader("Retry-After");
        answer.hostUnreachable = ApiHost::hostFailure(reply->error(), answer.status, body) != ApiHost::Answered;
        done(answer);
    });
}
