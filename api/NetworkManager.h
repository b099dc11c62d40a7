#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

class QNetworkReply;

// One JSON request to the backend (or the connectivity probe), owned by a
// model or controller. Re-sends the request when the host manager asks for
// it, watches for an expired session, lets the device-limit guard see the
// answer, and hands body and status to its owner.
class NetworkManager : public QObject
{
    Q_OBJECT
public:
    enum RequestType {
        GET = 0,
        POST = 1,
    };
    Q_ENUM(RequestType)

    explicit NetworkManager(QObject *parent = nullptr);

    void request(const QString &url, const QJsonObject &body, RequestType type, const QString &token, int timeoutMs,
                 bool watch401);

    // No answer the client asks for comes near this; a bigger one is cut off
    // instead of filling the memory.
    static constexpr qint64 kMaxAnswerBytes = 64 * 1024 * 1024;
#ifdef KELVRA_TESTING
    static void setMaxAnswerBytesForTesting(qint64 bytes);
#endif

signals:
    void requestFailed();
    void requestFinished(QByteArray response, int statusCode);

private:
    struct Call
    {
        QString url;
        QJsonObject body;
        RequestType type;
        QString token;
        int timeoutMs;
        bool watch401;
    };
    void onFinished(QNetworkReply *reply, const Call &call);
};
