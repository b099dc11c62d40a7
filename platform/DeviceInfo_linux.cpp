#include "platform/DeviceInfo.h"

#include <QFile>

namespace {

// The DMI strings the kernel exports; unreadable in some containers.
QString dmiValue(const char *name)
{
    QFile file(QStringLiteral("/sys/class/dmi/id/") + QString::fromLatin1(name));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    // A DMI string is short; never take more than a line of it.
    return QString::fromUtf8(file.readLine(256)).trimmed();
}

} // namespace

QString DeviceInfo::manufacturer()
{
    return dmiValue("sys_vendor");
}

QString DeviceInfo::model()
{
    return dmiValue("product_name");
}
