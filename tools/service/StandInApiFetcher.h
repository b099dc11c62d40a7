#pragma once

#include <QJsonObject>
#include <QObject>
#include <QSslConfiguration>
#include <QStringList>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;

// The service's side of "apiFetch": it fetches an API path with the client's
// token and hands back status, Base64 body and Retry-After. It only reaches
// the configured API: the scheme and port of the base URL, a host that is the
// base URL's own or one of the listed backup hosts, a path under the base
// URL's path; when a CA file is given, that CA is the only one trusted.
// Redirects are not followed (an answer from elsewhere would not be the API).
class StandInApiFetcher : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QUrl baseUrl = QUrl(QStringLiteral("https://testapi.kelvra.test/api/"));
        QStringList backupHosts{QStringLiteral("cdn1.testapi.kelvra.test"), QStringLiteral("cdn2.testapi.kelvra.test")};
        QString caFile;
        // Below the client's own 17 s so that it hears "no answer" from us.
        int timeoutMs = 15000;
    };

    explicit StandInApiFetcher(QObject *parent = nullptr);

    void setOptions(const Options &options);
    Options options() const { return m_options; }

    // `done` receives the complete reply message ({"type":"apiFetch", ...}),
    // exactly once; "status" 0 with an "error" text when nothing was fetched.
    void fetch(const QJsonObject &request, const std::function<void(const QJsonObject &)> &done);

    // The URL a request would be sent to, or an empty URL and the reason.
    QUrl targetUrl(const QJsonObject &request, QString *error) const;

private:
    Options m_options;
    QSslConfiguration m_ssl;
    QString m_sslError;
    QNetworkAccessManager *m_manager;
};
