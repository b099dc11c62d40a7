import QtQuick
import "../singletons"

// A latency as the catalogue publishes it: "~" before an estimate, coloured by
// the list's good and fair limits.
Label {
    property var ping: undefined   // {"ms": int, "estimated": bool} or undefined
    readonly property int ms: ping && ping.ms !== undefined ? ping.ms : -1
    visible: ms >= 0
    text: ms < 0 ? "" : (ping.estimated ? "~" : "") + ms + " ms"
    font.pixelSize: Theme.fontSmall
    color: {
        const limits = MServers ? MServers.pingLimits : undefined
        const good = limits && limits.good ? limits.good : 120
        const fair = limits && limits.fair ? limits.fair : 200
        return ms <= good ? Theme.pingGood : ms <= fair ? Theme.pingFair : Theme.pingPoor
    }
    Accessible.name: ping && ping.estimated ? qsTr("about %1 milliseconds").arg(ms) : qsTr("%1 milliseconds").arg(ms)
}
