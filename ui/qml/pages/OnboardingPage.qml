import QtQuick
import QtQuick.Layouts
import "../singletons"
import "../components"

// Three cards after the first sign-in: what Smart Connect does, the kill
// switch, starting with the system. Skippable; never shown again once
// finished or skipped.
Rectangle {
    id: page
    objectName: "onboardingPage"
    color: Qt.rgba(0, 0, 0, 0.55)
    property int step: 0
    readonly property var sc: SettingsController
    property int revision: 0

    function read(getter) {
        return revision >= 0 && sc && sc[getter] ? sc[getter]() : false
    }

    // Swallows clicks meant for the page underneath.
    MouseArea { anchors.fill: parent }

    Component.onCompleted: nextButton.forceActiveFocus()

    Rectangle {
        anchors.centerIn: parent
        width: 460
        height: content.implicitHeight + Theme.unit * 8
        radius: Theme.radius
        color: Theme.surface
        border.color: Theme.border

        ColumnLayout {
            id: content
            anchors.fill: parent
            anchors.margins: Theme.unit * 4
            spacing: Theme.unit * 2

            Icon {
                Layout.alignment: Qt.AlignHCenter
                icon: ["zap", "lock", "power"][page.step]
                size: 40
                color: Theme.accent
            }
            Label {
                objectName: "onboardingTitle"
                Layout.alignment: Qt.AlignHCenter
                text: [qsTr("Smart Connect finds the way"), qsTr("The kill switch"), qsTr("Start with your computer")][page.step]
                font.pixelSize: Theme.fontTitle
                font.weight: Font.DemiBold
            }
            Label {
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                muted: true
                text: [
                    qsTr("Press Connect and Kelvra tries the routes that work on your network, remembers the one that did, and repairs the tunnel if it drops."),
                    qsTr("If the VPN drops, the kill switch blocks the internet until it is back, so nothing leaves your computer unprotected. We recommend it."),
                    qsTr("Kelvra can open when you sign in to your computer, ready to connect.")
                ][page.step]
            }
            ToggleRow {
                objectName: "onboardingKillSwitch"
                visible: page.step === 1
                Layout.fillWidth: true
                title: qsTr("Kill switch")
                description: qsTr("Recommended")
                on: page.read("isKillSwitchEnabled") === true
                onToggled: value => { page.sc.toggleKillSwitch(value); ++page.revision }
            }
            ToggleRow {
                objectName: "onboardingAutoStart"
                visible: page.step === 2
                Layout.fillWidth: true
                title: qsTr("Start with the system")
                on: page.read("isAutoStartEnabled") === true
                onToggled: value => { page.sc.toggleAutoStart(value); ++page.revision }
            }
            // Where the reader is: three dots.
            Row {
                Layout.alignment: Qt.AlignHCenter
                spacing: Theme.unit
                Repeater {
                    model: 3
                    delegate: Rectangle {
                        required property int index
                        width: 8; height: 8; radius: 4
                        color: index === page.step ? Theme.accent : Theme.border
                    }
                }
            }
            RowLayout {
                Layout.fillWidth: true
                KButton {
                    objectName: "onboardingSkip"
                    kind: "ghost"
                    text: qsTr("Skip")
                    onClicked: Session.finishOnboarding()
                }
                Item { Layout.fillWidth: true }
                KButton {
                    id: nextButton
                    objectName: "onboardingNext"
                    text: page.step < 2 ? qsTr("Next") : qsTr("Start using Kelvra")
                    onClicked: page.step < 2 ? ++page.step : Session.finishOnboarding()
                }
            }
        }
    }
}
