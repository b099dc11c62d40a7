import QtQuick
import QtQuick.Controls.Basic as B
import "../singletons"

// A square button that is only an icon; name says what it does for screen
// readers and tool tips.
B.AbstractButton {
    id: control
    property string iconName
    property string name
    property color color: Theme.textMuted
    property int size: 32
    implicitWidth: size
    implicitHeight: size
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: name
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    B.ToolTip.visible: hovered && name !== ""
    B.ToolTip.text: name
    B.ToolTip.delay: 600

    contentItem: Item {
        Icon {
            anchors.centerIn: parent
            icon: control.iconName
            size: Math.round(control.size * 0.55)
            color: control.color
        }
    }
    background: Rectangle {
        radius: Theme.radiusSmall
        color: control.down || control.hovered ? Theme.surfaceHover : "transparent"
        border.width: control.visualFocus ? 2 : 0
        border.color: Theme.text
    }
}
