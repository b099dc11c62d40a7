#include "tools/service/OpenVpnArguments.h"

#include <QDir>
#include <QFile>
#include <QNetworkInterface>
#include <QRegularExpression>

namespace {
// Options whose first value is an address OpenVPN connects to.
const QStringList &addressOptions()
{
    static const QStringList options{QStringLiteral("remote"), QStringLiteral("management"),
                                     QStringLiteral("http-proxy"), QStringLiteral("socks-proxy")};
    return options;
}

// A config file is small text; anything bigger is not one a client wrote.
constexpr qint64 MaxConfigBytes = 1024 * 1024;
} // namespace

const QStringList &OpenVpnArguments::knownServiceSwitches()
{
    static const QStringList switches{QStringLiteral("--kelvra-no-leak-guard")};
    return switches;
}

bool OpenVpnArguments::isMachineLocal(const QHostAddress &address)
{
    return address.isLoopback() || QNetworkInterface::allAddresses().contains(address);
}

OpenVpnArguments::OpenVpnArguments(const QStringList &arguments, const QString &workingDirectory, LocalTest isLocal)
    : m_workingDirectory(workingDirectory)
    , m_isLocal(isLocal ? std::move(isLocal) : LocalTest(&OpenVpnArguments::isMachineLocal))
{
    for (const QString &argument : arguments) {
        if (knownServiceSwitches().contains(argument))
            m_serviceSwitches.append(argument);
        else
            m_arguments.append(argument);
    }
    for (qsizetype i = 0; i < m_arguments.size() && isAllowed(); ++i) {
        const QString &argument = m_arguments.at(i);
        if (!argument.startsWith(QLatin1String("--")))
            continue;
        const QString option = argument.mid(2);
        QStringList values;
        for (qsizetype j = i + 1; j < m_arguments.size() && !m_arguments.at(j).startsWith(QLatin1String("--")); ++j)
            values.append(m_arguments.at(j));
        if (option == QLatin1String("config")) {
            if (values.isEmpty())
                refuse(QStringLiteral("--config without a file"));
            else
                checkConfigFile(values.first());
        } else {
            checkOption(option, values, QStringLiteral("the command line"));
        }
    }
}

void OpenVpnArguments::checkOption(const QString &option, const QStringList &values, const QString &where)
{
    if (!addressOptions().contains(option))
        return;
    if (values.isEmpty()) {
        // "remote" with no host means any peer may connect in: not a client.
        refuse(QStringLiteral("%1 without an address in %2").arg(option, where));
        return;
    }
    const QHostAddress address(values.first());
    if (address.isNull())
        refuse(QStringLiteral("%1 %2 in %3 is not an address").arg(option, values.first(), where));
    else if (!m_isLocal(address))
        refuse(QStringLiteral("%1 %2 in %3 is not on this machine").arg(option, values.first(), where));
}

void OpenVpnArguments::checkConfigFile(const QString &path)
{
    QFile file(QDir(m_workingDirectory).absoluteFilePath(path));
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxConfigBytes) {
        refuse(QStringLiteral("the configuration %1 can't be read").arg(path));
        return;
    }
    const QString where = QStringLiteral("the configuration");
    static const QRegularExpression spaces(QStringLiteral("\\s+"));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        QStringList fields = line.split(spaces, Qt::SkipEmptyParts);
        const QString option = fields.takeFirst();
        if (option == QLatin1String("config"))
            refuse(QStringLiteral("a nested config in %1").arg(where));
        else
            checkOption(option, fields, where);
        if (!isAllowed())
            return;
    }
}

void OpenVpnArguments::refuse(const QString &reason)
{
    if (m_error.isEmpty())
        m_error = reason;
}
