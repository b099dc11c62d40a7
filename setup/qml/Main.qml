import QtQuick
import QtQuick.Window
import QtQuick.Layouts
import Kelvra.Setup 1.0
import "qrc:/ui/qml/singletons"
import "qrc:/ui/qml/components"

// Kelvra Setup's one window: one screen at a time, chosen by the backend.
Window {
    id: window
    objectName: "setupWindow"
    width: 640
    height: 480
    minimumWidth: 560
    minimumHeight: 440
    visible: true
    title: qsTr("Kelvra Setup")
    color: Theme.background

    // An install in progress is never cut off by the window's close button.
    onClosing: close => close.accepted = !Setup.busy

    readonly property string systemName: Setup.platform === "win" ? qsTr("Windows")
        : Setup.platform === "mac" ? qsTr("macOS") : qsTr("Your system")

    Loader {
        id: screen
        objectName: "screenLoader"
        anchors.fill: parent
        anchors.margins: Theme.unit * 5
        sourceComponent: {
            switch (Setup.screen) {
            case "permission": return permission
            case "installing": return installing
            case "done": return done
            case "error": return failure
            case "installed": return installed
            default: return welcome
            }
        }
    }

    Component {
        id: welcome
        WelcomeScreen { systemName: window.systemName }
    }
    Component {
        id: permission
        PermissionScreen { systemName: window.systemName }
    }
    Component {
        id: installing
        InstallingScreen {}
    }
    Component {
        id: done
        DoneScreen {}
    }
    Component {
        id: failure
        ErrorScreen {}
    }
    Component {
        id: installed
        InstalledScreen {}
    }
}
