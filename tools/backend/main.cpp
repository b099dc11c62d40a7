// kelvra-backend-standin: runs the backend API stand-in on loopback so the
// client's stand-in build can be used by hand. Mailed sign-in codes are
// printed here.
#include "BackendStandIn.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelvra-backend-standin"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Stand-in for the Kelvra backend API on loopback addresses."));
    parser.addHelpOption();
    const QCommandLineOption address(QStringLiteral("address"),
                                     QStringLiteral("Address to listen on (repeatable; default 127.0.0.1, 127.0.0.2, 127.0.0.3)."),
                                     QStringLiteral("address"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port (default 8443)."),
                                  QStringLiteral("port"), QStringLiteral("8443"));
    const QCommandLineOption noExtras(QStringLiteral("loopback-only"),
                                      QStringLiteral("Don't also answer the connectivity probe (1.1.1.1) and the catalogue's "
                                                     "Cloudflare fronts on port 443; by default they are answered "
                                                     "when those addresses exist here (the test network)."));
    const QCommandLineOption deviceLimit(QStringLiteral("device-limit"),
                                         QStringLiteral("Devices per account before sign-in is refused (default 5)."),
                                         QStringLiteral("count"), QStringLiteral("5"));
    const QCommandLineOption connectionLimit(QStringLiteral("connection-limit"),
                                             QStringLiteral("Devices connected at once before a configuration is refused (default: no limit)."),
                                             QStringLiteral("count"), QStringLiteral("0"));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Print every request."));
    const QCommandLineOption updateOffer(QStringLiteral("update-offer"),
                                         QStringLiteral("Offer this file as an update, served under its name from "
                                                        "https://testapi.kelvra.test/downloads/ (port 443)."),
                                         QStringLiteral("file"));
    const QCommandLineOption updateType(QStringLiteral("update-type"),
                                        QStringLiteral("The offered update's type (default optional; \"mandatory\")."),
                                        QStringLiteral("type"), QStringLiteral("optional"));
    const QCommandLineOption http1Only(QStringLiteral("http1-only"),
                                       QStringLiteral("Offer only HTTP/1.1 (by default HTTP/2 is offered too, and the "
                                                      "client takes it)."));
    parser.addOptions({address, port, noExtras, deviceLimit, connectionLimit, verbose, updateOffer, updateType, http1Only});
    parser.process(app);

    QTextStream out(stdout);
    bool portOk = false;
    const uint portValue = parser.value(port).toUInt(&portOk);
    if (!portOk || portValue == 0 || portValue > 65535) {
        QTextStream(stderr) << "Invalid --port: " << parser.value(port) << Qt::endl;
        return 2;
    }
    QList<QHostAddress> addresses;
    for (const QString &text : parser.values(address)) {
        const QHostAddress parsed(text);
        if (parsed.isNull()) {
            QTextStream(stderr) << "Invalid --address: " << text << Qt::endl;
            return 2;
        }
        addresses.append(parsed);
    }
    if (addresses.isEmpty())
        addresses = BackendStandIn::defaultAddresses();

    BackendStandIn standIn;
    standIn.setHttp2(!parser.isSet(http1Only));
    standIn.setDeviceLimit(parser.value(deviceLimit).toInt());
    standIn.setConnectionLimit(parser.value(connectionLimit).toInt());
    QObject::connect(&standIn, &BackendStandIn::codeMailed, &app, [&out](const QString &email, const QString &code) {
        out << "Sign-in code for " << email << ": " << code << Qt::endl;
    });
    if (parser.isSet(verbose)) {
        QObject::connect(&standIn, &BackendStandIn::requestReceived, &app, [&out](const StandInRequest &request) {
            out << request.address << ' ' << request.version << ' ' << request.method << ' ' << request.target
                << Qt::endl;
        });
    }
    if (!standIn.listen(addresses, quint16(portValue)))
        return 1;
    for (const QHostAddress &a : std::as_const(addresses))
        out << "Listening on https://" << a.toString() << ':' << portValue << Qt::endl;
    if (!parser.isSet(noExtras)) {
        // Only addresses that exist on this machine: in the test network
        // namespace they are on loopback; elsewhere they are real hosts.
        const QList<QHostAddress> local = QNetworkInterface::allAddresses();
        QStringList extras{QStringLiteral("1.1.1.1")};
        extras += standIn.cloudflareFrontAddresses();
        for (const QString &text : std::as_const(extras)) {
            const QHostAddress extra(text);
            if (local.contains(extra) && standIn.listen({extra}, 443))
                out << "Listening on https://" << text << ":443" << Qt::endl;
        }
    }
    if (parser.isSet(updateOffer)) {
        QFile file(parser.value(updateOffer));
        if (!file.open(QIODevice::ReadOnly)) {
            QTextStream(stderr) << "Can't read --update-offer: " << file.fileName() << Qt::endl;
            return 2;
        }
        // Installer links name the standard port, as the real download host's do.
        if (standIn.listen({QHostAddress(QStringLiteral("127.0.0.1"))}, 443))
            standIn.updates().setPort(443);
        standIn.updates().offer(QFileInfo(file.fileName()).fileName(), file.readAll(), StandInUpdates::Fault::None,
                                parser.value(updateType));
        out << "Offering " << standIn.updates().linkFor(QFileInfo(file.fileName()).fileName()) << Qt::endl;
    }
    out << "API base: " << standIn.baseUrl() << Qt::endl;
    out << "Trusted CA: " << BackendStandIn::caCertificatePath() << Qt::endl;
    return app.exec();
}
