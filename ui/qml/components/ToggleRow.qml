import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"

// One setting: its name, what it does, and a switch. The whole row toggles.
B.AbstractButton {
    id: row
    property string title
    property string description
    property bool on: false
    property string note: ""          // a warning under the description
    signal toggled(bool value)

    implicitHeight: Math.max(56, column.implicitHeight + Theme.unit * 2)
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.CheckBox
    Accessible.name: title
    Accessible.description: description
    Accessible.checked: on
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()
    onClicked: toggled(!on)

    background: Rectangle {
        radius: Theme.radiusSmall
        color: row.hovered ? Theme.surfaceHover : "transparent"
        border.width: row.visualFocus ? 2 : 0
        border.color: Theme.text
    }
    contentItem: RowLayout {
        spacing: Theme.unit * 2
        ColumnLayout {
            id: column
            spacing: 2
            Layout.fillWidth: true
            Layout.leftMargin: Theme.unit
            Label {
                text: row.title
                font.weight: Font.Medium
                Layout.fillWidth: true
            }
            Label {
                visible: text !== ""
                text: row.description
                muted: true
                font.pixelSize: Theme.fontSmall
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            Label {
                visible: text !== ""
                text: row.note
                color: Theme.unprotectedColor
                font.pixelSize: Theme.fontSmall
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
        }
        // The switch.
        Rectangle {
            Layout.rightMargin: Theme.unit
            implicitWidth: 44
            implicitHeight: 24
            radius: 12
            color: row.on ? Theme.accent : Theme.surfaceRaised
            border.color: row.on ? Theme.accent : Theme.border
            Behavior on color { ColorAnimation { duration: Theme.fadeMs } }
            Rectangle {
                width: 18; height: 18; radius: 9
                y: 3
                x: row.on ? parent.width - width - 3 : 3
                color: row.on ? Theme.textOnAccent : Theme.textMuted
                Behavior on x { NumberAnimation { duration: Theme.fadeMs } }
            }
        }
    }
}
