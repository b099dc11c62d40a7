#include "tools/service/StandInDnsResponder.h"

#include <QLoggingCategory>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QtEndian>

namespace {
Q_LOGGING_CATEGORY(lcDns, "standin.dns")

const QByteArray AnsweredName = QByteArrayLiteral("www.google.com");
constexpr int HeaderBytes = 12;
constexpr int MaxNameBytes = 255;
constexpr quint16 TypeA = 1;
constexpr quint16 ClassIn = 1;
constexpr quint16 FlagResponse = 0x8000;
constexpr quint16 FlagAuthoritative = 0x0400;
constexpr quint16 FlagRecursionDesired = 0x0100;
constexpr quint16 FlagRecursionAvailable = 0x0080;
constexpr int NameError = 3;
constexpr quint32 TtlSeconds = 60;

quint16 word(const QByteArray &bytes, int at)
{
    return qFromBigEndian<quint16>(bytes.constData() + at);
}

void appendWord(QByteArray *bytes, quint16 value)
{
    bytes->append(char(value >> 8)).append(char(value & 0xFF));
}
} // namespace

StandInDnsResponder::StandInDnsResponder(std::function<bool()> answering, QObject *parent)
    : QObject(parent)
    , m_answering(std::move(answering))
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &StandInDnsResponder::onReadyRead);
}

bool StandInDnsResponder::isLocalAddress(const QHostAddress &address)
{
    return address.isLoopback() || QNetworkInterface::allAddresses().contains(address);
}

bool StandInDnsResponder::listen(const QHostAddress &address, quint16 port)
{
    close();
    if (address.protocol() != QAbstractSocket::IPv4Protocol || !isLocalAddress(address)) {
        qCInfo(lcDns) << address.toString() << "is not an IPv4 address of this machine: no name server";
        return false;
    }
    if (!m_socket.bind(address, port)) {
        qCWarning(lcDns) << "Can't answer DNS at" << address.toString() << port << m_socket.errorString();
        return false;
    }
    m_address = address;
    qCInfo(lcDns) << "Answering DNS at" << address.toString() << m_socket.localPort();
    return true;
}

void StandInDnsResponder::close()
{
    m_socket.close();
    m_address.clear();
}

void StandInDnsResponder::onReadyRead()
{
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket.receiveDatagram();
        if (!datagram.isValid())
            continue;
        if (!isLocalAddress(datagram.senderAddress())) {
            qCWarning(lcDns) << "Ignored a query from" << datagram.senderAddress().toString();
            continue;
        }
        const QByteArray answer = reply(datagram.data());
        if (answer.isEmpty()) {
            qCInfo(lcDns) << "Dropped a datagram that is no DNS query";
            continue;
        }
        ++m_queryCount;
        if (!m_answering()) {
            qCInfo(lcDns) << "A query that the tunnel doesn't carry: no answer";
            continue;
        }
        m_socket.writeDatagram(answer, datagram.senderAddress(), quint16(datagram.senderPort()));
    }
}

QByteArray StandInDnsResponder::reply(const QByteArray &query) const
{
    if (query.size() < HeaderBytes)
        return {};
    const quint16 flags = word(query, 2);
    const int opcode = (flags >> 11) & 0xF;
    if ((flags & FlagResponse) || opcode != 0 || word(query, 4) != 1)
        return {};

    // The one question: labels up to the root, no compression in a query.
    QByteArrayList labels;
    int at = HeaderBytes;
    while (true) {
        if (at >= query.size() || at - HeaderBytes > MaxNameBytes)
            return {};
        const int length = quint8(query.at(at));
        if (length == 0)
            break;
        if (length > 63 || at + 1 + length > query.size())
            return {};
        labels.append(query.mid(at + 1, length).toLower());
        at += 1 + length;
    }
    const int questionEnd = at + 1 + 4;
    if (questionEnd > query.size())
        return {};
    const quint16 type = word(query, at + 1);
    const quint16 klass = word(query, at + 3);

    int rcode = m_failureCode;
    if (rcode == 0 && labels.join('.') != AnsweredName)
        rcode = NameError;
    const bool withRecord = rcode == 0 && type == TypeA && klass == ClassIn;

    QByteArray answer;
    appendWord(&answer, word(query, 0));
    appendWord(&answer, FlagResponse | FlagAuthoritative | (flags & FlagRecursionDesired) | FlagRecursionAvailable
                            | quint16(rcode));
    appendWord(&answer, 1);
    appendWord(&answer, withRecord ? 1 : 0);
    appendWord(&answer, 0);
    appendWord(&answer, 0);
    answer.append(query.mid(HeaderBytes, questionEnd - HeaderBytes));
    if (withRecord) {
        appendWord(&answer, 0xC000 | HeaderBytes); // the name, pointing at the question's
        appendWord(&answer, TypeA);
        appendWord(&answer, ClassIn);
        appendWord(&answer, quint16(TtlSeconds >> 16));
        appendWord(&answer, quint16(TtlSeconds & 0xFFFF));
        appendWord(&answer, 4);
        const quint32 ip = m_address.toIPv4Address();
        appendWord(&answer, quint16(ip >> 16));
        appendWord(&answer, quint16(ip & 0xFFFF));
    }
    return answer;
}
