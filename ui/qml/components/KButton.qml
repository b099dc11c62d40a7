import QtQuick
import QtQuick.Controls.Basic as B
import "../singletons"

// The one button of the pages: "primary" filled, "secondary" outlined,
// "ghost" plain text; an optional leading icon. Space and Enter press it.
B.Button {
    id: control
    property string kind: "primary"
    property string iconName: ""
    property color tint: Theme.accent

    implicitHeight: 40
    leftPadding: Theme.unit * 2
    rightPadding: Theme.unit * 2
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontBody
    font.weight: Font.Medium
    focusPolicy: Qt.StrongFocus
    Accessible.name: text

    Keys.onReturnPressed: if (enabled) clicked()
    Keys.onEnterPressed: if (enabled) clicked()

    contentItem: Row {
        spacing: Theme.unit
        Icon {
            visible: control.iconName !== ""
            icon: control.iconName
            size: 18
            color: label.color
            anchors.verticalCenter: parent.verticalCenter
        }
        Label {
            id: label
            text: control.text
            font: control.font
            anchors.verticalCenter: parent.verticalCenter
            color: control.kind === "primary" ? Theme.textOnAccent
                 : control.kind === "danger" ? Theme.error
                 : control.kind === "ghost" ? Theme.accent : Theme.text
        }
    }

    background: Rectangle {
        implicitWidth: 96
        radius: Theme.radiusSmall
        opacity: control.enabled ? 1 : 0.45
        color: control.kind === "primary"
               ? (control.down ? Qt.darker(control.tint, 1.2) : control.hovered ? Qt.lighter(control.tint, 1.1) : control.tint)
               : (control.down || control.hovered) && control.kind !== "ghost" ? Theme.surfaceHover : "transparent"
        border.width: control.visualFocus ? 2 : (control.kind === "secondary" || control.kind === "danger" ? 1 : 0)
        border.color: control.visualFocus ? Theme.text : control.kind === "danger" ? Theme.error : Theme.border
    }
}
