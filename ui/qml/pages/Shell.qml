import QtQuick
import QtQuick.Layouts
import "../singletons"
import "../components"

// The signed-in window: the navigation rail and the page it points at. A page
// is built the first time it is opened and kept afterwards, so the first
// frame only pays for the home page.
Item {
    id: shell
    objectName: "shell"
    property string current: "home"
    property var visited: ({ "home": true })

    readonly property var pages: [
        { key: "home", title: qsTr("Home"), icon: "house", source: "HomePage.qml" },
        { key: "locations", title: qsTr("Locations"), icon: "globe", source: "LocationsPage.qml" },
        { key: "protocol", title: qsTr("Protocol"), icon: "shield", source: "ProtocolPage.qml" },
        { key: "settings", title: qsTr("Settings"), icon: "settings", source: "SettingsPage.qml" },
        { key: "account", title: qsTr("Account"), icon: "user", source: "AccountPage.qml" },
        { key: "inbox", title: qsTr("Inbox"), icon: "bell", source: "InboxPage.qml" },
        { key: "plans", title: qsTr("Plans"), icon: "credit-card", source: "PlansPage.qml" },
        { key: "support", title: qsTr("Support"), icon: "life-buoy", source: "SupportPage.qml", bottom: true },
        // Reached from the support page; the rail marks support meanwhile.
        { key: "speedtest", title: qsTr("Speed test"), icon: "gauge", source: "SpeedTestPage.qml", under: "support" }
    ]

    function show(key) {
        if (!visited[key]) {
            const next = Object.assign({}, visited)
            next[key] = true
            visited = next
        }
        current = key
        if (InAppMessages)
            InAppMessages.pageShown(key)
    }

    // A click on a notification on the desktop opens the inbox.
    Connections {
        target: DesktopPush
        function onNotificationClicked(id) { shell.show("inbox") }
    }

    RowLayout {
        anchors.fill: parent
        spacing: 0

        NavRail {
            Layout.fillHeight: true
            pages: shell.pages
            current: shell.current
            badges: ({ "inbox": DesktopPush ? DesktopPush.unreadCount : 0 })
            onChosen: key => shell.show(key)
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 0

            // The backend's banner messages: strips above the page, which they
            // push down rather than cover.
            MessageToasts {
                Layout.fillWidth: true
                Layout.leftMargin: Theme.unit * 4
                Layout.rightMargin: Theme.unit * 4
                Layout.topMargin: visible ? Theme.unit * 2 : 0
            }

            Item {
                Layout.fillWidth: true
                Layout.fillHeight: true

                Repeater {
                    model: shell.pages
                    delegate: Item {
                        id: slot
                        required property var modelData
                        readonly property bool isCurrent: shell.current === modelData.key
                        anchors.fill: parent
                        visible: opacity > 0
                        enabled: isCurrent
                        opacity: isCurrent ? 1 : 0
                        Behavior on opacity { NumberAnimation { duration: Theme.fadeMs } }
                        onIsCurrentChanged: if (isCurrent) pageLoader.enter()

                        Loader {
                            id: pageLoader
                            objectName: "page_" + slot.modelData.key
                            anchors.fill: parent
                            active: shell.visited[slot.modelData.key] === true
                            source: slot.modelData.source
                            asynchronous: slot.modelData.key !== "home"

                            function enter() {
                                if (item && item.entered)
                                    item.entered()
                            }
                            onLoaded: {
                                if (item.navigate)
                                    item.navigate.connect(shell.show)
                                if (slot.isCurrent)
                                    enter()
                            }
                        }
                        // Holds the place while the page is still being built.
                        Spinner {
                            anchors.centerIn: parent
                            visible: pageLoader.status === Loader.Loading
                        }
                    }
                }
            }
        }
    }

    // A message from the backend that asks for a moment.
    MessageDialog {
        parent: shell
    }

    // Shown once, over everything, after the first sign-in on this computer.
    Loader {
        anchors.fill: parent
        z: 10
        active: !Session.onboardingDone
        source: "OnboardingPage.qml"
    }
}
