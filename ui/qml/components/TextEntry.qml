import QtQuick
import QtQuick.Controls.Basic as B
import "../singletons"

// A single-line field in the pages' look.
B.TextField {
    id: field
    property bool invalid: false
    implicitHeight: 40
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontBody
    color: Theme.text
    placeholderTextColor: Theme.textMuted
    selectByMouse: true
    leftPadding: Theme.unit * 1.5
    Accessible.name: placeholderText
    background: Rectangle {
        radius: Theme.radiusSmall
        color: Theme.surfaceRaised
        border.width: field.activeFocus ? 2 : 1
        border.color: field.invalid ? Theme.error : field.activeFocus ? Theme.accent : Theme.border
    }
}
