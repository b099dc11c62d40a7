import QtQuick
import QtQuick.Controls.Basic as B
import QtQuick.Layouts
import com.qt.kelvra 1.0
import "../singletons"

// The update offer on the home page: a strip with the offer and its button,
// which turns into the download's progress; a required update is a modal
// card instead, with the connect options off. Also says once that the app
// was just updated.
ColumnLayout {
    id: notice
    objectName: "updateNotice"
    spacing: Theme.unit

    readonly property var updater: typeof Updater !== "undefined" ? Updater : null
    property string downloadUrl: ""
    property string updateType: ""
    property string installerUrl: ""
    property string sha256: ""
    property bool offered: false
    property bool dismissed: false
    property string failure: ""
    property string info: ""
    property string updatedTo: ""
    property bool recheckAsked: false
    readonly property bool mandatory: updateType === "mandatory"
    readonly property bool downloading: updater ? updater.busy : false

    function check() {
        CoreController.checkUpdates()
    }

    function install() {
        failure = ""
        info = ""
        if (installerUrl !== "" && sha256 !== "") {
            updater.start(installerUrl, sha256, updateType)
        } else if (downloadUrl === "") {
            recheckAsked = true
            CoreController.checkUpdates()
        } else {
            CoreController.update(downloadUrl, updateType)
            if (mandatory)
                Qt.quit()
        }
    }

    Component.onCompleted: {
        if (updater)
            updatedTo = updater.justUpdatedTo()
    }

    Connections {
        target: CoreController
        function onUpdateAvailable(downloadUrl, updateType, installerUrl, sha256) {
            notice.recheckAsked = false
            if (downloadUrl === "" && installerUrl === "")
                return
            notice.downloadUrl = downloadUrl
            notice.updateType = updateType
            notice.installerUrl = installerUrl
            notice.sha256 = sha256
            notice.offered = true
            if (notice.mandatory)
                CoreController.disableConnectOptions()
        }
        function onNoUpdateAvailable() {
            notice.offered = false
            if (notice.recheckAsked)
                notice.info = qsTr("There is no update to install right now.")
            notice.recheckAsked = false
        }
    }
    Connections {
        target: notice.updater
        function onInstalling() {
            const cc = ConnectionController
            if (cc && (cc.isConnected || cc.isConnectionInProgress)) {
                notice.updater.setReconnectAfterUpdate(true)
                cc.closeConnection("update")
            }
        }
        function onFailed(message) {
            if (notice.updater.takeReconnectAfterUpdate() && ConnectionController)
                ConnectionController.openConnection()
            notice.failure = message
        }
    }

    Banner {
        objectName: "updatedBanner"
        Layout.fillWidth: true
        visible: notice.updatedTo !== ""
        iconName: "check"
        tint: Theme.protectedColor
        text: qsTr("Kelvra was updated to %1.").arg(notice.updatedTo)
        onDismissed: notice.updatedTo = ""
    }
    Banner {
        objectName: "updateFailedBanner"
        Layout.fillWidth: true
        visible: notice.failure !== "" || notice.info !== ""
        iconName: "triangle-alert"
        tint: notice.failure !== "" ? Theme.error : Theme.working
        text: notice.failure !== "" ? qsTr("Update failed") + " — " + notice.failure : notice.info
        onDismissed: { notice.failure = ""; notice.info = "" }
    }

    // The ordinary offer: a strip that can wait.
    Rectangle {
        objectName: "updateStrip"
        Layout.fillWidth: true
        visible: notice.offered && !notice.mandatory && !notice.dismissed
        implicitHeight: stripRow.implicitHeight + Theme.unit * 2
        radius: Theme.radiusSmall
        color: Qt.rgba(Theme.working.r, Theme.working.g, Theme.working.b, Theme.dark ? 0.16 : 0.12)
        border.color: Qt.rgba(Theme.working.r, Theme.working.g, Theme.working.b, 0.45)
        RowLayout {
            id: stripRow
            anchors.fill: parent
            anchors.leftMargin: Theme.unit * 1.5
            anchors.rightMargin: Theme.unit
            spacing: Theme.unit
            Icon { icon: "arrow-down"; color: Theme.working; size: 18 }
            UpdateProgress {
                Layout.fillWidth: true
                title: qsTr("Update available")
                downloading: notice.downloading
                progress: notice.updater ? notice.updater.progress : 0
            }
            KButton {
                objectName: "updateButton"
                visible: !notice.downloading
                text: qsTr("Update")
                implicitHeight: 32
                onClicked: notice.install()
            }
            KButton {
                objectName: "notNowButton"
                visible: !notice.downloading
                kind: "ghost"
                text: qsTr("Not now")
                implicitHeight: 32
                onClicked: notice.dismissed = true
            }
            KButton {
                objectName: "cancelUpdateButton"
                visible: notice.downloading
                kind: "ghost"
                text: qsTr("Cancel")
                implicitHeight: 32
                onClicked: notice.updater.cancel()
            }
        }
    }

    // A required update: nothing else until it is installed.
    B.Popup {
        objectName: "requiredUpdate"
        // Over the whole window: nothing else can be pressed until it is done.
        parent: notice.Window.contentItem
        visible: notice.offered && notice.mandatory
        modal: true
        closePolicy: B.Popup.NoAutoClose
        x: parent ? Math.round((parent.width - width) / 2) : 0
        y: parent ? Math.round((parent.height - height) / 2) : 0
        width: 420
        padding: Theme.unit * 3
        background: Rectangle {
            radius: Theme.radius
            color: Theme.surface
            border.color: Theme.border
        }
        contentItem: ColumnLayout {
            spacing: Theme.unit * 2
            Icon { icon: "arrow-down"; color: Theme.working; size: 28 }
            UpdateProgress {
                Layout.fillWidth: true
                title: qsTr("Update required")
                detail: qsTr("This version of Kelvra can no longer connect. Install the update to continue.")
                downloading: notice.downloading
                progress: notice.updater ? notice.updater.progress : 0
            }
            KButton {
                objectName: "requiredUpdateButton"
                Layout.alignment: Qt.AlignRight
                enabled: !notice.downloading
                text: qsTr("Update")
                onClicked: notice.install()
            }
        }
    }
}
