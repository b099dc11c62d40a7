#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <functional>

#include "vpn/VpnProtocol.h"

// What a configuration fetch brought back.
struct ConfigReply {
    int status = 0;
    bool error = false;
    QByteArray body;
    QString errorText;
    QByteArray retryAfter;
    bool hostUnreachable = false;
};

// The catalogue's links to the request layer, the account and the tunnel. A new
// model has the request-layer and account links (ServerLinks); the core
// controller adds the service and tunnel links. A link left empty behaves as
// "not there" (fetches answer as unreachable, the account as signed in
// without e-mail, the tunnel as having no driver).
struct CatalogueHooks {
    // GET "client/servers" (15000 ms, session token, 401 watch) through the
    // model's own NetworkManager, whose requestFinished goes to parseResponse
    // and requestFailed to onNetworkRetryTimeout.
    std::function<void()> fetchServerList;
    // The app's own GET on ApiHost::sharedManager(), with no time-out of its
    // own, sent again after ApiHost::retryDelayMs() while ApiHost::handleReply
    // asks for it; then `done` once with the HTTP status, whether the reply had
    // a network error, the body, the error string, the "Retry-After" header,
    // and whether the host failure kind was other than Answered.
    std::function<void(const QNetworkRequest &request, std::function<void(const ConfigReply &)> done)>
        fetchConfigDirect;
    // The daemon link's one-shot LocalSocketController::apiFetch with the URL
    // and the session token: done(HTTP status or 0, body, Retry-After).
    std::function<void(const QUrl &url, const QString &token,
                       std::function<void(int status, const QByteArray &body, const QByteArray &retryAfter)> done)>
        fetchConfigThroughService;
    // The build's API base URL (ends in "/api/").
    std::function<QString()> apiBaseUrl;
    // True while API traffic goes to the primary host (no backup host in use).
    std::function<bool()> apiOnPrimaryHost;
    // AuthGuard::check401, given the failed request's "Authorization" header.
    std::function<void(const QByteArray &authorization)> check401;
    // The device-limit guard: true when it recognised the body as its own.
    std::function<bool(const QByteArray &body)> deviceLimit;

    // The token store's session token and signed-in e-mail; the user
    // manager's signed-out state.
    std::function<QString()> sessionToken;
    std::function<QString()> accountEmail;
    std::function<bool()> signedOut;

    // The VPN connection: whether it has a driver, that driver's state,
    // isFirewallHeld().
    std::function<bool()> vpnHasDriver;
    std::function<VpnProtocol::ConnectionState()> vpnDriverState;
    std::function<bool()> vpnFirewallHeld;
    // onVpnError(ConnectionFailed), then connectionStateChanged(Disconnected).
    std::function<void()> vpnFailConnection;
    // disconnectFromVpn(), then connectionStateChanged(Disconnected).
    std::function<void()> vpnEndConnection;
    // setProtocol(protocol), then connectionStateChanged(Connecting).
    std::function<void(VpnProtocol::Protocol protocol)> vpnBeginSwitch;
};

