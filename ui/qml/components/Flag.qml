import QtQuick
import "../singletons"

// A country's flag; the country's initials stand in when the client has no
// picture for it.
Item {
    id: root
    property string source
    property string fallbackText: ""
    implicitWidth: 28
    implicitHeight: 21

    Image {
        id: picture
        anchors.fill: parent
        source: root.source
        sourceSize: Qt.size(root.width * 2, root.height * 2)
        fillMode: Image.PreserveAspectCrop
        visible: status === Image.Ready
        asynchronous: true
    }
    Rectangle {
        anchors.fill: parent
        color: picture.visible ? "transparent" : Theme.surfaceRaised
        radius: 3
        border.color: Theme.border
        border.width: 1
        Label {
            anchors.centerIn: parent
            visible: !picture.visible
            text: root.fallbackText.substring(0, 2).toUpperCase()
            font.pixelSize: 10
            muted: true
        }
    }
}
