#include "platform/DeviceInfo.h"

#include <QSettings>

namespace {

QString systemInformation(const char *name)
{
    const QSettings key(QStringLiteral("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\SystemInformation"),
                        QSettings::NativeFormat);
    return key.value(QString::fromLatin1(name)).toString();
}

} // namespace

QString DeviceInfo::manufacturer()
{
    return systemInformation("SystemManufacturer");
}

QString DeviceInfo::model()
{
    return systemInformation("SystemProductName");
}
