import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"
import "../components"

// Who is signed in, on what plan, from which devices; and the way out.
Item {
    id: page
    objectName: "accountPage"
    signal navigate(string key)

    property string removingUuid: ""
    property string removingName: ""

    function entered() {
        MDevices.fetchDevices()
        UserManager.fetchUserCurrentSubscription()
    }

    function methodName(method) {
        switch (method) {
        case "code": return qsTr("E-mail code")
        case "link": return qsTr("Sign-in link")
        case "google": return "Google"
        case "apple": return "Apple"
        case "sso": return qsTr("Single sign-on")
        default: return method !== "" ? method : "—"
        }
    }

    // The backend's ISO date, as a person reads dates here.
    function formatDate(text) {
        const date = new Date(text)
        return isNaN(date.getTime()) ? text : date.toLocaleDateString(Qt.locale(), Locale.LongFormat)
    }

    function deviceName(brand, model, os) {
        const parts = [brand, model].filter(part => part && part.trim() !== "")
        return parts.length > 0 ? parts.join(" ") : (os !== "" ? os : qsTr("Unknown device"))
    }

    ConfirmDialog {
        id: removeDialog
        objectName: "removeDeviceDialog"
        parent: page
        title: qsTr("Remove this device?")
        message: qsTr("%1 will be signed out and stops counting toward your device limit.").arg(page.removingName)
        acceptText: qsTr("Remove")
        destructive: true
        onAccepted: MDevices.removeDevice(page.removingUuid)
    }
    ConfirmDialog {
        id: signOutDialog
        objectName: "signOutDialog"
        parent: page
        title: qsTr("Sign out?")
        message: ConnectionController && (ConnectionController.isConnected || ConnectionController.isConnectionInProgress)
                 ? qsTr("Signing out also disconnects the VPN on this computer.")
                 : qsTr("You can sign in again with a code sent to your e-mail.")
        acceptText: qsTr("Sign out")
        destructive: true
        onAccepted: LogoutManager.authenticate({})
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
                text: qsTr("Account")
                font.pixelSize: Theme.fontTitle
                font.weight: Font.DemiBold
            }

            Card {
                Layout.fillWidth: true
                Layout.leftMargin: Theme.unit * 4
                Layout.rightMargin: Theme.unit * 4
                GridLayout {
                    width: parent.width
                    columns: 2
                    rowSpacing: Theme.unit * 1.5
                    columnSpacing: Theme.unit * 3
                    Label { text: qsTr("E-mail"); muted: true }
                    Label {
                        objectName: "accountEmail"
                        text: Session.email !== "" ? Session.email : "—"
                        Layout.fillWidth: true
                    }
                    Label { text: qsTr("Plan"); muted: true }
                    Label {
                        objectName: "accountPlan"
                        text: UserManager.userSubscribtionName !== "" ? UserManager.userSubscribtionName : "—"
                        Layout.fillWidth: true
                    }
                    Label {
                        text: qsTr("Renews or ends")
                        muted: true
                        visible: UserManager.subscriptionExpireDate !== ""
                    }
                    Label {
                        visible: UserManager.subscriptionExpireDate !== ""
                        text: qsTr("%1 (%n days left)", "", UserManager.getLeftDate()).arg(page.formatDate(UserManager.subscriptionExpireDate))
                        Layout.fillWidth: true
                    }
                    Label { text: qsTr("Signed in with"); muted: true }
                    Label {
                        objectName: "accountMethod"
                        text: page.methodName(Session.signInMethod)
                        Layout.fillWidth: true
                    }
                }
            }

            RowLayout {
                Layout.leftMargin: Theme.unit * 4
                Layout.rightMargin: Theme.unit * 4
                Layout.topMargin: Theme.unit
                Label {
                    text: qsTr("Devices")
                    font.pixelSize: Theme.fontBody + 2
                    font.weight: Font.DemiBold
                }
                Label {
                    objectName: "deviceCount"
                    text: MDevices.count > 0 ? qsTr("%n counted toward your limit", "", MDevices.countedCount) : ""
                    muted: true
                    font.pixelSize: Theme.fontSmall
                    Layout.leftMargin: Theme.unit
                }
                Item { Layout.fillWidth: true }
            }

            Card {
                Layout.fillWidth: true
                Layout.leftMargin: Theme.unit * 4
                Layout.rightMargin: Theme.unit * 4
                padding: Theme.unit
                ColumnLayout {
                    width: parent.width
                    spacing: 2
                    Label {
                        visible: MDevices.count === 0
                        text: qsTr("Loading your devices…")
                        muted: true
                        Layout.margins: Theme.unit
                    }
                    Repeater {
                        model: MDevices
                        delegate: Rectangle {
                            id: device
                            required property string device_Uuid
                            required property string device_os
                            required property string device_brand
                            required property string device_model
                            required property string device_os_version
                            required property bool device_is_current
                            required property bool vpn_connected
                            readonly property string title: page.deviceName(device_brand, device_model, device_os)
                            objectName: "device_" + device_Uuid
                            Layout.fillWidth: true
                            implicitHeight: 60
                            radius: Theme.radiusSmall
                            color: deviceHover.hovered ? Theme.surfaceHover : "transparent"
                            HoverHandler { id: deviceHover }
                            RowLayout {
                                anchors.fill: parent
                                anchors.leftMargin: Theme.unit * 1.5
                                anchors.rightMargin: Theme.unit
                                spacing: Theme.unit * 1.5
                                Icon {
                                    icon: /android|ios/i.test(device.device_os) ? "smartphone" : "laptop"
                                    color: Theme.textMuted
                                }
                                ColumnLayout {
                                    spacing: 0
                                    Layout.fillWidth: true
                                    RowLayout {
                                        spacing: Theme.unit
                                        Label { text: device.title; font.weight: Font.Medium }
                                        Rectangle {
                                            visible: device.device_is_current
                                            implicitWidth: thisDevice.implicitWidth + Theme.unit * 2
                                            implicitHeight: 20
                                            radius: 10
                                            color: Qt.rgba(Theme.accent.r, Theme.accent.g, Theme.accent.b, 0.18)
                                            Label {
                                                id: thisDevice
                                                anchors.centerIn: parent
                                                text: qsTr("This device")
                                                font.pixelSize: 11
                                                color: Theme.accent
                                            }
                                        }
                                    }
                                    Label {
                                        text: [device.device_os, device.device_os_version].filter(p => p !== "").join(" ")
                                              + (device.vpn_connected ? " · " + qsTr("VPN on") : "")
                                        muted: true
                                        font.pixelSize: Theme.fontSmall
                                    }
                                }
                                KButton {
                                    objectName: "removeDeviceButton"
                                    visible: !device.device_is_current
                                    kind: "danger"
                                    iconName: "trash-2"
                                    text: qsTr("Remove")
                                    implicitHeight: 34
                                    Accessible.name: qsTr("Remove %1").arg(device.title)
                                    onClicked: {
                                        page.removingUuid = device.device_Uuid
                                        page.removingName = device.title
                                        removeDialog.open()
                                    }
                                }
                            }
                        }
                    }
                }
            }

            KButton {
                objectName: "signOutButton"
                Layout.leftMargin: Theme.unit * 4
                Layout.topMargin: Theme.unit
                kind: "danger"
                iconName: "log-out"
                text: qsTr("Sign out")
                onClicked: signOutDialog.open()
            }
            Item { implicitHeight: Theme.unit * 3 }
        }
    }
}
