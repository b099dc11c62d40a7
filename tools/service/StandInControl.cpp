#include "tools/service/StandInControl.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QPointer>

#include "tools/service/ServiceStandIn.h"
#include "tools/service/StandInDaemon.h"
#include "tools/service/StandInOpenVpnServer.h"

namespace {
Q_LOGGING_CATEGORY(lcControl, "standin.control")

QJsonObject failure(const QString &error)
{
    return QJsonObject{{QStringLiteral("ok"), false}, {QStringLiteral("error"), error}};
}

QJsonObject success(QJsonObject answer = QJsonObject())
{
    answer.insert(QStringLiteral("ok"), true);
    return answer;
}
} // namespace

StandInControl::StandInControl(ServiceStandIn *service, QObject *parent)
    : QObject(parent)
    , m_service(service)
{
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            m_buffers.insert(socket, QByteArray());
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
                m_buffers.remove(socket);
                socket->deleteLater();
            });
        }
    });
}

bool StandInControl::listen(const QString &name)
{
    QLocalServer::removeServer(name);
    if (!m_server.listen(name)) {
        qCWarning(lcControl) << "Can't listen at" << name << m_server.errorString();
        return false;
    }
    return true;
}

void StandInControl::onReadyRead(QLocalSocket *socket)
{
    if (!m_buffers.contains(socket))
        return;
    // Taken out of the table while commands run: a write may see the socket
    // drop and remove its entry.
    QByteArray buffer = m_buffers.take(socket) + socket->readAll();
    QList<QByteArray> lines;
    qsizetype end;
    while ((end = buffer.indexOf('\n')) >= 0) {
        lines.append(buffer.left(end).trimmed());
        buffer.remove(0, end + 1);
    }
    if (buffer.size() > StandInDaemon::MaxLineBytes) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    m_buffers.insert(socket, buffer);
    QPointer<QLocalSocket> guard(socket);
    for (const QByteArray &line : std::as_const(lines)) {
        if (line.isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        const QJsonObject answer =
            document.isObject() ? execute(document.object()) : failure(QStringLiteral("not a JSON object"));
        if (!guard)
            return;
        socket->write(QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n');
        socket->flush();
    }
}

QJsonObject StandInControl::execute(const QJsonObject &command)
{
    const QString cmd = command.value(QLatin1String("cmd")).toString();
    const QJsonValue value = command.value(QLatin1String("value"));
    qCInfo(lcControl) << "Command" << cmd;
    if (cmd == QLatin1String("ping"))
        return success({{QStringLiteral("pid"), QCoreApplication::applicationPid()}});
    if (cmd == QLatin1String("state"))
        return success({{QStringLiteral("state"), m_service->state()}});
    if (cmd == QLatin1String("openVpnServerLog")) {
        if (!m_openVpnServer)
            return failure(QStringLiteral("no OpenVPN server here"));
        return success({{QStringLiteral("log"), QString::fromLocal8Bit(m_openVpnServer->log())}});
    }
    if (cmd == QLatin1String("killTunnel"))
        return success({{QStringLiteral("killed"), m_service->killTunnel()}});
    if (cmd == QLatin1String("openVpnServer")) {
        if (!m_openVpnServer)
            return failure(QStringLiteral("no OpenVPN server here"));
        if (!command.value(QLatin1String("answering")).isBool())
            return failure(QStringLiteral("\"answering\" must be true or false"));
        if (!m_openVpnServer->setAnswering(command.value(QLatin1String("answering")).toBool()))
            return failure(QStringLiteral("the OpenVPN server does not run"));
        return success();
    }
    if (cmd == QLatin1String("outside")) {
        const QJsonValue reachable = command.value(QLatin1String("reachable"));
        const QJsonValue addresses = command.value(QLatin1String("addresses"));
        if (!reachable.isBool() || !addresses.isArray())
            return failure(QStringLiteral("\"reachable\" (true or false) and \"addresses\" (a list) are needed"));
        QStringList list;
        for (const QJsonValue &address : addresses.toArray())
            list << address.toString();
        QString error;
        if (!m_service->outside().setReachable(list, reachable.toBool(), &error))
            return failure(error);
        return success({{QStringLiteral("unreachable"), QJsonArray::fromStringList(m_service->outside().unreachable())}});
    }
    if (cmd == QLatin1String("dnsQueries"))
        return success({{QStringLiteral("count"), m_service->dnsResponder().queryCount()}});
    if (cmd == QLatin1String("protection"))
        return success(m_service->protection().report());
    if (cmd == QLatin1String("calls"))
        return success({{QStringLiteral("calls"), m_service->calls(command.value(QLatin1String("channel")).toString(),
                                                                   command.value(QLatin1String("call")).toString())}});
    if (cmd == QLatin1String("clearCalls")) {
        m_service->clearCalls();
    } else if (cmd == QLatin1String("lockdown")) {
        if (command.contains(QLatin1String("delayMs")))
            m_service->setLockdownDelay(command.value(QLatin1String("delayMs")).toInt());
        if (command.contains(QLatin1String("reply")))
            m_service->setLockdownReply(command.value(QLatin1String("reply")).toBool());
        if (command.value(QLatin1String("release")).toBool())
            m_service->releaseLockdownWaits();
    } else if (cmd == QLatin1String("script")) {
        TunnelScript script;
        QString error;
        if (!TunnelScript::fromJson(command.value(QLatin1String("script")).toObject(), &script, &error))
            return failure(error);
        m_service->setScript(script);
    } else if (cmd == QLatin1String("network")) {
        const QJsonValue description = command.value(QLatin1String("network"));
        StandInNetwork network;
        QString error;
        if (!description.isObject())
            return failure(QStringLiteral("\"network\" must be an object"));
        if (!StandInNetwork::fromJson(description.toObject(), &network, &error))
            return failure(error);
        m_service->setNetwork(network);
    } else if (cmd == QLatin1String("stall")) {
        m_service->stall();
    } else if (cmd == QLatin1String("recover")) {
        m_service->recover();
    } else if (cmd == QLatin1String("pushStatus")) {
        m_service->pushStatus();
    } else if (cmd == QLatin1String("connected")) {
        m_service->sendConnected();
    } else if (cmd == QLatin1String("disconnected")) {
        m_service->sendDisconnected();
    } else if (cmd == QLatin1String("drop")) {
        m_service->dropDaemonClients();
    } else if (cmd == QLatin1String("dropIpc")) {
        m_service->dropIpcClients();
    } else if (cmd == QLatin1String("mark")) {
        m_service->protection().mark(command.value(QLatin1String("name")).toString());
    } else if (cmd == QLatin1String("clearProtection")) {
        m_service->protection().clearTimeline();
    } else if (cmd == QLatin1String("tunnelUp")) {
        m_service->bringTunnelUp();
    } else if (cmd == QLatin1String("noTunnel")) {
        m_service->setNoTunnel(value.toBool(true));
    } else if (cmd == QLatin1String("error")) {
        if (!command.value(QLatin1String("code")).isDouble())
            return failure(QStringLiteral("\"code\" must be a number"));
        m_service->sendError(command.value(QLatin1String("code")).toInt());
    } else if (cmd == QLatin1String("killSwitchBlock")) {
        m_service->setKillSwitchBlock(value.toBool());
    } else if (cmd == QLatin1String("ignore")) {
        QStringList types;
        for (const QJsonValue &type : command.value(QLatin1String("types")).toArray())
            types.append(type.toString());
        m_service->setIgnoredTypes(types);
    } else if (cmd == QLatin1String("unavailable")) {
        m_service->setFeaturesUnavailable(value.toBool());
    } else if (cmd == QLatin1String("stop")) {
        m_service->stop();
    } else if (cmd == QLatin1String("start")) {
        if (!m_service->start())
            return failure(QStringLiteral("the service could not start"));
    } else if (cmd == QLatin1String("restart")) {
        m_service->restart(command.value(QLatin1String("downMs")).toInt(1000));
    } else {
        return failure(QStringLiteral("unknown command \"%1\"").arg(cmd));
    }
    return success();
}

QJsonObject StandInControl::request(const QString &name, const QJsonObject &command, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return failure(QStringLiteral("can't reach the control socket: %1").arg(socket.errorString()));
    socket.write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
    if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
        return failure(QStringLiteral("can't send the command"));
    QByteArray buffer;
    while (!buffer.contains('\n')) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))
            return failure(QStringLiteral("no answer in time"));
        buffer += socket.readAll();
    }
    const QJsonDocument answer = QJsonDocument::fromJson(buffer.left(buffer.indexOf('\n')));
    return answer.isObject() ? answer.object() : failure(QStringLiteral("an answer that is no JSON object"));
}
