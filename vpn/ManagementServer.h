#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpServer;
class QTcpSocket;

// The loopback TCP server OpenVPN's management client connects back to. It
// takes exactly one connection, then stops listening.
class ManagementServer : public QObject
{
    Q_OBJECT
public:
    explicit ManagementServer(QObject *parent = nullptr);
    ~ManagementServer() override;

    bool start(const QString &host, quint16 port);
    void stop();
    bool isOpen() const;
    bool canReadLine() const;
    // One line; empty when no socket is open or the line was dropped.
    QString readLine();
    qint64 writeCommand(const QString &command);

    // The longest management line kept; the rest of a longer one is dropped.
    static constexpr qint64 kMaxLineBytes = 64 * 1024;

signals:
    void readyRead();
    void serverStarted();

public slots:
    void onAcceptError(QAbstractSocket::SocketError socketError);
    void onNewConnection();
    void onReadyRead();
    void onSocketDisconnected();
    void onSocketError(QAbstractSocket::SocketError socketError);

private:
    QTcpServer *m_server = nullptr;
    QPointer<QTcpSocket> m_socket;
    bool m_skipping = false;
};
