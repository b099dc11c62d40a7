import QtQuick
import com.qt.kelvra 1.0
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"

// The end of the client's log, to read or to copy for support.
ColumnLayout {
    id: view
    objectName: "logView"
    signal back()
    spacing: Theme.unit * 2

    function refresh() {
        text.text = CoreController.clientLogTail()
        text.cursorPosition = text.length
    }
    Component.onCompleted: refresh()

    RowLayout {
        Layout.fillWidth: true
        spacing: Theme.unit
        IconButton {
            objectName: "logBackButton"
            iconName: "chevron-left"
            name: qsTr("Back to settings")
            onClicked: view.back()
        }
        Label {
            text: qsTr("Client log")
            font.pixelSize: Theme.fontTitle
            font.weight: Font.DemiBold
            Layout.fillWidth: true
        }
        KButton {
            objectName: "refreshLogButton"
            kind: "secondary"
            iconName: "refresh-cw"
            text: qsTr("Refresh")
            onClicked: view.refresh()
        }
        KButton {
            objectName: "copyLogButton"
            kind: "secondary"
            text: copied.running ? qsTr("Copied") : qsTr("Copy")
            onClicked: {
                text.selectAll()
                text.copy()
                text.deselect()
                copied.restart()
            }
            Timer { id: copied; interval: 1500 }
        }
        KButton {
            kind: "secondary"
            iconName: "folder-open"
            text: qsTr("Open folder")
            onClicked: CoreController.openClientLogsFolder()
        }
    }
    Rectangle {
        Layout.fillWidth: true
        Layout.fillHeight: true
        radius: Theme.radius
        color: Theme.surface
        border.color: Theme.border
        B.ScrollView {
            anchors.fill: parent
            anchors.margins: Theme.unit
            B.TextArea {
                id: text
                objectName: "logText"
                readOnly: true
                selectByMouse: true
                wrapMode: TextEdit.WrapAnywhere
                font.family: "monospace"
                font.pixelSize: Theme.fontSmall
                color: Theme.text
                placeholderText: qsTr("The log is empty. Turn on \"Keep a log\" to write one.")
                placeholderTextColor: Theme.textMuted
                background: null
                Accessible.name: qsTr("Client log")
            }
        }
    }
}
