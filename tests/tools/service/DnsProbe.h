#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>

// A DNS client of a few lines for the tests: queries built byte by byte from
// the wire format, sent over UDP to port 53, and the reply read back the same
// way; nothing of the resolver the product uses, so the stand-in's name
// server is checked against the format itself.
class DnsProbe
{
public:
    struct Reply
    {
        bool replied = false;
        int rcode = -1;
        int answerCount = 0;
        QList<QHostAddress> addresses;
    };

    static constexpr quint16 TypeA = 1;
    static constexpr quint16 TypeAaaa = 28;

    static QByteArray query(const QByteArray &name = QByteArrayLiteral("www.google.com"), quint16 type = TypeA);
    // The reply to `datagram` from server:53 within timeoutMs, events running
    // meanwhile; `replied` false when none came.
    static Reply ask(const QHostAddress &server, const QByteArray &datagram, int timeoutMs);
    static Reply ask(const QHostAddress &server, int timeoutMs) { return ask(server, query(), timeoutMs); }
};
