pragma Singleton
import QtQuick
import Qt.labs.settings

// Colours, type and spacing of every page. Dark is the default; the choice is
// the stored "Appearance/dark" so the native frame and the pages agree.
QtObject {
    id: theme

    property Settings appearance: Settings {
        category: "Appearance"
        property bool dark: true
    }
    readonly property bool dark: appearance.dark
    function setDark(value) { appearance.dark = value }

    // Surfaces, from the window's background up to raised controls.
    readonly property color background: dark ? "#0e1117" : "#f3f5f9"
    readonly property color rail: dark ? "#12161e" : "#e9edf3"
    readonly property color surface: dark ? "#171c26" : "#ffffff"
    readonly property color surfaceRaised: dark ? "#202735" : "#eef1f6"
    readonly property color surfaceHover: dark ? "#283041" : "#e3e8f0"
    readonly property color border: dark ? "#2b3345" : "#d8dee8"
    readonly property color text: dark ? "#f2f4f8" : "#121722"
    readonly property color textMuted: dark ? "#9ba5b8" : "#566072"
    readonly property color textOnAccent: "#ffffff"

    // The three meanings the eye should read at once.
    readonly property color protectedColor: dark ? "#2fd08b" : "#139a62"
    readonly property color unprotectedColor: dark ? "#f2a93b" : "#c77700"
    readonly property color working: dark ? "#4d8dff" : "#2563eb"
    readonly property color error: dark ? "#ff6b6b" : "#d92d2d"
    readonly property color accent: working

    // Latency colours (good, fair, poor).
    readonly property color pingGood: protectedColor
    readonly property color pingFair: unprotectedColor
    readonly property color pingPoor: error

    readonly property string fontFamily: "Poppins"
    readonly property int fontSmall: 12
    readonly property int fontBody: 14
    readonly property int fontTitle: 20
    readonly property int fontDisplay: 26

    readonly property int unit: 8
    readonly property int radius: 12
    readonly property int radiusSmall: 8
    readonly property int fadeMs: 150
}
