// Lines OpenVPN writes on its management link, read by the OpenVPN driver one
// after another as they arrive. One driver reads every input, as one driver
// reads everything a run of OpenVPN says, whatever state earlier lines left.
#include "fuzz/FuzzSupport.h"
#include "vpn/OpenVpnProtocol.h"

#include <QJsonObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static OpenVpnProtocol *const driver = [] {
        // The adapter's address is looked for at once: waiting for it would
        // leave the fuzzer a few inputs a second.
        OpenVpnProtocol::setAdapterWaitForTesting(0);
        return new OpenVpnProtocol(QJsonObject{});
    }();
    const QList<QByteArray> lines = FuzzSupport::bytes(data, size).split('\n');
    for (const QByteArray &line : lines) {
        if (!driver->receiveManagementLineForTesting(QString::fromUtf8(line)))
            break;
    }
    return 0;
}
