#include "platform/WifiName.h"

#include <optional>

#ifdef KELVRA_TESTING
namespace {
std::optional<QString> &injected()
{
    static std::optional<QString> name;
    return name;
}
} // namespace

void WifiName::setForTesting(const QString &name)
{
    injected() = name;
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
        return Reading{*injected(), false};
#endif
    return readSystem();
}
