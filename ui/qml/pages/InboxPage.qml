import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"
import "../components"

// The notifications sent to this account, newest first; unread ones marked.
// A click marks one read; its link, when it has one, opens on request.
Item {
    id: page
    objectName: "inboxPage"
    signal navigate(string key)

    readonly property var entries: DesktopPush ? DesktopPush.inbox : []

    function entered() {
        DesktopPush.refreshInbox()
    }

    function formatDate(date) {
        if (!date || isNaN(date.getTime()))
            return ""
        return date.toLocaleDateString(Qt.locale(), Locale.ShortFormat)
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: Theme.unit * 4
        spacing: Theme.unit * 2

        RowLayout {
            Layout.fillWidth: true
            Label {
                text: qsTr("Inbox")
                font.pixelSize: Theme.fontTitle
                font.weight: Font.DemiBold
            }
            Label {
                objectName: "inboxUnread"
                text: DesktopPush && DesktopPush.unreadCount > 0 ? qsTr("%n unread", "", DesktopPush.unreadCount) : ""
                muted: true
                Layout.leftMargin: Theme.unit
            }
            Item { Layout.fillWidth: true }
            KButton {
                objectName: "markAllReadButton"
                kind: "ghost"
                iconName: "check"
                text: qsTr("Mark all read")
                enabled: DesktopPush && DesktopPush.unreadCount > 0
                onClicked: DesktopPush.markAllRead()
            }
        }

        Label {
            objectName: "inboxEmpty"
            visible: page.entries.length === 0
            text: qsTr("No notifications yet. News about your account and the service shows up here.")
            muted: true
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }

        B.ScrollView {
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            B.ScrollBar.horizontal.policy: B.ScrollBar.AlwaysOff

            ColumnLayout {
                width: parent.width
                spacing: Theme.unit

                Repeater {
                    model: page.entries
                    delegate: B.AbstractButton {
                        id: row
                        required property var modelData
                        objectName: "notification_" + modelData.id
                        Layout.fillWidth: true
                        padding: Theme.unit * 2
                        focusPolicy: Qt.StrongFocus
                        Accessible.role: Accessible.ListItem
                        Accessible.name: (modelData.read ? "" : qsTr("Unread: ")) + modelData.title
                        Keys.onReturnPressed: clicked()
                        Keys.onEnterPressed: clicked()
                        onClicked: DesktopPush.markRead(modelData.id)

                        background: Rectangle {
                            radius: Theme.radius
                            color: row.hovered ? Theme.surfaceHover : Theme.surface
                            border.width: row.visualFocus ? 2 : 1
                            border.color: row.visualFocus ? Theme.text : Theme.border
                        }
                        contentItem: RowLayout {
                            id: body
                            spacing: Theme.unit * 1.5
                            Rectangle {
                                objectName: "unreadDot"
                                visible: !row.modelData.read
                                width: 8; height: 8; radius: 4
                                color: Theme.accent
                                Layout.alignment: Qt.AlignTop
                                Layout.topMargin: 7
                            }
                            ColumnLayout {
                                spacing: 2
                                Layout.fillWidth: true
                                RowLayout {
                                    Layout.fillWidth: true
                                    Label {
                                        text: row.modelData.title
                                        font.weight: row.modelData.read ? Font.Normal : Font.DemiBold
                                        Layout.fillWidth: true
                                    }
                                    Label {
                                        text: page.formatDate(row.modelData.createdAt)
                                        muted: true
                                        font.pixelSize: Theme.fontSmall
                                    }
                                }
                                Label {
                                    text: row.modelData.body
                                    muted: true
                                    font.pixelSize: Theme.fontSmall
                                    wrapMode: Text.Wrap
                                    Layout.fillWidth: true
                                }
                                KButton {
                                    objectName: "openNotificationLink"
                                    visible: row.modelData.url !== ""
                                    kind: "ghost"
                                    leftPadding: 0
                                    implicitHeight: 30
                                    iconName: "external-link"
                                    text: qsTr("Read more")
                                    onClicked: DesktopPush.open(row.modelData.id)
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}
