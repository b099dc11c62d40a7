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
    color: Theme.rail

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
        IconButton {
            visible: bar.frameless
            objectName: "minimiseButton"
            iconName: "minus"
            name: qsTr("Minimise")
            onClicked: bar.window.showMinimized()
        }
        IconButton {
            visible: bar.frameless
            objectName: "closeButton"
            iconName: "x"
            name: qsTr("Close")
            onClicked: bar.window.close()
        }
    }
}
