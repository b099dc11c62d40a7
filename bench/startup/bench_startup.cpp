// Start-up cost of the client next to a bare Qt Quick window of the same size,
// on the same display and in the same run: time from starting the process to
// its first frame, and resident memory after it has sat idle. Both programs
// print "first-frame <epoch ms> <width>x<height>" when asked through
// KELVRA_FIRST_FRAME_MARK. Runs inside the test network namespace with a
// keyring, with the backend and service stand-ins it starts itself.
// Usage: bench_startup [RUNS] [IDLE_SECONDS]

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Sample {
    double firstFrameMs = -1;
    double idleMb = -1;
    QString size;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

double residentMb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression rss(QStringLiteral("^VmRSS:\\s+(\\d+) kB"), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = rss.match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toDouble() / 1024.0 : -1;
}

void stop(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// One start of `program`: the first-frame mark, then the resident memory
// after `idleSeconds` more.
Sample measure(const QString &program, const QStringList &arguments, int idleSeconds)
{
    Sample sample;
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KELVRA_FIRST_FRAME_MARK"), QStringLiteral("1"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardErrorFile(QProcess::nullDevice());
    const qint64 started = QDateTime::currentMSecsSinceEpoch();
    process.start(program, arguments);
    const QDeadlineTimer deadline(30000);
    QByteArray out;
    while (!deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(int(std::max<qint64>(1, std::min<qint64>(500, deadline.remainingTime()))));
        out += process.readAllStandardOutput();
        const int at = out.indexOf("first-frame ");
        if (at >= 0 && out.indexOf('\n', at) > at) {
            const QList<QByteArray> fields = out.mid(at, out.indexOf('\n', at) - at).split(' ');
            if (fields.size() >= 3) {
                sample.firstFrameMs = double(fields.at(1).toLongLong() - started);
                sample.size = QString::fromLatin1(fields.at(2));
            }
            break;
        }
    }
    if (sample.firstFrameMs >= 0 && !process.waitForFinished(idleSeconds * 1000))
        sample.idleMb = residentMb(process.processId());
    stop(process);
    return sample;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qgetenv("KELVRA_IN_NETNS") != "1") {
        std::fprintf(stderr, "run inside the test network: bash scripts/netns.sh bash scripts/keyring.sh %s\n", argv[0]);
        return 2;
    }
    const QStringList args = app.arguments();
    const int runs = args.size() > 1 ? std::max(1, args.at(1).toInt()) : 3;
    const int idleSeconds = args.size() > 2 ? std::max(0, args.at(2).toInt()) : 10;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString bin = QCoreApplication::applicationDirPath();
    std::printf("platform %s\n", qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
                                     ? qPrintable(QStringLiteral("xcb ") + qEnvironmentVariable("DISPLAY"))
                                     : qPrintable(qEnvironmentVariable("QT_QPA_PLATFORM")));

    // The client finds its backend and service as in the run command.
    QProcess backend, service;
    backend.setStandardOutputFile(QProcess::nullDevice());
    backend.setStandardErrorFile(QProcess::nullDevice());
    service.setStandardOutputFile(QProcess::nullDevice());
    service.setStandardErrorFile(QProcess::nullDevice());
    backend.start(bin + QStringLiteral("/kelvra-backend-standin"));
    service.start(bin + QStringLiteral("/kelvra-service"),
                  {QStringLiteral("--api-base-url"), QStringLiteral("https://testapi.kelvra.test:8443/api/")});
    if (!backend.waitForStarted(5000) || !service.waitForStarted(5000)) {
        std::fprintf(stderr, "the stand-ins did not start from %s\n", qPrintable(bin));
        return 1;
    }
    QThread::sleep(1);

    std::vector<double> clientFrames, bareFrames, clientMb, bareMb;
    QString size;
    for (int run = 0; run < runs; ++run) {
        // The client first: the bare window takes the size it chose.
        const Sample client = measure(bin + QStringLiteral("/kelvra"), {}, idleSeconds);
        if (client.firstFrameMs < 0) {
            std::fprintf(stderr, "kelvra showed no first frame within 30 s\n");
            return 1;
        }
        size = client.size;
        const QStringList wh = size.split(u'x');
        const Sample bare = measure(bin + QStringLiteral("/bench_bare_window"), wh, idleSeconds);
        if (bare.firstFrameMs < 0) {
            std::fprintf(stderr, "the bare window showed no first frame within 30 s\n");
            return 1;
        }
        std::printf("run %d kelvra %.0f ms %.1f MB, bare %.0f ms %.1f MB\n", run + 1, client.firstFrameMs,
                    client.idleMb, bare.firstFrameMs, bare.idleMb);
        std::fflush(stdout);
        clientFrames.push_back(client.firstFrameMs);
        bareFrames.push_back(bare.firstFrameMs);
        clientMb.push_back(client.idleMb);
        bareMb.push_back(bare.idleMb);
    }
    stop(service);
    stop(backend);

    const double kf = median(clientFrames), bf = median(bareFrames);
    const double km = median(clientMb), bm = median(bareMb);
    std::printf("window %s\n", qPrintable(size));
    std::printf("ms first-frame-kelvra %.0f\n", kf);
    std::printf("ms first-frame-bare %.0f\n", bf);
    std::printf("ratio first-frame %.2f\n", bf > 0 ? kf / bf : 0.0);
    std::printf("mb idle-memory-kelvra %.1f\n", km);
    std::printf("mb idle-memory-bare %.1f\n", bm);
    std::printf("ratio idle-memory-mb-above %.1f\n", km - bm);
    return 0;
}
