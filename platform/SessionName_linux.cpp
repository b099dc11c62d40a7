#include "platform/SessionName.h"

QString SessionName::scoped(const QString &base)
{
    return base;
}
