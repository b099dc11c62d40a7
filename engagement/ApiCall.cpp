#include "engagement/ApiCall.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSharedPointer>
#include <QTimer>
#include <QUrl>

#include "account/TokenManager.h"
#include "api/ApiHost.h"
#include "api/AuthGuard.h"

void ApiCall::send(QObject *owner, QNetworkAccessManager::Operation operation, const QString &path,
                   const QByteArray &json, int timeoutMs, Done done)
{
    QNetworkRequest request{QUrl(ApiHost::url(path))};
    request.setRawHeader("Content-Type", "application/json");
    request.setRawHeader("Accept", "application/json");
    ApiHost::stampClient(request);
    const QString token = TokenManager::instance()->getToken();
    const QByteArray authorization = token.isEmpty() ? QByteArray() : QByteArray("Bearer ") + token.toUtf8();
    if (!authorization.isEmpty())
        request.setRawHeader("Authorization", authorization);
    if (timeoutMs > 0)
        request.setTransferTimeout(timeoutMs);

    QNetworkReply *reply = operation == QNetworkAccessManager::PostOperation
                               ? ApiHost::sharedManager()->post(request, json)
                               : ApiHost::sharedManager()->get(request);
    auto tooLarge = QSharedPointer<bool>::create(false);
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply, tooLarge](qint64 received, qint64) {
        if (received > kMaxAnswerBytes && !*tooLarge) {
            *tooLarge = true;
            reply->abort();
        }
    });
    QPointer<QObject> guard(owner);
    QObject::connect(reply, &QNetworkReply::finished, owner,
                     [guard, reply, operation, path, json, timeoutMs, done, authorization, tooLarge] {
        reply->deleteLater();
        Result result;
        result.body = reply->isReadable() && !*tooLarge ? reply->readAll() : QByteArray();
        if (ApiHost::handleReply(reply, result.body)) {
            QTimer::singleShot(ApiHost::retryDelayMs(), guard.data(), [guard, operation, path, json, timeoutMs, done] {
                if (guard)
                    send(guard.data(), operation, path, json, timeoutMs, done);
            });
            return;
        }
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        bool ok = false;
        const int retryAfter = reply->rawHeader("Retry-After").trimmed().toInt(&ok);
        result.retryAfterSeconds = ok && retryAfter >= 0 ? retryAfter : -1;
        if (result.status == 401 && !authorization.isEmpty())
            AuthGuard::check401(authorization);
        if (*tooLarge)
            result.status = 0;
        done(result);
    });
}
