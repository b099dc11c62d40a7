#include "platform/UpdateFolder.h"

#include <QDir>

QString UpdateFolder::path()
{
    QString programData = qEnvironmentVariable("ProgramData");
    if (programData.isEmpty())
        programData = QStringLiteral("C:\\ProgramData");
    return QDir::toNativeSeparators(programData + QStringLiteral("/Kelvra/update"));
}
