import QtQuick
import QtQuick.Layouts
import "../singletons"
import "../components"

// Am I protected, where do I appear to be, what do I press.
Item {
    id: page
    objectName: "homePage"
    signal navigate(string key)

    readonly property var cc: ConnectionController
    readonly property bool connected: cc ? cc.isConnected : false
    readonly property bool working: cc ? cc.isConnectionInProgress : false
    property real download: 0
    property real upload: 0
    property var now: new Date()
    property var notes: []

    function entered() {
        if (Session.email !== "")
            MServers.reconcileAccount(Session.email)
        MServers.fetchServers()
        updateNotice.check()
    }

    // The drivers report throughput in megabits per second.
    function formatRate(megabits) {
        const value = Math.max(0, megabits)
        if (value < 1)
            return Math.round(value * 1000) + " kbps"
        return (value < 10 ? value.toFixed(1) : Math.round(value)) + " Mbps"
    }

    function formatElapsed(since) {
        if (!since || isNaN(since.getTime()))
            return ""
        const seconds = Math.max(0, Math.floor((now.getTime() - since.getTime()) / 1000))
        const two = n => (n < 10 ? "0" : "") + n
        return two(Math.floor(seconds / 3600)) + ":" + two(Math.floor(seconds / 60) % 60) + ":" + two(seconds % 60)
    }

    function protocolName(type) {
        switch (type) {
        case 1: return "OpenVPN UDP"
        case 2: return "WireGuard"
        case 3: return "AmneziaWG"
        case 4: return "Stealth"
        case 5: return "OpenVPN TCP"
        default: return qsTr("Optimal")
        }
    }

    Timer {
        interval: 1000
        repeat: true
        running: page.connected && page.visible
        triggeredOnStart: true
        onTriggered: page.now = new Date()
    }

    Connections {
        target: page.cc
        function onBytesChanged(download, upload) {
            page.download = download
            page.upload = upload
        }
        function onBannerNote(text) {
            if (text !== "" && page.notes.indexOf(text) < 0)
                page.notes = page.notes.concat([text])
        }
        function onConnectionStateChanged() {
            if (!page.connected) {
                page.download = 0
                page.upload = 0
            }
        }
    }
    // The address the world sees changes with the tunnel.
    onConnectedChanged: UserManager.refreshPublicIp(1000)

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: Theme.unit * 4
        spacing: Theme.unit * 2

        UpdateNotice {
            id: updateNotice
            Layout.fillWidth: true
        }

        // Notes that matter now, each dismissible.
        Banner {
            objectName: "killSwitchBanner"
            Layout.fillWidth: true
            visible: page.cc && page.cc.killSwitchBlocking
            iconName: "lock"
            tint: Theme.unprotectedColor
            dismissible: false
            text: qsTr("The kill switch is blocking the internet until the VPN is back.")
            actionText: qsTr("Unblock")
            onAction: page.cc.closeConnection("the unblock button")
        }
        Banner {
            objectName: "restrictedBanner"
            Layout.fillWidth: true
            visible: page.cc && page.cc.restrictedNote !== ""
            iconName: "shield"
            text: page.cc ? page.cc.restrictedNote : ""
            onDismissed: page.cc.restrictedNote = ""
        }
        Repeater {
            model: page.notes
            delegate: Banner {
                required property string modelData
                required property int index
                objectName: "noteBanner"
                Layout.fillWidth: true
                text: modelData
                onDismissed: page.notes = page.notes.filter(note => note !== modelData)
            }
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: Theme.unit * 4

            // The ring and what it means.
            ColumnLayout {
                Layout.fillWidth: true
                Layout.fillHeight: true
                spacing: Theme.unit * 2

                Item { Layout.fillHeight: true; Layout.fillWidth: true }
                ConnectRing {
                    id: ring
                    objectName: "connectRing"
                    Layout.alignment: Qt.AlignHCenter
                    mode: page.connected ? "on" : page.working ? "working" : "off"
                    actionText: page.connected ? qsTr("Disconnect") : page.working ? qsTr("Cancel") : qsTr("Connect")
                    onClicked: page.cc.toggleConnection()
                }
                Label {
                    objectName: "stateText"
                    Layout.alignment: Qt.AlignHCenter
                    text: page.cc ? page.cc.connectionStateText : ""
                    font.pixelSize: Theme.fontDisplay
                    font.weight: Font.DemiBold
                    color: ring.tint
                }
                Label {
                    objectName: "stateDetail"
                    Layout.alignment: Qt.AlignHCenter
                    Layout.maximumWidth: 420
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.Wrap
                    muted: true
                    text: page.cc && page.cc.recoveryText !== "" ? page.cc.recoveryText
                        : page.connected ? qsTr("Protected for %1").arg(page.formatElapsed(page.cc.connectedSince))
                        : page.working && Session.switchTarget !== "" ? qsTr("Switching to %1").arg(Session.switchTarget)
                        : page.working ? qsTr("Finding the best route to %1").arg(Session.serverName || qsTr("your location"))
                        : qsTr("Your traffic is not protected")
                }

                // A repair that ended: reconnect here, or on another server.
                RowLayout {
                    objectName: "recoveryOffer"
                    visible: page.cc && page.cc.recoveryText !== ""
                    Layout.alignment: Qt.AlignHCenter
                    spacing: Theme.unit
                    KButton {
                        objectName: "reconnectButton"
                        iconName: "refresh-cw"
                        text: qsTr("Reconnect")
                        onClicked: page.cc.toggleConnection()
                    }
                    KButton {
                        objectName: "anotherServerButton"
                        kind: "secondary"
                        text: qsTr("Try another server")
                        onClicked: page.cc.tryAnotherServer()
                    }
                }

                // An error and what to do about it.
                Rectangle {
                    objectName: "errorCard"
                    visible: page.cc && page.cc.vpnErrorText !== ""
                    Layout.alignment: Qt.AlignHCenter
                    Layout.preferredWidth: Math.min(460, parent.width)
                    implicitHeight: errorColumn.implicitHeight + Theme.unit * 3
                    radius: Theme.radius
                    color: Qt.rgba(Theme.error.r, Theme.error.g, Theme.error.b, 0.12)
                    border.color: Qt.rgba(Theme.error.r, Theme.error.g, Theme.error.b, 0.5)
                    ColumnLayout {
                        id: errorColumn
                        anchors.fill: parent
                        anchors.margins: Theme.unit * 1.5
                        spacing: Theme.unit
                        RowLayout {
                            spacing: Theme.unit
                            Layout.fillWidth: true
                            Icon { icon: "triangle-alert"; color: Theme.error; size: 18 }
                            Label {
                                objectName: "errorText"
                                text: page.cc ? page.cc.vpnErrorText : ""
                                wrapMode: Text.Wrap
                                Layout.fillWidth: true
                            }
                        }
                        RowLayout {
                            Layout.alignment: Qt.AlignRight
                            KButton {
                                objectName: "dismissErrorButton"
                                kind: "ghost"
                                text: qsTr("Dismiss")
                                onClicked: page.cc.clearError()
                            }
                            KButton {
                                objectName: "chooseServerButton"
                                kind: "secondary"
                                text: qsTr("Choose a location")
                                onClicked: page.navigate("locations")
                            }
                            KButton {
                                objectName: "retryButton"
                                text: qsTr("Try again")
                                onClicked: page.cc.openConnection()
                            }
                        }
                    }
                }
                Item { Layout.fillHeight: true }
            }

            // Where I appear to be, and the tunnel's numbers.
            ColumnLayout {
                Layout.preferredWidth: 340
                Layout.maximumWidth: 340
                Layout.fillHeight: true
                spacing: Theme.unit * 2

                Item { Layout.fillHeight: true }
                Label { text: qsTr("Location"); muted: true; font.pixelSize: Theme.fontSmall }
                LocationCard {
                    objectName: "locationCard"
                    Layout.fillWidth: true
                    onClicked: page.navigate("locations")
                }

                Label { text: qsTr("Connection"); muted: true; font.pixelSize: Theme.fontSmall }
                Card {
                    Layout.fillWidth: true
                    GridLayout {
                        width: parent.width
                        columns: 2
                        rowSpacing: Theme.unit * 1.5
                        columnSpacing: Theme.unit * 2
                        Label { text: qsTr("Public IP"); muted: true }
                        Label {
                            objectName: "publicIp"
                            text: UserManager.publicIp !== "" ? UserManager.publicIp : "—"
                            Layout.fillWidth: true
                            horizontalAlignment: Text.AlignRight
                        }
                        Label { text: qsTr("Protocol"); muted: true }
                        Label {
                            objectName: "protocolName"
                            text: page.protocolName(MProtocols ? MProtocols.selectedProtocol : 0)
                            Layout.fillWidth: true
                            horizontalAlignment: Text.AlignRight
                        }
                        Label { text: qsTr("Download"); muted: true }
                        RowLayout {
                            Layout.fillWidth: true
                            Item { Layout.fillWidth: true }
                            Icon { icon: "arrow-down"; size: 16; color: Theme.protectedColor }
                            Label {
                                objectName: "downloadRate"
                                text: page.connected ? page.formatRate(page.download) : "—"
                            }
                        }
                        Label { text: qsTr("Upload"); muted: true }
                        RowLayout {
                            Layout.fillWidth: true
                            Item { Layout.fillWidth: true }
                            Icon { icon: "arrow-up"; size: 16; color: Theme.working }
                            Label {
                                objectName: "uploadRate"
                                text: page.connected ? page.formatRate(page.upload) : "—"
                            }
                        }
                    }
                }
                Item { Layout.fillHeight: true }
            }
        }
    }
}
