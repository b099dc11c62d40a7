import QtQuick
import QtQuick.Controls.Basic as B
import "../singletons"

// The home page's one big control. Its colour is the answer to "am I
// protected": green when the tunnel is up, blue while working, amber when not
// protected. Pressing it connects, cancels or disconnects.
B.AbstractButton {
    id: ring
    property string mode: "off"     // "off", "working", "on"
    property string actionText: ""
    readonly property color tint: mode === "on" ? Theme.protectedColor
                                : mode === "working" ? Theme.working : Theme.unprotectedColor

    implicitWidth: 208
    implicitHeight: 208
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: actionText
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    background: Item {
        // A soft halo that breathes only while protected.
        Rectangle {
            anchors.centerIn: parent
            width: parent.width
            height: width
            radius: width / 2
            color: Qt.rgba(ring.tint.r, ring.tint.g, ring.tint.b, ring.hovered ? 0.16 : 0.10)
            Behavior on color { ColorAnimation { duration: 250 } }
        }
        // The track, then the part that shows the state: a full circle when
        // there is one, a turning quarter while working.
        Rectangle {
            anchors.fill: parent
            anchors.margins: 14
            radius: width / 2
            color: "transparent"
            border.width: 6
            border.color: ring.mode === "working" ? Theme.border : ring.tint
            Behavior on border.color { ColorAnimation { duration: 250 } }
        }
        Arc {
            id: spinner
            anchors.fill: parent
            anchors.margins: 14
            visible: ring.mode === "working"
            color: ring.tint
            sweep: 90
            RotationAnimator on rotation {
                from: 0; to: 360; duration: 1100
                loops: Animation.Infinite
                running: spinner.visible
            }
        }
        Rectangle {
            anchors.centerIn: parent
            width: parent.width - 56
            height: width
            radius: width / 2
            color: ring.down ? Theme.surfaceHover : Theme.surface
            border.color: ring.visualFocus ? Theme.text : Theme.border
            border.width: ring.visualFocus ? 2 : 1
        }
    }

    contentItem: Item {
        Column {
            anchors.centerIn: parent
            spacing: Theme.unit
            Icon {
                anchors.horizontalCenter: parent.horizontalCenter
                icon: "power"
                size: 40
                color: ring.tint
            }
            Label {
                anchors.horizontalCenter: parent.horizontalCenter
                text: ring.actionText
                font.weight: Font.Medium
            }
        }
    }
}
