import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"

// The current location as a card that leads to the list.
B.AbstractButton {
    id: card
    implicitHeight: 72
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: Session.serverName !== "" ? qsTr("Location: %1. Change location").arg(Session.serverName)
                                                : qsTr("Choose a location")
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    background: Rectangle {
        radius: Theme.radius
        color: card.hovered ? Theme.surfaceHover : Theme.surface
        border.color: card.visualFocus ? Theme.text : Theme.border
        border.width: card.visualFocus ? 2 : 1
    }
    contentItem: RowLayout {
        spacing: Theme.unit * 1.5
        anchors.leftMargin: Theme.unit * 2
        Item { implicitWidth: Theme.unit }
        Flag {
            source: Session.serverFlag
            fallbackText: Session.serverCountry
            visible: Session.serverName !== ""
        }
        Spinner {
            visible: Session.serverName === ""
            size: 22
        }
        ColumnLayout {
            spacing: 2
            Layout.fillWidth: true
            Label {
                objectName: "locationName"
                text: Session.serverName !== "" ? Session.serverName : qsTr("Loading locations…")
                font.weight: Font.Medium
                Layout.fillWidth: true
            }
            Label {
                objectName: "locationDetail"
                visible: text !== ""
                text: [Session.serverCountry, Session.serverCity !== Session.serverName ? Session.serverCity : ""]
                      .filter(part => part !== "").join(" · ")
                muted: true
                font.pixelSize: Theme.fontSmall
                Layout.fillWidth: true
            }
        }
        Icon { icon: "chevron-right"; color: Theme.textMuted }
        Item { implicitWidth: Theme.unit }
    }
}
