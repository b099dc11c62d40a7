// The "notifications/pending" and "notifications/inbox" answers: the desktop notifications and the inbox.
#include "engagement/PushNotification.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    bool ok = false;
    PushNotification::listFromAnswer(FuzzSupport::bytes(data, size), &ok);
    return 0;
}
