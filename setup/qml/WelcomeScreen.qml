import QtQuick
import QtQuick.Layouts
import Kelvra.Setup 1.0
import "qrc:/ui/qml/singletons"
import "qrc:/ui/qml/components"

// First install: what Kelvra is, where it goes, one button.
ScreenFrame {
    id: screen
    objectName: "welcomeScreen"
    property string systemName
    property bool optionsOpen: Setup.demo === "options"
    title: qsTr("Install Kelvra")
    text: qsTr("A private, fast connection in two clicks. Setup adds the Kelvra app and the background service that keeps you protected.")

    Card {
        objectName: "installOptions"
        visible: screen.optionsOpen
        Layout.fillWidth: true
        RowLayout {
            width: parent.width
            spacing: Theme.unit * 1.5
            Icon { icon: "folder-open"; size: 20; color: Theme.textMuted }
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 2
                Label { text: qsTr("Install folder"); muted: true; font.pixelSize: Theme.fontSmall }
                Label {
                    objectName: "installDir"
                    text: Setup.installDir
                    Layout.fillWidth: true
                    elide: Text.ElideMiddle
                }
            }
            KButton {
                objectName: "chooseFolderButton"
                kind: "secondary"
                text: qsTr("Change…")
                onClicked: Setup.chooseFolder()
            }
        }
    }
    Item { Layout.fillHeight: true }

    buttons: [
        KButton {
            objectName: "optionsButton"
            kind: "ghost"
            text: screen.optionsOpen ? qsTr("Hide options") : qsTr("Options")
            onClicked: screen.optionsOpen = !screen.optionsOpen
        },
        KButton {
            objectName: "installButton"
            text: qsTr("Install")
            focus: true
            onClicked: Setup.install()
        }
    ]
}
