import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"
import "../components"

// How the tunnel is built. Optimal lets Smart Connect choose; a protocol the
// current server doesn't offer is shown but can't be chosen.
Item {
    id: page
    objectName: "protocolPage"
    signal navigate(string key)

    readonly property var cc: ConnectionController
    property int pendingType: -1

    function choose(type, available) {
        if (!available || (MProtocols.selectedProtocol === type))
            return
        if (cc && (cc.isConnected || cc.isConnectionInProgress)) {
            pendingType = type
            disconnectFirst.open()
            return
        }
        MProtocols.updateProtocol(type)
    }

    ConfirmDialog {
        id: disconnectFirst
        objectName: "disconnectFirstDialog"
        parent: page
        title: qsTr("Disconnect first?")
        message: qsTr("Changing the protocol ends the connection that is up now. Disconnect and switch?")
        acceptText: qsTr("Disconnect and switch")
        onAccepted: {
            page.cc.closeConnection("the connect button or a protocol change")
            MProtocols.updateProtocol(page.pendingType)
            page.pendingType = -1
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: Theme.unit * 4
        spacing: Theme.unit * 2

        Label {
            text: qsTr("Protocol")
            font.pixelSize: Theme.fontTitle
            font.weight: Font.DemiBold
        }
        Label {
            objectName: "protocolHint"
            text: Session.serverName !== ""
                  ? qsTr("What %1 offers. Optimal tries each route in turn and remembers what works on this network.").arg(Session.serverName)
                  : qsTr("Optimal tries each route in turn and remembers what works on this network.")
            muted: true
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }

        ListView {
            id: list
            objectName: "protocolList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            model: MProtocols
            spacing: Theme.unit
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            keyNavigationEnabled: true
            B.ScrollBar.vertical: B.ScrollBar {}

            delegate: B.AbstractButton {
                id: option
                required property int type
                required property string name
                required property string desc
                required property bool protoEnabled
                required property bool available
                objectName: "protocol_" + type
                width: ListView.view.width
                implicitHeight: 76
                enabled: true
                focusPolicy: Qt.StrongFocus
                Accessible.role: Accessible.RadioButton
                Accessible.name: name + (available ? "" : ", " + qsTr("not offered on this server"))
                Accessible.checked: protoEnabled
                Keys.onReturnPressed: clicked()
                Keys.onEnterPressed: clicked()
                onClicked: page.choose(type, available)

                background: Rectangle {
                    radius: Theme.radius
                    color: option.protoEnabled ? Qt.rgba(Theme.accent.r, Theme.accent.g, Theme.accent.b, 0.12)
                         : option.hovered && option.available ? Theme.surfaceHover : Theme.surface
                    border.width: option.visualFocus || option.protoEnabled ? 2 : 1
                    border.color: option.visualFocus ? Theme.text : option.protoEnabled ? Theme.accent : Theme.border
                }
                contentItem: RowLayout {
                    spacing: Theme.unit * 2
                    Item { implicitWidth: Theme.unit }
                    // The radio mark.
                    Rectangle {
                        width: 20; height: 20; radius: 10
                        color: "transparent"
                        border.width: 2
                        border.color: option.protoEnabled ? Theme.accent : Theme.border
                        Rectangle {
                            anchors.centerIn: parent
                            width: 10; height: 10; radius: 5
                            color: Theme.accent
                            visible: option.protoEnabled
                        }
                    }
                    ColumnLayout {
                        spacing: 2
                        Layout.fillWidth: true
                        RowLayout {
                            spacing: Theme.unit
                            Label {
                                text: option.name
                                font.weight: Font.Medium
                                muted: !option.available
                            }
                            Rectangle {
                                visible: option.type === 0
                                implicitWidth: recommended.implicitWidth + Theme.unit * 2
                                implicitHeight: 20
                                radius: 10
                                color: Qt.rgba(Theme.protectedColor.r, Theme.protectedColor.g, Theme.protectedColor.b, 0.18)
                                Label {
                                    id: recommended
                                    anchors.centerIn: parent
                                    text: qsTr("Recommended")
                                    font.pixelSize: 11
                                    color: Theme.protectedColor
                                }
                            }
                            Label {
                                visible: !option.available
                                objectName: "notOffered"
                                text: qsTr("Not offered on this server")
                                font.pixelSize: Theme.fontSmall
                                color: Theme.unprotectedColor
                            }
                        }
                        Label {
                            text: option.desc
                            muted: true
                            font.pixelSize: Theme.fontSmall
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                    }
                    Item { implicitWidth: Theme.unit }
                }
            }
        }
    }
}
