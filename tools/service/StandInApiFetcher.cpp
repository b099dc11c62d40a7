#include "tools/service/StandInApiFetcher.h"

#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>

namespace {
Q_LOGGING_CATEGORY(lcFetch, "standin.apiFetch")

QJsonObject answer(int status, const QByteArray &body, const QByteArray &retryAfter, const QString &error = QString())
{
    QJsonObject reply{{QStringLiteral("type"), QStringLiteral("apiFetch")},
                      {QStringLiteral("status"), status},
                      {QStringLiteral("body"), QString::fromLatin1(body.toBase64())},
                      {QStringLiteral("retryAfter"), QString::fromLatin1(retryAfter)}};
    if (!error.isEmpty())
        reply.insert(QStringLiteral("error"), error);
    return reply;
}
} // namespace

StandInApiFetcher::StandInApiFetcher(QObject *parent)
    : QObject(parent)
    , m_manager(new QNetworkAccessManager(this))
{
    m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    setOptions(Options());
}

void StandInApiFetcher::setOptions(const Options &options)
{
    m_options = options;
    m_ssl = QSslConfiguration::defaultConfiguration();
    m_sslError.clear();
    if (!options.caFile.isEmpty()) {
        const QList<QSslCertificate> cas = QSslCertificate::fromPath(options.caFile, QSsl::Pem);
        if (cas.isEmpty())
            m_sslError = QStringLiteral("the CA file %1 holds no certificate").arg(options.caFile);
        m_ssl.setCaCertificates(cas);
    }
    m_manager->clearConnectionCache();
}

QUrl StandInApiFetcher::targetUrl(const QJsonObject &request, QString *error) const
{
    const QString host = request.value(QLatin1String("host")).toString();
    const QString path = request.value(QLatin1String("path")).toString();
    const QUrl &base = m_options.baseUrl;
    if (host.isEmpty() || !request.value(QLatin1String("path")).isString()
        || !request.value(QLatin1String("token")).isString()) {
        *error = QStringLiteral("\"host\", \"path\" and \"token\" must be texts");
        return QUrl();
    }
    if (host != base.host() && !m_options.backupHosts.contains(host)) {
        *error = QStringLiteral("%1 is not an API host").arg(host);
        return QUrl();
    }
    const qsizetype queryAt = path.indexOf(QLatin1Char('?'));
    QUrl url;
    url.setScheme(base.scheme());
    url.setHost(host);
    url.setPort(base.port());
    url.setPath(path.left(queryAt), QUrl::StrictMode);
    if (queryAt >= 0)
        url.setQuery(path.mid(queryAt + 1), QUrl::StrictMode);
    // Dot segments would climb out of the API's path.
    const QString cleanPath = url.adjusted(QUrl::NormalizePathSegments).path();
    if (!url.isValid() || cleanPath != url.path() || !url.path().startsWith(base.path())) {
        *error = QStringLiteral("the path is not under %1").arg(base.path());
        return QUrl();
    }
    return url;
}

void StandInApiFetcher::fetch(const QJsonObject &request, const std::function<void(const QJsonObject &)> &done)
{
    QString error;
    const QUrl url = targetUrl(request, &error);
    if (!url.isValid() || !m_sslError.isEmpty()) {
        if (error.isEmpty())
            error = m_sslError;
        qCWarning(lcFetch) << "apiFetch refused:" << error;
        done(answer(0, QByteArray(), QByteArray(), error));
        return;
    }
    QNetworkRequest networkRequest(url);
    networkRequest.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    networkRequest.setRawHeader("Accept", "application/json");
    const QString token = request.value(QLatin1String("token")).toString();
    if (!token.isEmpty())
        networkRequest.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    networkRequest.setTransferTimeout(m_options.timeoutMs);
    if (url.scheme() == QLatin1String("https"))
        networkRequest.setSslConfiguration(m_ssl);

    qCInfo(lcFetch) << "apiFetch" << url.host() << url.path();
    QNetworkReply *reply = m_manager->get(networkRequest);
    connect(reply, &QNetworkReply::finished, this, [reply, done] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray body = reply->readAll();
        qCInfo(lcFetch) << "apiFetch answered" << status << reply->errorString();
        done(answer(status, status ? body : QByteArray(), reply->rawHeader("Retry-After"),
                    status ? QString() : reply->errorString()));
    });
}
