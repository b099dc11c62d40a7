#include "account/AccountSite.h"

#include <QUrl>

#include "api/ApiHost.h"

#if !defined(KELVRA_STANDIN)
namespace {
const char kProductionSite[] = "https://account.kelvra.com";
const char kStagingSite[] = "https://account.testapi.kelvra.com";
} // namespace
#endif

namespace AccountSite {

QString host()
{
#if defined(KELVRA_STANDIN)
    const QUrl api(ApiHost::baseUrl());
    return api.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment).toString();
#else
    return QString::fromLatin1(ApiHost::isStagingBuild() ? kStagingSite : kProductionSite);
#endif
}

} // namespace AccountSite
