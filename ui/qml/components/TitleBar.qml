import QtQuick
import QtQuick.Layouts
import "../singletons"

// The window's own title bar: drag to move, minimise, close. Where the window
// keeps the system's frame (Linux), it carries only the name and the status.
Rectangle {
    id: bar
    property var window
    property bool frameless: false
    property string status: ""
    property color statusColor: Theme.textMuted

    implicitHeight: 44
    // The window behind it has the bar's colour already.
    color: "transparent"

    MouseArea {
        anchors.fill: parent
        enabled: bar.frameless
        onPressed: if (bar.window) bar.window.startSystemMove()
    }

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: Theme.unit * 2
        anchors.rightMargin: Theme.unit
        spacing: Theme.unit

        Image {
            source: "qrc:/ui/icons/icon.svg"
            sourceSize: Qt.size(20, 20)
            asynchronous: true
            Layout.preferredWidth: 20
            Layout.preferredHeight: 20
        }
        Label {
            text: "Kelvra"
            font.weight: Font.DemiBold
        }
        Rectangle {
            visible: bar.status !== ""
            width: 8; height: 8; radius: 4
            color: bar.statusColor
            Layout.leftMargin: Theme.unit
        }
        Label {
            objectName: "titleStatus"
            text: bar.status
            muted: true
            font.pixelSize: Theme.fontSmall
        }
        Item { Layout.fillWidth: true }
        // Built only where the window has no system frame, so the title bar
        // of the first frame needs nothing but Qt Quick itself.
        Loader {
            active: bar.frameless
            source: "WindowButtons.qml"
            onLoaded: item.window = Qt.binding(() => bar.window)
        }
    }
}
