#pragma once

#include <QByteArray>
#include <QObject>

// Reports that the session token in use was refused, so the client signs out.
// Process-wide; lives until exit.
class AuthGuard : public QObject
{
    Q_OBJECT
public:
    static AuthGuard *instance();

    // A request carrying this "Authorization" header got 401. Only the session
    // in use ends; a 401 for a token replaced meanwhile is no sign-out.
    static void check401(const QByteArray &sentAuthorization);

signals:
    void unauthorized();

private:
    AuthGuard() = default;
};
