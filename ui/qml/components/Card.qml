import QtQuick
import "../singletons"

// A rounded surface that groups what belongs together.
Rectangle {
    default property alias content: inner.data
    property int padding: Theme.unit * 2
    color: Theme.surface
    radius: Theme.radius
    border.color: Theme.border
    border.width: 1
    implicitHeight: inner.childrenRect.height + padding * 2

    Item {
        id: inner
        anchors.fill: parent
        anchors.margins: parent.padding
    }
}
