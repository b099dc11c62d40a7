#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// A Cloudflare front as the client's route check meets it: a real TLS server
// on port 443 of one address of the test network, with the stand-in CA's
// certificate for the catalogue's front name, answering a WebSocket upgrade
// in one of the ways real fronts do on a restricted network: it switches
// protocols, refuses with 403, accepts TCP but never finishes TLS, or
// switches protocols only after a delay.
//
// Bounded: a few dozen connections at once, small request heads, and every
// connection is closed after a while. Everything happens on the thread that
// owns the object; it must not depend on client code.
class CdnFrontStandIn : public QObject
{
    Q_OBJECT
public:
    enum class Behaviour {
        Upgrade,     // "HTTP/1.1 101 Switching Protocols" with the accept key
        Forbidden,   // "HTTP/1.1 403 Forbidden", then the connection closes
        StallTls,    // TCP is accepted, the TLS handshake is never answered
        SlowUpgrade, // as Upgrade, after a delay (DefaultSlowDelayMs unless given)
    };
    static constexpr int DefaultSlowDelayMs = 2000;
    static constexpr int MaxConnections = 64;
    static constexpr int MaxHeadBytes = 8 * 1024;
    static constexpr int IdleTimeoutMs = 30 * 1000;
    static constexpr int MaxRecordedRequests = 1000;

    explicit CdnFrontStandIn(QObject *parent = nullptr);
    ~CdnFrontStandIn() override;

    // Listens on the port of the address with the behaviour for every path.
    // delayMs: how long each answer waits (-1: none, or DefaultSlowDelayMs for
    // SlowUpgrade). False, with a warning, when the address can't be bound.
    bool listen(const QHostAddress &address, Behaviour behaviour, quint16 port = 443, int delayMs = -1);
    // Another behaviour for requests to one path. StallTls is the listener's
    // alone (no path is known before TLS) and is ignored here.
    void setPathBehaviour(const QString &path, Behaviour behaviour, int delayMs = -1);
    void close();

    QHostAddress address() const { return m_address; }
    quint16 port() const;
    // TCP connections accepted so far (each dial of a client counts).
    int connectionCount() const { return m_connectionCount; }
    // Connections open now.
    int openConnections() const { return m_sockets.size(); }
    // The request heads received, oldest first (the latest MaxRecordedRequests),
    // each up to and including its blank line.
    QList<QByteArray> requests() const { return m_requests; }

    // The stand-in CA and the front's certificate and key (PEM).
    static QByteArray caCertificatePem();

signals:
    void connectionAccepted();
    void requestReceived(const QByteArray &head);
    // An answer went out: its status (101 or 403) for the request's path.
    void answered(const QString &path, int status);

private:
    struct Rule
    {
        Behaviour behaviour = Behaviour::Upgrade;
        int delayMs = 0;
    };
    static Rule rule(Behaviour behaviour, int delayMs);
    void accept();
    void track(QTcpSocket *socket);
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const QByteArray &head);

    QTcpServer *m_server = nullptr;
    QHostAddress m_address;
    Rule m_rule;
    QHash<QString, Rule> m_pathRules;
    QList<QTcpSocket *> m_sockets;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<QByteArray> m_requests;
    int m_connectionCount = 0;
};
