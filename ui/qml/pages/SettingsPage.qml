import QtQuick
import com.qt.kelvra 1.0
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"
import "../components"

// Every switch of the settings controller, in four groups. The controller
// answers by methods, not properties: each group reads its values when shown
// and after each change.
Item {
    id: page
    objectName: "settingsPage"
    signal navigate(string key)

    property string section: "connection"
    property int revision: 0          // bumped after every change, so reads are taken afresh
    readonly property var sc: SettingsController
    readonly property var cc: ConnectionController

    function entered() {
        ++revision
        sc.requestWifiNameAccess()
    }

    function read(getter) {
        return revision >= 0 && sc && sc[getter] ? sc[getter]() : undefined
    }

    // A setting that lives in the tunnel's configuration takes effect by
    // reconnecting, when there is a tunnel.
    function reconnectIfConnected() {
        if (cc && cc.isConnected)
            cc.reconnectForSetting()
    }

    property bool showingLog: false

    Loader {
        anchors.fill: parent
        anchors.margins: Theme.unit * 4
        active: page.showingLog
        sourceComponent: LogView { onBack: page.showingLog = false }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: Theme.unit * 4
        spacing: Theme.unit * 2
        visible: !page.showingLog

        Label {
            text: qsTr("Settings")
            font.pixelSize: Theme.fontTitle
            font.weight: Font.DemiBold
        }
        PillTabs {
            model: [
                { key: "connection", title: qsTr("Connection") },
                { key: "privacy", title: qsTr("Privacy") },
                { key: "apps", title: qsTr("Apps") },
                { key: "app", title: qsTr("App") }
            ]
            current: page.section
            onChosen: key => { page.section = key; ++page.revision }
        }

        B.ScrollView {
            id: scroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            clip: true
            B.ScrollBar.horizontal.policy: B.ScrollBar.AlwaysOff

            Loader {
                width: scroll.availableWidth
                sourceComponent: page.section === "connection" ? connection
                               : page.section === "privacy" ? privacy
                               : page.section === "apps" ? apps : application
            }
        }
    }

    Component {
        id: connection
        ColumnLayout {
            spacing: Theme.unit
            Card {
                Layout.fillWidth: true
                padding: Theme.unit
                ColumnLayout {
                    width: parent.width
                    spacing: 0
                    ToggleRow {
                        objectName: "killSwitchToggle"
                        Layout.fillWidth: true
                        title: qsTr("Kill switch")
                        description: qsTr("Blocks the internet if the VPN drops, so nothing leaves unprotected. Recommended.")
                        on: page.read("isKillSwitchEnabled") === true
                        onToggled: value => { page.sc.toggleKillSwitch(value); ++page.revision }
                    }
                    ToggleRow {
                        objectName: "dnsLeakToggle"
                        Layout.fillWidth: true
                        title: qsTr("DNS leak protection")
                        description: qsTr("Sends every name lookup through the VPN. A running connection reconnects to apply it.")
                        on: page.read("isDnsLeakProtectionEnabled") === true
                        onToggled: value => {
                            page.sc.toggleDnsLeakProtection(value)
                            ++page.revision
                            page.reconnectIfConnected()
                        }
                    }
                    ToggleRow {
                        objectName: "autoConnectToggle"
                        Layout.fillWidth: true
                        title: qsTr("Connect when Kelvra starts")
                        description: qsTr("Except on the trusted networks below.")
                        on: page.read("isAutoConnect") === true
                        onToggled: value => { page.sc.toggleAutoConnect(value); ++page.revision }
                    }
                }
            }

            SectionTitle { text: qsTr("Trusted Wi-Fi networks") }
            Label {
                text: qsTr("Kelvra doesn't connect on its own on these networks, such as your home Wi-Fi.")
                muted: true
                font.pixelSize: Theme.fontSmall
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            TrustedNetworks {
                Layout.fillWidth: true
                controller: page.sc
                revision: page.revision
                onChanged: ++page.revision
            }
        }
    }

    Component {
        id: privacy
        ColumnLayout {
            spacing: Theme.unit
            Card {
                Layout.fillWidth: true
                padding: Theme.unit
                ColumnLayout {
                    width: parent.width
                    spacing: 0
                    ToggleRow {
                        objectName: "adBlockToggle"
                        Layout.fillWidth: true
                        title: qsTr("Block ads and trackers")
                        description: qsTr("The VPN refuses names on Kelvra's list of ad and tracker domains.")
                        note: AdBlock && AdBlock.unavailable ? qsTr("The Kelvra service can't block ads on this computer right now.") : ""
                        on: page.read("isAdBlockEnabled") === true
                        onToggled: value => { page.sc.toggleAdBlock(value); ++page.revision }
                    }
                    ToggleRow {
                        objectName: "bypassToggle"
                        Layout.fillWidth: true
                        title: qsTr("Bypass the VPN for some sites")
                        description: qsTr("Sites on the list below are reached directly, outside the VPN, for example your bank.")
                        note: BypassList && BypassList.unavailable ? qsTr("Bypassing isn't available for this connection.") : ""
                        on: page.read("isBypassListEnabled") === true
                        onToggled: value => { page.sc.toggleBypassList(value); ++page.revision }
                    }
                }
            }
            SectionTitle { text: qsTr("Bypassed sites") }
            BypassSites {
                Layout.fillWidth: true
                controller: page.sc
                revision: page.revision
                onChanged: ++page.revision
            }
        }
    }

    Component {
        id: apps
        ColumnLayout {
            spacing: Theme.unit
            Card {
                Layout.fillWidth: true
                padding: Theme.unit
                ToggleRow {
                    objectName: "splitTunnelToggle"
                    width: parent.width
                    title: qsTr("Split tunnelling")
                    description: qsTr("The applications you tick below skip the VPN and use your own connection.")
                    on: page.read("isSplitTunnelEnabled") === true
                    onToggled: value => { page.sc.toggleSplitTunnel(value); ++page.revision }
                }
            }
            SplitTunnelApps {
                Layout.fillWidth: true
                controller: page.sc
                revision: page.revision
                onChanged: ++page.revision
            }
        }
    }

    Component {
        id: application
        ColumnLayout {
            spacing: Theme.unit
            Card {
                Layout.fillWidth: true
                padding: Theme.unit
                ColumnLayout {
                    width: parent.width
                    spacing: 0
                    ToggleRow {
                        objectName: "autoStartToggle"
                        Layout.fillWidth: true
                        title: qsTr("Start with the system")
                        description: qsTr("Kelvra opens when you sign in to your computer.")
                        on: page.read("isAutoStartEnabled") === true
                        onToggled: value => { page.sc.toggleAutoStart(value); ++page.revision }
                    }
                    ToggleRow {
                        objectName: "startMinimizedToggle"
                        Layout.fillWidth: true
                        title: qsTr("Start minimised")
                        description: qsTr("Opens in the background without showing the window.")
                        on: page.read("isStartMinimizedEnabled") === true
                        onToggled: value => { page.sc.toggleStartMinimized(value); ++page.revision }
                    }
                    ToggleRow {
                        objectName: "darkThemeToggle"
                        Layout.fillWidth: true
                        title: qsTr("Dark theme")
                        description: qsTr("Off gives the light theme.")
                        on: Theme.dark
                        onToggled: value => Theme.setDark(value)
                    }
                }
            }
            SectionTitle { text: qsTr("Logs") }
            Card {
                Layout.fillWidth: true
                padding: Theme.unit
                ColumnLayout {
                    width: parent.width
                    spacing: Theme.unit
                    ToggleRow {
                        objectName: "loggingToggle"
                        Layout.fillWidth: true
                        title: qsTr("Keep a log")
                        description: qsTr("Writes what the client does to a file on this computer, for support. No passwords, keys or tunnel settings are written.")
                        on: page.read("isLoggingEnabled") === true
                        onToggled: value => { page.sc.toggleLogging(value); ++page.revision }
                    }
                    RowLayout {
                        Layout.leftMargin: Theme.unit
                        Layout.bottomMargin: Theme.unit
                        spacing: Theme.unit
                        KButton {
                            objectName: "openLogsButton"
                            kind: "secondary"
                            iconName: "folder-open"
                            text: qsTr("Open logs folder")
                            onClicked: CoreController.openClientLogsFolder()
                        }
                        KButton {
                            objectName: "viewLogButton"
                            kind: "secondary"
                            text: qsTr("View log")
                            onClicked: page.showingLog = true
                        }
                        KButton {
                            objectName: "clearLogsButton"
                            kind: "secondary"
                            iconName: "trash-2"
                            text: qsTr("Clear logs")
                            onClicked: {
                                CoreController.clearLogs()
                                clearedNote.visible = true
                            }
                        }
                        Label {
                            id: clearedNote
                            visible: false
                            text: qsTr("Logs cleared.")
                            muted: true
                            font.pixelSize: Theme.fontSmall
                        }
                    }
                }
            }
            Label {
                Layout.topMargin: Theme.unit
                text: qsTr("Kelvra %1").arg(CoreController.appVersion())
                muted: true
                font.pixelSize: Theme.fontSmall
            }
        }
    }
}
