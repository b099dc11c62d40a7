import QtQuick
import "../singletons"

// Text in the theme's face and colours.
Text {
    property bool muted: false
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontBody
    color: muted ? Theme.textMuted : Theme.text
    wrapMode: Text.NoWrap
    elide: Text.ElideRight
}
