import QtQuick
import QtQuick.Layouts
import "../singletons"

// A list entry with a button that takes it off the list.
Rectangle {
    id: row
    property string iconName: ""
    property string text
    signal remove()
    implicitHeight: 44
    radius: Theme.radiusSmall
    color: hover.hovered ? Theme.surfaceHover : "transparent"
    HoverHandler { id: hover }
    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: Theme.unit * 1.5
        anchors.rightMargin: Theme.unit / 2
        spacing: Theme.unit * 1.5
        Icon { visible: row.iconName !== ""; icon: row.iconName; size: 16; color: Theme.textMuted }
        Label { text: row.text; Layout.fillWidth: true }
        IconButton {
            objectName: "removeButton"
            iconName: "x"
            name: qsTr("Remove %1").arg(row.text)
            onClicked: row.remove()
        }
    }
}
