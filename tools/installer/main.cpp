// The package installer, played on this machine: Kelvra Setup and the
// client's install mode start it, and only its command line and exit code
// matter to them. It takes "/S /NOLAUNCH /D=<folder>" (Setup) or "/UPDATE"
// (install mode, folder from KELVRA_STANDIN_INSTALL_DIR) and "installs" by
// writing into the folder: "version" (the version in its own file name) and
// a line per run in "installer.log" with its arguments.
//
// What it does is picked by KELVRA_STANDIN_INSTALLER:
//   "success" (default)   install and exit 0;
//   "exit:<n>"            install nothing and exit n (failure 1, cancelled 2,
//                         its own signature refusal 86, ...);
//   "slow:<ms>"           wait that long, then install and exit 0.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    QString folder = qEnvironmentVariable("KELVRA_STANDIN_INSTALL_DIR");
    for (const QString &argument : arguments) {
        if (argument.startsWith(QLatin1String("/D=")))
            folder = argument.mid(3);
    }
    const QString mode = qEnvironmentVariable("KELVRA_STANDIN_INSTALLER", QStringLiteral("success"));
    if (mode.startsWith(QLatin1String("exit:")))
        return mode.mid(5).toInt();
    if (mode.startsWith(QLatin1String("slow:")))
        QThread::msleep(mode.mid(5).toULong());
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        fprintf(stderr, "installer stand-in: no folder to install into\n");
        return 1;
    }
    // The program's file name carries its version, as the real package's does;
    // the install mode starts a copy named by its process id, so the version
    // may also come from the environment.
    static const QRegularExpression versionPattern(QStringLiteral("(\\d+\\.\\d+\\.\\d+)"));
    QString version = versionPattern.match(QFileInfo(QString::fromLocal8Bit(argv[0])).fileName()).captured(1);
    if (version.isEmpty())
        version = qEnvironmentVariable("KELVRA_STANDIN_INSTALLER_VERSION", QStringLiteral("3.7.9"));
    QFile versionFile(folder + QStringLiteral("/version"));
    QFile log(folder + QStringLiteral("/installer.log"));
    if (!versionFile.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !log.open(QIODevice::WriteOnly | QIODevice::Append))
        return 1;
    versionFile.write(version.toUtf8() + '\n');
    log.write((QDateTime::currentDateTime().toString(Qt::ISODate) + QLatin1Char(' ') + arguments.join(u' ')
               + QLatin1Char('\n'))
                  .toUtf8());
    return 0;
}
