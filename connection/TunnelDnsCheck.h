#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QDnsLookup;

// A Stealth tunnel can report itself up on a network that still starves what
// goes through it. One answered DNS lookup through the tunnel is the evidence
// that it carries traffic: this asks the public resolver once, with a time
// limit, reports whether an answer without error came back, and then deletes
// itself. The result is reported exactly once, whatever the resolver does.
class TunnelDnsCheck : public QObject
{
    Q_OBJECT
public:
    static constexpr int LimitMs = 6000;

    explicit TunnelDnsCheck(QObject *parent = nullptr);

    // Looks up "www.google.com" (A) at 8.8.8.8. A second call does nothing.
    void start();

#ifdef KELVRA_TESTING
    // For every check started afterwards, in this process. The port stays 53:
    // the lookup has no way to ask another. A null address or a limit of 0
    // restores the default.
    static void setNameserverForTesting(const QHostAddress &nameserver);
    static void setLimitForTesting(int limitMs);
#endif

signals:
    void finished(bool answered);

private:
    void report(bool answered);

    QDnsLookup *m_lookup = nullptr;
    QTimer m_limit;
    bool m_reported = false;
};
