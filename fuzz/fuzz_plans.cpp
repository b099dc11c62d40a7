// The "user/subscription-plans" answer: the plans page's cards, prices and periods.
#include "account/SubscriptionPlan.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    bool ok = false;
    SubscriptionPlan::listFromAnswer(FuzzSupport::bytes(data, size), &ok);
    return 0;
}
