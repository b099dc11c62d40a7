import QtQuick
import QtQuick.Layouts
import Kelvra.Setup 1.0
import "qrc:/ui/qml/singletons"
import "qrc:/ui/qml/components"

// Kelvra is already here: update it, repair it, or say that it is newer.
ScreenFrame {
    objectName: "installedScreen"
    iconName: Setup.updateKind === "update" ? "arrow-up" : "check"
    iconColor: Setup.updateKind === "update" ? Theme.working : Theme.protectedColor
    title: {
        switch (Setup.updateKind) {
        case "update": return qsTr("Update Kelvra")
        case "same": return qsTr("Kelvra is installed")
        default: return qsTr("A newer Kelvra is installed")
        }
    }
    text: {
        switch (Setup.updateKind) {
        case "update": return qsTr("Kelvra %1 is installed. Update to %2 and keep your settings.").arg(Setup.installedVersion).arg(Setup.payloadVersion)
        case "same": return qsTr("Kelvra %1 is already installed. Repair it if something isn't working.").arg(Setup.installedVersion)
        default: return qsTr("Kelvra %1 is installed, newer than this Setup's %2.").arg(Setup.installedVersion).arg(Setup.payloadVersion)
        }
    }
    Item { Layout.fillHeight: true }

    buttons: [
        KButton {
            objectName: "repairButton"
            visible: Setup.updateKind === "same"
            kind: "secondary"
            text: qsTr("Repair")
            onClicked: Setup.install()
        },
        KButton {
            objectName: "updateButton"
            visible: Setup.updateKind === "update"
            text: qsTr("Update")
            focus: true
            onClicked: Setup.install()
        },
        KButton {
            objectName: "openAppButton"
            kind: Setup.updateKind === "update" ? "ghost" : "primary"
            text: qsTr("Open Kelvra")
            onClicked: Setup.openApp()
        }
    ]
}
