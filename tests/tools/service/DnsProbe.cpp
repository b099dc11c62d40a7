#include "tests/tools/service/DnsProbe.h"

#include <QDeadlineTimer>
#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>

namespace {
constexpr quint16 QueryId = 0x4b31;
constexpr int HeaderBytes = 12;
}

QByteArray DnsProbe::query(const QByteArray &name, quint16 type)
{
    // Id, recursion desired, one question.
    QByteArray datagram = QByteArray::fromHex("4b31"
                                              "0100"
                                              "0001"
                                              "0000"
                                              "0000"
                                              "0000");
    for (const QByteArray &label : name.split('.'))
        datagram.append(char(label.size())).append(label);
    datagram.append('\0');
    datagram.append(char(type >> 8)).append(char(type & 0xFF));
    datagram.append(QByteArray::fromHex("0001"));
    return datagram;
}

DnsProbe::Reply DnsProbe::ask(const QHostAddress &server, const QByteArray &datagram, int timeoutMs)
{
    QUdpSocket socket;
    Reply reply;
    if (socket.writeDatagram(datagram, server, 53) != datagram.size())
        return reply;
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        // The event loop runs meanwhile: the name server may live in this process.
        if (!QTest::qWaitFor([&socket] { return socket.hasPendingDatagrams(); }, int(qMax<qint64>(1, deadline.remainingTime()))))
            continue;
        const QByteArray answer = socket.receiveDatagram().data();
        if (answer.size() < HeaderBytes || qFromBigEndian<quint16>(answer.constData()) != QueryId)
            continue;
        reply.replied = true;
        reply.rcode = answer.at(3) & 0xF;
        reply.answerCount = qFromBigEndian<quint16>(answer.constData() + 6);
        // The question comes back as asked; each A record after it is a
        // 2-byte name pointer, type, class, TTL, length and 4 address bytes.
        constexpr int RecordBytes = 16;
        for (int i = 0, at = int(datagram.size()); i < reply.answerCount && at + RecordBytes <= answer.size();
             ++i, at += RecordBytes) {
            if (qFromBigEndian<quint16>(answer.constData() + at + 2) == TypeA)
                reply.addresses.append(QHostAddress(qFromBigEndian<quint32>(answer.constData() + at + 12)));
        }
        return reply;
    }
    return reply;
}
