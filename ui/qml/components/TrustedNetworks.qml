import QtQuick
import QtQuick.Layouts
import "../singletons"

// The trusted Wi-Fi list: the network the computer is on now, one click to
// trust it, and the names already trusted.
ColumnLayout {
    id: list
    property var controller
    property int revision: 0
    signal changed()

    property string current: ""
    property string message: ""
    readonly property var names: revision >= 0 && controller ? controller.trustedNetworks() : []
    spacing: Theme.unit

    // The name can change under us (another network, Location turned on):
    // it is read again every five seconds while the list is shown.
    Timer {
        interval: 5000
        repeat: true
        running: list.visible
        triggeredOnStart: true
        onTriggered: list.current = list.controller ? list.controller.currentWifi() : ""
    }

    Card {
        Layout.fillWidth: true
        RowLayout {
            width: parent.width
            spacing: Theme.unit * 1.5
            Icon { icon: list.current !== "" ? "wifi" : "wifi-off"; color: Theme.textMuted }
            Label {
                objectName: "currentWifi"
                text: list.current !== "" ? qsTr("Connected to %1").arg(list.current) : qsTr("Not on a Wi-Fi network that Kelvra can see")
                Layout.fillWidth: true
            }
            KButton {
                objectName: "trustCurrentWifiButton"
                kind: "secondary"
                iconName: "plus"
                text: qsTr("Trust this network")
                onClicked: {
                    list.message = list.controller.addCurrentWifi()
                    if (list.message === "")
                        list.changed()
                }
            }
        }
    }
    Label {
        objectName: "trustedMessage"
        visible: text !== ""
        text: list.message
        color: Theme.error
        font.pixelSize: Theme.fontSmall
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }
    Card {
        Layout.fillWidth: true
        padding: Theme.unit
        ColumnLayout {
            width: parent.width
            spacing: 2
            Label {
                visible: list.names.length === 0
                text: qsTr("No trusted networks yet.")
                muted: true
                Layout.margins: Theme.unit
            }
            Repeater {
                model: list.names
                delegate: RemovableRow {
                    required property string modelData
                    objectName: "trusted_" + modelData
                    Layout.fillWidth: true
                    iconName: "wifi"
                    text: modelData
                    onRemove: {
                        list.controller.removeTrustedNetwork(modelData)
                        list.changed()
                    }
                }
            }
        }
    }
    Label {
        text: qsTr("%1 of %2 networks").arg(list.names.length).arg(50)
        muted: true
        font.pixelSize: Theme.fontSmall
    }
}
