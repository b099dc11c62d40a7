#include "api/NetworkManager.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include "api/ApiHost.h"
#include "api/AuthGuard.h"
#include "api/LimitGuard.h"
#include "app/Logger.h"

namespace {

Logger logger(QStringLiteral("NetworkManager"));

const char kTooLargeProperty[] = "kelvraAnswerTooLarge";

qint64 &maxAnswerBytes()
{
    static qint64 bytes = NetworkManager::kMaxAnswerBytes;
    return bytes;
}

} // namespace

NetworkManager::NetworkManager(QObject *parent)
    : QObject(parent)
{
}

void NetworkManager::request(const QString &url, const QJsonObject &body, RequestType type, const QString &token,
                             int timeoutMs, bool watch401)
{
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    if (url.startsWith(ApiHost::baseUrl()))
        ApiHost::stampClient(request);
    if (timeoutMs > 0)
        request.setTransferTimeout(timeoutMs);
    if (!token.isEmpty())
        request.setRawHeader("Authorization", QByteArray("Bearer ") + token.toUtf8());

    QNetworkReply *reply = nullptr;
    if (type == POST)
        reply = ApiHost::sharedManager()->post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    else
        reply = ApiHost::sharedManager()->get(request);

    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > maxAnswerBytes() && !reply->property(kTooLargeProperty).toBool()) {
            reply->setProperty(kTooLargeProperty, true);
            reply->abort();
        }
    });
    const Call call{url, body, type, token, timeoutMs, watch401 && !token.isEmpty()};
    connect(reply, &QNetworkReply::finished, this, [this, reply, call] { onFinished(reply, call); });
}

void NetworkManager::onFinished(QNetworkReply *reply, const Call &call)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->property(kTooLargeProperty).toBool()) {
        // The host did answer; what it sent is of no use to anyone.
        logger.warning() << "Answer larger than" << maxAnswerBytes() << "bytes dropped, status" << status;
        emit requestFinished(QByteArray(), status);
        reply->deleteLater();
        return;
    }
    const QByteArray body = reply->isReadable() ? reply->readAll() : QByteArray();

    if (ApiHost::handleReply(reply, body)) {
        reply->deleteLater();
        QTimer::singleShot(ApiHost::retryDelayMs(), this, [this, call] {
            request(call.url, call.body, call.type, call.token, call.timeoutMs, call.watch401);
        });
        return;
    }

    if (call.watch401 && status == 401)
        AuthGuard::check401(reply->request().rawHeader("Authorization"));

    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::HostNotFoundError || error == QNetworkReply::TemporaryNetworkFailureError) {
        logger.error() << "Request failed:" << reply->errorString();
        emit requestFailed();
    } else {
        LimitGuard::instance()->check(body);
        emit requestFinished(body, status);
    }
    reply->deleteLater();
}

#ifdef KELVRA_TESTING
void NetworkManager::setMaxAnswerBytesForTesting(qint64 bytes)
{
    maxAnswerBytes() = bytes;
}
#endif
