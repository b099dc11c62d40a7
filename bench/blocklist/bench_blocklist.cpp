// How much checking a whole blocklist costs next to the least any check must do.
//
// Generates a valid document of 300,000 names (the most the backend may send)
// and compares, in one run, Blocklist::domainsOf (parse, count, the character
// rule on every name, SHA-256 over the joined names) with the bare floor:
// parse the JSON and hash the joined names once. Also prints the memory the
// held list takes, next to the size of the document.
// Goal: the check within 1.5x the floor.

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <malloc.h>
#include <vector>

#include "settings/Blocklist.h"
#include "support/TestEnvironment.h"

namespace {

constexpr int kNames = Blocklist::kMaxEntries;
constexpr int kRounds = 7;

QByteArray document()
{
    const char *const words[] = {"ads", "tracker", "metrics", "pixel", "banner", "telemetry", "stats", "cdn-ad"};
    QStringList names;
    names.reserve(kNames);
    for (int i = 0; i < kNames; ++i) {
        names.append(QStringLiteral("%1%2.%3-network%4.example.com")
                         .arg(QLatin1String(words[i % 8]))
                         .arg(i)
                         .arg(QLatin1String(words[(i / 8) % 8]))
                         .arg(i % 97));
    }
    const QByteArray hash =
        QCryptographicHash::hash(names.join(QLatin1Char('\n')).toLatin1(), QCryptographicHash::Sha256).toHex();
    return QJsonDocument(QJsonObject{{QStringLiteral("domains"), QJsonArray::fromStringList(names)},
                                     {QStringLiteral("count"), kNames},
                                     {QStringLiteral("sha256"), QString::fromLatin1(hash)}})
        .toJson(QJsonDocument::Compact);
}

// The least any check does: parse, and hash the joined names once.
QByteArray floorCheck(const QByteArray &body)
{
    const QJsonArray domains = QJsonDocument::fromJson(body).object().value(QLatin1String("domains")).toArray();
    QStringList names;
    names.reserve(domains.size());
    for (const QJsonValue &value : domains)
        names.append(value.toString());
    return QCryptographicHash::hash(names.join(QLatin1Char('\n')).toLatin1(), QCryptographicHash::Sha256);
}

// Processor time of the process: other programs on a shared machine do not
// count against the code measured.
double cpuMs(std::clock_t since)
{
    return double(std::clock() - since) * 1000.0 / CLOCKS_PER_SEC;
}

// Resident memory of the process in megabytes.
double residentMb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toDouble() * 4096.0 / (1024.0 * 1024.0) : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);

    std::vector<double> floors, checks;
    qsizetype bodySize = 0;
    for (int round = 0; round < kRounds; ++round) {
        const QByteArray body = document();
        bodySize = body.size();
        std::clock_t start = std::clock();
        const QByteArray floorHash = floorCheck(body);
        floors.push_back(cpuMs(start));
        start = std::clock();
        const QJsonArray domains = Blocklist::domainsOf(body);
        checks.push_back(cpuMs(start));
        if (domains.size() != kNames || floorHash.isEmpty()) {
            std::fprintf(stderr, "the generated list was refused\n");
            return 1;
        }
    }

    // The list as AdBlock holds it, once the document it came from is gone.
    double heldMb = 0;
    {
        QJsonArray held;
        // Freed memory goes back to the system first, so the figures are what is held.
        malloc_trim(0);
        const double before = residentMb();
        {
            const QByteArray body = document();
            held = Blocklist::domainsOf(body);
        }
        malloc_trim(0);
        heldMb = residentMb() - before;
        if (held.size() != kNames)
            return 1;
    }

    const double floorMs = *std::min_element(floors.begin(), floors.end());
    const double checkMs = *std::min_element(checks.begin(), checks.end());
    const double bodyMb = double(bodySize) / (1024.0 * 1024.0);
    std::printf("blocklist: %d names, %.1f MB document, fastest of %d rounds\n", kNames, bodyMb, kRounds);
    std::printf("floor (parse, hash the joined names)  %8.2f ms\n", floorMs);
    std::printf("whole check (Blocklist::domainsOf)    %8.2f ms\n", checkMs);
    std::printf("mb held-list %.1f\n", heldMb);
    std::printf("ratio check-vs-floor %.2f\n", checkMs / floorMs);
    std::printf("ratio held-list-vs-document %.2f\n", heldMb / bodyMb);
    return 0;
}
