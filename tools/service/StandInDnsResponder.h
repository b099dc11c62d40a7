#pragma once

#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>

#include <functional>

// The name server a tunnel leads to. The client counts a Stealth tunnel only
// once a DNS lookup through it has been answered; in the test network the
// public resolver's address sits on loopback, and this answers there, over
// UDP, only while the stand-in's tunnel would carry the query (the
// `answering` callback says so). Otherwise it stays silent, as a resolver
// behind a dead or filtered tunnel does.
//
// It answers A queries for "www.google.com" with its own address, other names
// with NXDOMAIN, other types of that name with no records; anything that is
// no well-formed query is dropped. It binds only to an address of this
// machine and answers only senders on this machine, so it can never send a
// packet off it, wherever it is started.
class StandInDnsResponder : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 DnsPort = 53;

    explicit StandInDnsResponder(std::function<bool()> answering, QObject *parent = nullptr);

    // False, with the reason logged, when `address` is not an IPv4 address of
    // this machine or can't be bound (another responder holds it).
    bool listen(const QHostAddress &address, quint16 port = DnsPort);
    void close();
    bool isListening() const { return m_socket.state() == QAbstractSocket::BoundState; }
    QHostAddress address() const { return m_address; }

    // Non-zero: every answer carries this response code and no records, as a
    // resolver that fails (2, SERVFAIL) or refuses (5, REFUSED).
    void setFailureCode(int rcode) { m_failureCode = rcode & 0xF; }
    // Well-formed queries received, answered or not.
    int queryCount() const { return m_queryCount; }

    static bool isLocalAddress(const QHostAddress &address);

private:
    void onReadyRead();
    // The reply to one datagram; empty when it is to be dropped.
    QByteArray reply(const QByteArray &query) const;

    std::function<bool()> m_answering;
    QUdpSocket m_socket;
    QHostAddress m_address;
    int m_failureCode = 0;
    int m_queryCount = 0;
};
