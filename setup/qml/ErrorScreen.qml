import QtQuick
import QtQuick.Layouts
import Kelvra.Setup 1.0
import "qrc:/ui/qml/singletons"
import "qrc:/ui/qml/components"

// What went wrong in plain words, a way to try again, and the detail to copy.
ScreenFrame {
    objectName: "errorScreen"
    iconName: "triangle-alert"
    iconColor: Setup.errorKind === "cancelled" ? Theme.unprotectedColor : Theme.error
    title: {
        switch (Setup.errorKind) {
        case "cancelled": return qsTr("Setup needs your OK")
        case "missing": return qsTr("The Kelvra package is missing")
        case "signature": return qsTr("This package can't be trusted")
        case "service": return qsTr("The service didn't start")
        default: return qsTr("Kelvra couldn't be installed")
        }
    }
    text: {
        switch (Setup.errorKind) {
        case "cancelled": return qsTr("Setup needs your OK to add the background service. Try again whenever you're ready.")
        case "service": return qsTr("Kelvra is installed, but its background service didn't start. Try again, or restart your computer.")
        case "missing": return qsTr("Keep Kelvra Setup in the folder it was downloaded with, or download Kelvra again from the website.")
        case "signature": return qsTr("The package isn't signed by Kelvra. Download Kelvra again from the website.")
        default: return qsTr("Something stopped the installer. Try again, or download Kelvra again from the website.")
        }
    }

    Rectangle {
        objectName: "errorDetail"
        Layout.fillWidth: true
        implicitHeight: detailRow.implicitHeight + Theme.unit * 2
        radius: Theme.radiusSmall
        color: Theme.surface
        border.color: Theme.border
        RowLayout {
            id: detailRow
            anchors.fill: parent
            anchors.leftMargin: Theme.unit * 1.5
            anchors.rightMargin: Theme.unit
            Label {
                objectName: "errorDetailText"
                text: Setup.errorDetail
                font.family: "monospace"
                font.pixelSize: Theme.fontSmall
                muted: true
                Layout.fillWidth: true
                elide: Text.ElideRight
            }
            KButton {
                objectName: "copyDetailButton"
                kind: "ghost"
                text: qsTr("Copy")
                implicitHeight: 30
                onClicked: Setup.copyText(Setup.errorDetail)
            }
        }
    }
    Item { Layout.fillHeight: true }

    buttons: [
        KButton {
            objectName: "tryAgainButton"
            text: qsTr("Try again")
            focus: true
            onClicked: Setup.install()
        }
    ]
}
