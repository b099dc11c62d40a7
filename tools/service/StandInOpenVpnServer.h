#pragma once

#include <QHostAddress>
#include <QObject>
#include <QProcess>
#include <QTemporaryDir>

// A real OpenVPN server on an address of this machine, so that the OpenVPN
// the stand-in runs for a client can bring a real tunnel up: the test
// namespace's loopback addresses (127.0.0.1, or a catalogue address such as
// 203.0.113.10 put on lo) and nothing else. It makes its own throw-away
// certificate authority, server and client certificates (with the openssl
// program) and hands out the client's configuration, certificates inline,
// for the backend stand-in to serve as an OpenVPN "configuration".
//
// Needs root and /dev/net/tun (the server's end is a tun device).
class StandInOpenVpnServer : public QObject
{
    Q_OBJECT
public:
    explicit StandInOpenVpnServer(QObject *parent = nullptr);
    ~StandInOpenVpnServer() override;

    // Starts the server at address:port (UDP) with the tunnel subnet
    // 10.<a>.<b>.0/24; waits until it listens. False, with the reason in
    // error(), when the address is not on this machine or the server can't run.
    bool start(const QHostAddress &address, quint16 port, quint8 subnetA = 8, quint8 subnetB = 0,
               const QString &openVpnPath = QStringLiteral("/usr/sbin/openvpn"));
    void stop();
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    // The server stops answering (its process is held still, as a server
    // that hangs or went off the network), or answers again. Clients that
    // were connected notice only through their own keepalive. False when
    // no server runs.
    bool setAnswering(bool answering);
    bool isAnswering() const { return isRunning() && m_answering; }
    QString error() const { return m_error; }

    // "client", "dev tun", "proto udp", "remote <address> <port>", ... with
    // <ca>, <cert> and <key> inline.
    QString clientConfig() const;
    // What the server has written so far (its log, for a failing test).
    QByteArray log() const { return m_log; }

    static bool tunAvailable();

private:
    bool makeCertificates();
    bool openssl(const QStringList &arguments);
    QString file(const QString &name) const;

    QTemporaryDir m_dir;
    QProcess m_process;
    QHostAddress m_address;
    quint16 m_port = 0;
    bool m_answering = true;
    QByteArray m_log;
    QString m_error;
};
