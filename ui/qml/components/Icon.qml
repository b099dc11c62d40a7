import QtQuick
import QtQuick.Controls.impl
import "../singletons"

// One of the line icons under ui/icons, tinted to the theme.
Item {
    id: root
    property string icon
    property color color: Theme.text
    property int size: 20
    implicitWidth: size
    implicitHeight: size

    IconImage {
        anchors.fill: parent
        source: root.icon ? "qrc:/ui/icons/" + root.icon + ".svg" : ""
        sourceSize: Qt.size(root.size, root.size)
        color: root.color
    }
}
