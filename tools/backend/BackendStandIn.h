#pragma once

#include "StandInBlocklist.h"
#include "StandInEngagement.h"
#include "StandInReply.h"
#include "StandInReports.h"
#include "StandInRequest.h"
#include "StandInUpdates.h"
#include "StandInSso.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QStringList>
#include <QString>
#include <QUrlQuery>

#include <memory>

class StandInConnection;

// A stand-in for the Kelvra backend API: a real HTTPS server on loopback
// addresses that answers the client's API paths under "/api/" from a small
// in-memory account store and a seeded server catalogue, and answers the
// connectivity probe ("/cdn-cgi/trace") on any address.
//
// Tests run it in-process: listen on the addresses the client's stand-in
// build uses (testapi.kelvra.test = 127.0.0.1, cdn1... = 127.0.0.2,
// cdn2... = 127.0.0.3) on a free port, point the client at that port, then
// script failures per host and path and read back what the client sent.
// Everything happens on the thread that owns the object.
//
// It speaks HTTP/2 to a client that offers it by ALPN, as Qt's network
// access does on every HTTPS request and as the real backend answers, so the
// client's HTTP/2 path is the one the tests exercise; a client that offers
// only HTTP/1.1 (the Cloudflare route check's own sockets, a plain socket)
// gets HTTP/1.1. setHttp2(false) pins HTTP/1.1 for everyone.
//
// Its certificate is signed by the stand-in CA (caCertificatePath()), valid
// for those host names, their addresses, 1.1.1.1 and the catalogue's
// Cloudflare front name (front.testapi.kelvra.test).
class BackendStandIn : public QObject
{
    Q_OBJECT
public:
    explicit BackendStandIn(QObject *parent = nullptr);
    ~BackendStandIn() override;

    // The default addresses: 127.0.0.1, 127.0.0.2 and 127.0.0.3.
    static QList<QHostAddress> defaultAddresses();

    // Listens on each address with the given port (0: the first address takes
    // a free port and the others use the same one). May be called again to add
    // listeners (for example 1.1.1.1 port 443 for the connectivity probe).
    // False, with a warning, when any address could not be bound.
    bool listen(const QList<QHostAddress> &addresses, quint16 port = 0);
    // The port of the first listener (0 before listen()).
    quint16 port() const;
    // "https://testapi.kelvra.test:<port>/api/"
    QString baseUrl() const;
    // Stops / resumes listening on one address (every port of it). Stopping
    // also closes the connections that arrived on that address, so a client
    // with a kept-alive connection sees the host go away too.
    void stopListening(const QHostAddress &address);
    void resumeListening(const QHostAddress &address);
    bool isListening(const QHostAddress &address) const;

    // The certificate an address presents from now on: its own, or one a
    // client must refuse (made for another name, expired, or signed by an
    // authority nobody trusts). Its open connections are closed, so none
    // made with the old certificate lives on.
    enum class TlsFault { None, WrongName, Expired, UnknownAuthority };
    Q_ENUM(TlsFault)
    void setTlsFault(const QHostAddress &address, TlsFault fault);

    // Whether "h2" is offered by ALPN to connections accepted from now on
    // (default on). Off, every client speaks HTTP/1.1.
    void setHttp2(bool on);
    bool isHttp2() const;

    // How long a connection may sit without a complete request before it is
    // closed (default 60000 ms; for connections accepted afterwards).
    void setIdleTimeout(int milliseconds);

    // Scripting. host: the local address as text ("127.0.0.2") or a host name
    // from the "Host" header ("cdn1.testapi.kelvra.test"); empty matches any.
    // pathPrefix: relative to "/api/" ("client/configuration/") unless it
    // begins with "/" ("/cdn-cgi/trace"); empty matches any path.
    // times: how many requests the script answers (-1: until cleared).
    // Scripts are matched in the order they were added; the first match wins.
    void script(const QString &host, const QString &pathPrefix, const StandInReply &reply, int times = 1);
    // The same, for the requests that also carry every item of `query` with
    // its value ("recover=1" picks the configuration fetches that ask the
    // backend to restore the device's peer).
    void script(const QString &host, const QString &pathPrefix, const QUrlQuery &query, const StandInReply &reply,
                int times = 1);
    // The recovery requests alone: "client/configuration/<id>" with "recover=1".
    // The backend's answers to them are its own (StandInReply::nodeUnavailable(),
    // peerAlive(), recoverLimited(), ...); other configuration fetches are
    // answered as usual.
    void scriptRecovery(const StandInReply &reply, int times = 1);
    // Drops every script, reopens addresses closed by refuse() and gives
    // every address its own certificate back.
    void clearScripts();
    // Scripts still waiting for a request (sticky ones always count).
    int pendingScripts() const;

    // Every request received, oldest first (the latest 10000).
    QList<StandInRequest> requests() const;
    // The requests whose endpoint (path under "/api/", see
    // StandInRequest::endpoint) begins with the prefix.
    QList<StandInRequest> requestsTo(const QString &endpointPrefix) const;
    void clearRequests();
    // API requests that came without a header the client always sends
    // ("POST auth/code-login: X-Platform"), oldest first. They are refused
    // with 400 and a warning on standard error, so a client that stops
    // sending one fails loudly.
    QStringList headerFaults() const;

    // Accounts. Codes that "auth/get-login-code" mails are also emitted as
    // codeMailed() and printed by the stand-in program.
    Q_INVOKABLE QString lastCodeFor(const QString &email) const;
    // Signs the account in as a new device and returns its token
    // ("<id>|<40 letters and digits>"); creates the account when needed. The
    // device limit does not apply to this shortcut (the device still counts).
    Q_INVOKABLE QString issueToken(const QString &email);
    // A one-time code for "auth/sso-login-with-token" (a sign-in link's code).
    Q_INVOKABLE QString issueLinkCode(const QString &email);
    bool isTokenValid(const QString &token) const;
    void revokeToken(const QString &token);
    // Devices counted toward the limit before "auth/code-login" refuses a new
    // one with the device-limit body (default 5; 0 or less: no limit).
    void setDeviceLimit(int limit);
    // Devices with a tunnel up at once before a configuration fetch is
    // refused with the too-many-connected body (default 0: no limit).
    void setConnectionLimit(int limit);
    // Adds another device to the account (not signed in from this client).
    // Fields default to a made-up phone; returns its "device_uuid".
    QString addDevice(const QString &email, const QJsonObject &fields = QJsonObject(),
                      bool vpnConnected = false);
    // The account's devices as "connected-device" lists them for the token.
    QJsonArray devices(const QString &email, const QString &currentToken = QString()) const;
    // Replaces the "subscription-info" data of an account.
    void setSubscription(const QString &email, const QJsonObject &data);
    // The address the connectivity probe reports as "ip=" (default: the
    // address the request came from).
    void setProbeIp(const QString &ip);

    // What "client/blocklist" serves from now on (the seed list until set),
    // with its entity tag; see StandInBlocklist for the faults.
    void setBlocklist(const QStringList &domains,
                      StandInBlocklist::Fault fault = StandInBlocklist::Fault::None);
    StandInBlocklist blocklist() const;

    // The update offer and the installer downloads (see StandInUpdates).
    StandInUpdates &updates();
    // The account web site's single sign-on and dashboard pages.
    StandInSso &sso();
    // The session and protocol reports received.
    StandInReports &reports();
    // Messages, notifications, plans and the speed test: seeded answers,
    // faults on demand and what the client sent (see StandInEngagement).
    StandInEngagement &engagement();
    // The same fault switch for the page tests (fault: a StandInEngagement::Fault).
    Q_INVOKABLE void setEngagementFault(const QString &route, int fault, int times = -1);

    // The seeded catalogue ("client/servers" answer).
    QJsonObject catalogue() const;
    // Every server address the seed catalogue uses (servers, pools, probes).
    QStringList catalogueAddresses() const;
    // The addresses of the catalogue's Cloudflare fronts ("cdn_probe"), which
    // answer the route check's WebSocket upgrade when listened on (port 443).
    QStringList cloudflareFrontAddresses() const;

    // The stand-in CA in PEM form, and a file holding it (written once per
    // process into the temporary directory).
    static QByteArray caCertificatePem();
    static QString caCertificatePath();

signals:
    void requestReceived(const StandInRequest &request);
    void codeMailed(const QString &email, const QString &code);

private:
    void handle(StandInConnection *connection, const StandInRequest &request);
    QSslConfiguration tlsFor(TlsFault fault) const;

    struct Listener;
    struct Script;
    class Private;
    std::unique_ptr<Private> d;
};
