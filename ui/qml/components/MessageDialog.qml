import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"

// A message from the backend that asks for a moment: one at a time, in the
// middle of the window. Closing it any way counts as dismissing it.
B.Popup {
    id: dialog
    objectName: "messageDialog"
    readonly property var message: InAppMessages ? InAppMessages.dialog : ({})
    readonly property bool hasMessage: message && message.id !== undefined

    // Opened and closed by hand, not bound: a popup closed by Escape would
    // lose a binding on `visible`.
    // Reads the message itself: `hasMessage` may not have caught up yet when
    // the message changes.
    function follow() {
        const has = !!InAppMessages && InAppMessages.dialog.id !== undefined
        if (has && !opened)
            open()
        else if (!has && opened)
            close()
    }
    onMessageChanged: follow()
    Component.onCompleted: follow()

    modal: true
    focus: true
    x: parent ? Math.round((parent.width - width) / 2) : 0
    y: parent ? Math.round((parent.height - height) / 2) : 0
    width: Math.min(420, parent ? parent.width - Theme.unit * 6 : 420)
    padding: Theme.unit * 3
    closePolicy: B.Popup.CloseOnEscape
    onOpened: (hasAction ? actionButton : closeButton).forceActiveFocus()
    readonly property bool hasAction: hasMessage && message.actionUrl !== ""
    // Escape closes the popup itself; the message goes with it, and the
    // next one, if any, opens it again.
    onClosed: {
        if (InAppMessages && InAppMessages.dialog.id !== undefined)
            InAppMessages.dismiss(InAppMessages.dialog.id)
        Qt.callLater(follow)
    }

    background: Rectangle {
        color: Theme.surface
        radius: Theme.radius
        border.color: Theme.border
    }

    contentItem: ColumnLayout {
        spacing: Theme.unit * 2
        Label {
            objectName: "messageDialogTitle"
            text: dialog.hasMessage ? dialog.message.title : ""
            visible: text !== ""
            font.pixelSize: Theme.fontTitle - 2
            font.weight: Font.DemiBold
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        Label {
            objectName: "messageDialogBody"
            text: dialog.hasMessage ? dialog.message.body : ""
            muted: true
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: Theme.unit
            KButton {
                id: closeButton
                objectName: "messageDialogClose"
                kind: "secondary"
                text: qsTr("Close")
                onClicked: InAppMessages.dismiss(dialog.message.id)
            }
            KButton {
                id: actionButton
                objectName: "messageDialogAction"
                visible: dialog.hasAction
                text: dialog.hasMessage ? dialog.message.actionText : ""
                onClicked: InAppMessages.act(dialog.message.id)
            }
        }
    }
}
