#include "platform/WifiName.h"

#include <optional>

#ifdef KELVRA_TESTING
namespace {
std::optional<WifiName::Reading> &injected()
{
    static std::optional<WifiName::Reading> reading;
    return reading;
}
} // namespace

void WifiName::setForTesting(const QString &name)
{
    injected() = Reading{name, false};
}

void WifiName::setRefusedForTesting()
{
    injected() = Reading{QString(), true};
}

void WifiName::clearForTesting()
{
    injected().reset();
}
#endif

WifiName::Reading WifiName::read()
{
#ifdef KELVRA_TESTING
    if (injected())
        return *injected();
#endif
    return readSystem();
}
