import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"

// A modal question with one action and a way back.
B.Popup {
    id: dialog
    property string title
    property string message
    property string acceptText: qsTr("OK")
    property string rejectText: qsTr("Cancel")
    property bool destructive: false
    signal accepted()

    modal: true
    focus: true
    // Centred on whatever it is given as parent (the page that asks).
    x: parent ? Math.round((parent.width - width) / 2) : 0
    y: parent ? Math.round((parent.height - height) / 2) : 0
    width: Math.min(400, parent ? parent.width - Theme.unit * 6 : 400)
    padding: Theme.unit * 3
    closePolicy: B.Popup.CloseOnEscape | B.Popup.CloseOnPressOutside
    onOpened: acceptButton.forceActiveFocus()

    background: Rectangle {
        color: Theme.surface
        radius: Theme.radius
        border.color: Theme.border
    }

    contentItem: ColumnLayout {
        spacing: Theme.unit * 2
        Label {
            text: dialog.title
            font.pixelSize: Theme.fontTitle - 2
            font.weight: Font.DemiBold
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        Label {
            text: dialog.message
            muted: true
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: Theme.unit
            KButton {
                objectName: "dialogReject"
                kind: "secondary"
                text: dialog.rejectText
                onClicked: dialog.close()
            }
            KButton {
                id: acceptButton
                objectName: "dialogAccept"
                text: dialog.acceptText
                tint: dialog.destructive ? Theme.error : Theme.accent
                onClicked: {
                    dialog.close()
                    dialog.accepted()
                }
            }
        }
    }
}
