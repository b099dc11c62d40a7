import QtQuick
import "../singletons"

// An application's icon: a picture file when the entry names one, else the
// icon theme's picture of that name, else a plain window.
Item {
    id: root
    property string source: ""
    readonly property string url: source === "" ? ""
        : source.startsWith("/") ? "file://" + source
        : "image://themeicon/" + source
    implicitWidth: 28
    implicitHeight: 28
    Image {
        id: picture
        anchors.fill: parent
        source: root.url
        sourceSize: Qt.size(56, 56)
        asynchronous: true
        visible: status === Image.Ready
    }
    Icon {
        anchors.centerIn: parent
        visible: !picture.visible
        icon: "app-window"
        color: Theme.textMuted
    }
}
