import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"
import "../components"

// The plans on offer as cards: price, period, what each includes. Buying
// happens on the website, which the buttons open signed in.
Item {
    id: page
    objectName: "plansPage"
    signal navigate(string key)

    function entered() {
        MPremium.fetchPlans()
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
                text: qsTr("Plans")
                font.pixelSize: Theme.fontTitle
                font.weight: Font.DemiBold
            }
            Label {
                Layout.leftMargin: Theme.unit * 4
                Layout.rightMargin: Theme.unit * 4
                Layout.fillWidth: true
                text: UserManager.userSubscribtionName !== ""
                      ? qsTr("You're on %1. Every plan protects all your devices with the same servers.").arg(UserManager.userSubscribtionName)
                      : qsTr("Every plan protects your devices with the same servers and features.")
                muted: true
                wrapMode: Text.Wrap
            }

            Spinner {
                Layout.alignment: Qt.AlignHCenter
                Layout.topMargin: Theme.unit * 4
                visible: MPremium.loading && MPremium.count === 0
            }
            Banner {
                objectName: "plansError"
                Layout.fillWidth: true
                Layout.leftMargin: Theme.unit * 4
                Layout.rightMargin: Theme.unit * 4
                visible: MPremium.errorText !== ""
                text: MPremium.errorText
                tint: Theme.unprotectedColor
                iconName: "triangle-alert"
                dismissible: false
                actionText: qsTr("Try again")
                onAction: MPremium.fetchPlans()
            }

            GridLayout {
                Layout.fillWidth: true
                Layout.leftMargin: Theme.unit * 4
                Layout.rightMargin: Theme.unit * 4
                columns: Math.max(1, Math.min(3, Math.floor(width / 250)))
                columnSpacing: Theme.unit * 2
                rowSpacing: Theme.unit * 2

                Repeater {
                    model: MPremium
                    delegate: Rectangle {
                        id: card
                        required property string planId
                        required property string name
                        required property string priceText
                        required property string periodText
                        required property string perMonthText
                        required property int devices
                        required property string badge
                        required property var features
                        objectName: "plan_" + planId
                        Layout.fillWidth: true
                        Layout.fillHeight: true
                        Layout.alignment: Qt.AlignTop
                        implicitHeight: cardContent.implicitHeight + Theme.unit * 5
                        radius: Theme.radius
                        color: Theme.surface
                        border.width: badge !== "" ? 2 : 1
                        border.color: badge !== "" ? Theme.accent : Theme.border

                        ColumnLayout {
                            id: cardContent
                            anchors.left: parent.left
                            anchors.right: parent.right
                            anchors.top: parent.top
                            anchors.margins: Theme.unit * 2.5
                            spacing: Theme.unit

                            RowLayout {
                                Layout.fillWidth: true
                                Label {
                                    objectName: "planName"
                                    text: card.name
                                    font.weight: Font.DemiBold
                                    Layout.fillWidth: true
                                }
                                Rectangle {
                                    visible: card.badge !== ""
                                    implicitWidth: badgeLabel.implicitWidth + Theme.unit * 2
                                    implicitHeight: 22
                                    radius: 11
                                    color: Qt.rgba(Theme.accent.r, Theme.accent.g, Theme.accent.b, 0.18)
                                    Label {
                                        id: badgeLabel
                                        anchors.centerIn: parent
                                        text: card.badge
                                        font.pixelSize: 11
                                        color: Theme.accent
                                    }
                                }
                            }
                            RowLayout {
                                spacing: Theme.unit
                                Label {
                                    objectName: "planPrice"
                                    text: card.priceText
                                    font.pixelSize: Theme.fontDisplay
                                    font.weight: Font.DemiBold
                                }
                                Label {
                                    objectName: "planPeriod"
                                    text: card.periodText
                                    muted: true
                                    Layout.alignment: Qt.AlignBaseline
                                }
                            }
                            Label {
                                objectName: "planPerMonth"
                                text: card.perMonthText
                                visible: text !== ""
                                color: Theme.protectedColor
                                font.pixelSize: Theme.fontSmall
                            }
                            Repeater {
                                model: (card.devices > 0 ? [qsTr("Up to %n devices", "", card.devices)] : []).concat(card.features)
                                delegate: RowLayout {
                                    required property string modelData
                                    spacing: Theme.unit
                                    Layout.fillWidth: true
                                    Icon { icon: "check"; size: 16; color: Theme.protectedColor }
                                    Label {
                                        text: modelData
                                        font.pixelSize: Theme.fontSmall
                                        wrapMode: Text.Wrap
                                        Layout.fillWidth: true
                                    }
                                }
                            }
                            KButton {
                                objectName: "choosePlan_" + card.planId
                                Layout.topMargin: Theme.unit
                                kind: card.badge !== "" ? "primary" : "secondary"
                                text: qsTr("Choose %1").arg(card.name)
                                onClicked: MPremium.choosePlan(card.planId)
                            }
                        }
                    }
                }
            }

            KButton {
                objectName: "openPricingButton"
                Layout.leftMargin: Theme.unit * 4
                kind: "ghost"
                iconName: "external-link"
                text: qsTr("Compare plans on the website")
                onClicked: MPremium.openPricing()
            }
            Item { implicitHeight: Theme.unit * 3 }
        }
    }
}
