import QtQuick
import QtQuick.Layouts
import "../singletons"
import "../components"

// How fast the connection is, measured only when asked: a gauge that follows
// the transfer live, then the download and upload results.
Item {
    id: page
    objectName: "speedtestPage"
    signal navigate(string key)

    readonly property var st: SpeedTest
    readonly property bool throughTunnel: ConnectionController ? ConnectionController.isConnected : false
    // Live while it runs; afterwards the download result stays on the gauge.
    readonly property real shownMbps: !st ? 0 : st.running ? st.currentMbps : st.phase === "done" ? st.downloadMbps : 0
    // The gauge reads on a logarithmic scale from 1 to 1000 Mbps.
    readonly property real gaugeShare: Math.min(1, Math.log(1 + shownMbps) / Math.log(1001))

    function formatMbps(value) {
        if (value <= 0)
            return "—"
        return (value < 10 ? value.toFixed(1) : Math.round(value)) + " Mbps"
    }

    function phaseText() {
        if (!st)
            return ""
        switch (st.phase) {
        case "download": return qsTr("Measuring download…")
        case "upload": return qsTr("Measuring upload…")
        case "done": return qsTr("Done")
        case "failed": return st.errorText
        default: return qsTr("Ready when you are")
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: Theme.unit * 4
        spacing: Theme.unit * 2

        RowLayout {
            spacing: Theme.unit
            IconButton {
                objectName: "speedTestBackButton"
                iconName: "chevron-left"
                name: qsTr("Back to support")
                onClicked: page.navigate("support")
            }
            Label {
                text: qsTr("Speed test")
                font.pixelSize: Theme.fontTitle
                font.weight: Font.DemiBold
            }
        }
        Label {
            objectName: "speedTestRoute"
            text: page.throughTunnel ? qsTr("Measured through the VPN, to Kelvra's servers.")
                                     : qsTr("The VPN is off: this measures your connection without it.")
            muted: true
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }

        Item {
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: Theme.unit * 2
            implicitWidth: 240
            implicitHeight: 240
            Arc {
                anchors.fill: parent
                lineWidth: 14
                color: Theme.surfaceRaised
                sweep: 360
            }
            Arc {
                objectName: "speedGauge"
                anchors.fill: parent
                lineWidth: 14
                color: page.st && page.st.phase === "upload" ? Theme.protectedColor : Theme.working
                sweep: Math.max(0.5, page.gaugeShare * 360)
                visible: page.shownMbps > 0
            }
            Column {
                anchors.centerIn: parent
                spacing: 2
                Label {
                    objectName: "speedValue"
                    anchors.horizontalCenter: parent.horizontalCenter
                    text: page.shownMbps <= 0 ? "—"
                          : page.shownMbps < 10 ? page.shownMbps.toFixed(1) : Math.round(page.shownMbps)
                    font.pixelSize: 40
                    font.weight: Font.DemiBold
                }
                Label {
                    anchors.horizontalCenter: parent.horizontalCenter
                    text: "Mbps"
                    muted: true
                }
            }
        }

        Label {
            objectName: "speedPhase"
            Layout.alignment: Qt.AlignHCenter
            text: page.phaseText()
            color: page.st && page.st.phase === "failed" ? Theme.error : Theme.textMuted
        }

        RowLayout {
            Layout.alignment: Qt.AlignHCenter
            spacing: Theme.unit * 6
            Repeater {
                model: [
                    { key: "download", title: qsTr("Download"), icon: "download" },
                    { key: "upload", title: qsTr("Upload"), icon: "upload" }
                ]
                delegate: ColumnLayout {
                    required property var modelData
                    spacing: 2
                    RowLayout {
                        spacing: Theme.unit / 2
                        Layout.alignment: Qt.AlignHCenter
                        Icon { icon: modelData.icon; size: 16; color: Theme.textMuted }
                        Label { text: modelData.title; muted: true; font.pixelSize: Theme.fontSmall }
                    }
                    Label {
                        objectName: modelData.key + "Result"
                        Layout.alignment: Qt.AlignHCenter
                        text: page.formatMbps(modelData.key === "download" ? page.st.downloadMbps : page.st.uploadMbps)
                        font.pixelSize: Theme.fontTitle
                        font.weight: Font.DemiBold
                    }
                }
            }
        }

        KButton {
            objectName: "startSpeedTestButton"
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: Theme.unit
            kind: page.st && page.st.running ? "secondary" : "primary"
            iconName: page.st && page.st.running ? "x" : "gauge"
            text: !page.st ? "" : page.st.running ? qsTr("Stop") : page.st.phase === "idle" ? qsTr("Start test") : qsTr("Test again")
            onClicked: page.st.running ? page.st.cancel() : page.st.start()
        }
        Item { Layout.fillHeight: true }
    }
}
