import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"
import "../components"

// Help when something goes wrong: the logs, a summary of this computer's
// setup to paste into a request (it holds no e-mail, address or token), the
// way to the help site, and checks a person can run: speed and notifications.
Item {
    id: page
    objectName: "supportPage"
    signal navigate(string key)

    property string summary: ""
    property bool copied: false

    function entered() {
        summary = SupportInfo.diagnostics()
        copied = false
    }

    Timer {
        id: copiedTimer
        interval: 3000
        onTriggered: page.copied = false
    }

    B.ScrollView {
        anchors.fill: parent
        contentWidth: availableWidth
        B.ScrollBar.horizontal.policy: B.ScrollBar.AlwaysOff

        ColumnLayout {
            width: parent.width
            spacing: Theme.unit * 2

            Item { implicitHeight: Theme.unit * 2 }
            Label {
                Layout.leftMargin: Theme.unit * 4
                text: qsTr("Support")
                font.pixelSize: Theme.fontTitle
                font.weight: Font.DemiBold
            }

            Card {
                Layout.fillWidth: true
                Layout.leftMargin: Theme.unit * 4
                Layout.rightMargin: Theme.unit * 4
                RowLayout {
                    width: parent.width
                    spacing: Theme.unit * 2
                    Icon { icon: "life-buoy"; color: Theme.accent; size: 28 }
                    ColumnLayout {
                        spacing: 2
                        Layout.fillWidth: true
                        Label { text: qsTr("Contact support"); font.weight: Font.DemiBold }
                        Label {
                            text: qsTr("Our team answers on the help site. Add the summary below to your request.")
                            muted: true
                            font.pixelSize: Theme.fontSmall
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                    }
                    KButton {
                        objectName: "contactSupportButton"
                        iconName: "external-link"
                        text: qsTr("Open help site")
                        onClicked: SupportInfo.contactSupport()
                    }
                }
            }

            Card {
                Layout.fillWidth: true
                Layout.leftMargin: Theme.unit * 4
                Layout.rightMargin: Theme.unit * 4
                ColumnLayout {
                    width: parent.width
                    spacing: Theme.unit
                    RowLayout {
                        Layout.fillWidth: true
                        Label { text: qsTr("Diagnostics summary"); font.weight: Font.DemiBold; Layout.fillWidth: true }
                        Label {
                            objectName: "copiedNote"
                            visible: page.copied
                            text: qsTr("Copied")
                            color: Theme.protectedColor
                            font.pixelSize: Theme.fontSmall
                        }
                        KButton {
                            objectName: "copyDiagnosticsButton"
                            kind: "secondary"
                            iconName: "copy"
                            text: qsTr("Copy")
                            onClicked: {
                                page.summary = SupportInfo.diagnostics()
                                page.copied = SupportInfo.copyDiagnostics()
                                copiedTimer.restart()
                            }
                        }
                    }
                    Label {
                        text: qsTr("How this app is set up, without your e-mail, addresses or sign-in details.")
                        muted: true
                        font.pixelSize: Theme.fontSmall
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                    Rectangle {
                        Layout.fillWidth: true
                        implicitHeight: summaryText.implicitHeight + Theme.unit * 2
                        radius: Theme.radiusSmall
                        color: Theme.surfaceRaised
                        Text {
                            id: summaryText
                            objectName: "diagnosticsText"
                            anchors.fill: parent
                            anchors.margins: Theme.unit
                            text: page.summary
                            font.family: "monospace"
                            font.pixelSize: 11
                            color: Theme.textMuted
                            wrapMode: Text.Wrap
                        }
                    }
                }
            }

            Card {
                Layout.fillWidth: true
                Layout.leftMargin: Theme.unit * 4
                Layout.rightMargin: Theme.unit * 4
                GridLayout {
                    width: parent.width
                    columns: 2
                    rowSpacing: Theme.unit * 1.5
                    columnSpacing: Theme.unit * 2
                    ColumnLayout {
                        spacing: 2
                        Layout.fillWidth: true
                        Label { text: qsTr("Logs"); font.weight: Font.DemiBold }
                        Label {
                            text: qsTr("What the app did, for support to read. No passwords or keys are written.")
                            muted: true
                            font.pixelSize: Theme.fontSmall
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                    }
                    KButton {
                        objectName: "openLogsButton"
                        kind: "secondary"
                        iconName: "folder-open"
                        text: qsTr("Open logs folder")
                        onClicked: CoreController.openClientLogsFolder()
                    }
                    ColumnLayout {
                        spacing: 2
                        Layout.fillWidth: true
                        Label { text: qsTr("Speed test"); font.weight: Font.DemiBold }
                        Label {
                            text: qsTr("Measure your download and upload speed, through the VPN when it's on.")
                            muted: true
                            font.pixelSize: Theme.fontSmall
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                    }
                    KButton {
                        objectName: "openSpeedTestButton"
                        kind: "secondary"
                        iconName: "gauge"
                        text: qsTr("Test speed")
                        onClicked: page.navigate("speedtest")
                    }
                    ColumnLayout {
                        spacing: 2
                        Layout.fillWidth: true
                        Label { text: qsTr("Notifications"); font.weight: Font.DemiBold }
                        Label {
                            text: qsTr("See how Kelvra's notifications look on your desktop.")
                            muted: true
                            font.pixelSize: Theme.fontSmall
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                    }
                    KButton {
                        objectName: "demoNotificationButton"
                        kind: "secondary"
                        iconName: "bell"
                        text: qsTr("Send a test")
                        onClicked: DesktopPush.demo()
                    }
                }
            }
            Item { implicitHeight: Theme.unit * 3 }
        }
    }
}
