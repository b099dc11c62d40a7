#include "connection/TunnelDnsCheck.h"

#include <QDnsLookup>

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("ConnectionController"));

const QString LookedUpName = QStringLiteral("www.google.com");

QHostAddress &nameserverOverride()
{
    static QHostAddress address;
    return address;
}

int &limitOverride()
{
    static int limitMs = 0;
    return limitMs;
}

QHostAddress nameserver()
{
    return nameserverOverride().isNull() ? QHostAddress(QStringLiteral("8.8.8.8")) : nameserverOverride();
}

int limitMs()
{
    return limitOverride() > 0 ? limitOverride() : TunnelDnsCheck::LimitMs;
}
} // namespace

TunnelDnsCheck::TunnelDnsCheck(QObject *parent)
    : QObject(parent)
{
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this, [this] {
        logger.debug() << "DNS through the tunnel: no answer in" << limitMs() << "ms";
        report(false);
    });
}

void TunnelDnsCheck::start()
{
    if (m_lookup || m_reported)
        return;
    m_lookup = new QDnsLookup(QDnsLookup::A, LookedUpName, nameserver(), this);
    connect(m_lookup, &QDnsLookup::finished, this, [this] {
        const bool answered = m_lookup->error() == QDnsLookup::NoError;
        if (!answered)
            logger.debug() << "DNS through the tunnel failed:" << m_lookup->errorString();
        report(answered);
    });
    m_limit.start(limitMs());
    m_lookup->lookup();
}

void TunnelDnsCheck::report(bool answered)
{
    if (m_reported)
        return;
    m_reported = true;
    m_limit.stop();
    if (m_lookup) {
        // The resolver may still be waiting on its own clock; its late result
        // must not reach us.
        m_lookup->disconnect(this);
        if (!m_lookup->isFinished())
            m_lookup->abort();
    }
    emit finished(answered);
    deleteLater();
}

#ifdef KELVRA_TESTING
void TunnelDnsCheck::setNameserverForTesting(const QHostAddress &nameserver)
{
    nameserverOverride() = nameserver;
}

void TunnelDnsCheck::setLimitForTesting(int limitMs)
{
    limitOverride() = qMax(0, limitMs);
}
#endif
