import QtQuick
import QtQuick.Layouts
import "../singletons"

// The backend's banner messages (and the client's own notes of that kind),
// stacked above the page until dismissed or followed.
ColumnLayout {
    id: toasts
    objectName: "messageToasts"
    spacing: Theme.unit
    visible: InAppMessages ? InAppMessages.banners.length > 0 : false

    Repeater {
        model: InAppMessages ? InAppMessages.banners : []
        delegate: Rectangle {
            id: toast
            required property var modelData
            objectName: "message_" + modelData.id
            Layout.fillWidth: true
            implicitHeight: content.implicitHeight + Theme.unit * 3
            radius: Theme.radius
            color: Theme.surfaceRaised
            border.color: Theme.border
            Accessible.role: Accessible.AlertMessage
            Accessible.name: [modelData.title, modelData.body].filter(t => t !== "").join(". ")

            RowLayout {
                id: content
                anchors.fill: parent
                anchors.margins: Theme.unit * 1.5
                spacing: Theme.unit * 1.5
                Icon {
                    icon: "info"
                    color: Theme.working
                    Layout.alignment: Qt.AlignTop
                }
                ColumnLayout {
                    spacing: 2
                    Layout.fillWidth: true
                    Label {
                        objectName: "messageTitle"
                        visible: text !== ""
                        text: toast.modelData.title
                        font.weight: Font.DemiBold
                        Layout.fillWidth: true
                    }
                    Label {
                        objectName: "messageBody"
                        text: toast.modelData.body
                        muted: toast.modelData.title !== ""
                        font.pixelSize: Theme.fontSmall
                        wrapMode: Text.Wrap
                        maximumLineCount: 4
                        Layout.fillWidth: true
                    }
                    KButton {
                        objectName: "messageAction"
                        visible: toast.modelData.actionUrl !== ""
                        kind: "ghost"
                        leftPadding: 0
                        implicitHeight: 30
                        text: toast.modelData.actionText
                        onClicked: InAppMessages.act(toast.modelData.id)
                    }
                }
                IconButton {
                    objectName: "dismissMessage"
                    iconName: "x"
                    name: qsTr("Dismiss")
                    size: 28
                    Layout.alignment: Qt.AlignTop
                    onClicked: InAppMessages.dismiss(toast.modelData.id)
                }
            }
        }
    }
}
