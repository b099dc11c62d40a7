pragma Singleton
import QtQuick

QtObject {
    readonly property color background: "#11131a"
    readonly property color text: "#f2f4f8"
    readonly property color accent: "#3ddc97"
}
