import QtQuick
import QtQuick.Window
import QtQuick.Layouts
import com.qt.kelvra 1.0
import "singletons"
import "components"

Window {
    id: mainWindow
    objectName: "mainWindow"
    title: "Kelvra"
    width: AppManager.windowWidth
    height: AppManager.windowHeight
    minimumWidth: AppManager.windowWidth
    minimumHeight: AppManager.windowHeight
    // The window's own colour is the title bar's and the rail's: the first
    // frame draws nothing else but the title, so it costs what an empty window
    // costs; the body's colour comes with its content.
    color: Theme.rail
    visible: false
    // Windows gets the title bar drawn here; elsewhere the window manager's
    // frame stays, as its users expect.
    readonly property bool frameless: Qt.platform.os === "windows"
    flags: frameless ? (Qt.Window | Qt.FramelessWindowHint) : Qt.Window

    // The pages are built once the window's first frame is out: the window
    // appears at once, and its content a moment later.
    property bool firstFrameShown: false
    onFrameSwapped: if (!firstFrameShown) firstFrameShown = true

    // The close button puts the window into the tray when one is shown,
    // else minimises it; quitting is the tray's job.
    onClosing: function(close) {
        close.accepted = false
        AppManager.closeMainWindow()
    }

    Connections {
        target: AppManager
        function onRaiseRequested() {
            mainWindow.show()
            mainWindow.raise()
            mainWindow.requestActivate()
        }
        function onHideMainWindow() {
            mainWindow.hide()
        }
        function onAutoLogin(userEmail) {
            Session.signIn(userEmail, "")
        }
    }
    Connections {
        target: LogoutManager
        function onLogout() { Session.signOut() }
    }
    // Sign-ins by link or browser hand-back wait for the person's answer,
    // whichever page is shown; the dialog exists only while it asks.
    Component {
        id: linkDialogComponent
        LinkSignInDialog {}
    }
    property var linkDialog: null
    function showLinkDialog() {
        if (!linkDialog) {
            linkDialog = linkDialogComponent.createObject(pageArea)
            linkDialog.finished.connect(() => {
                const done = linkDialog
                linkDialog = null
                done.destroy()
            })
        }
        return linkDialog
    }
    Connections {
        target: ThirdPartyAuth
        function onConfirmSignInRequested(linkEmail) { mainWindow.showLinkDialog().ask("signIn", linkEmail) }
        function onConfirmSwitchRequested(linkEmail, currentEmail) { mainWindow.showLinkDialog().ask("switch", linkEmail) }
        function onLoginLinkFailed(message) { mainWindow.showLinkDialog().fail(message) }
        // Signed in through the browser or by link: the home page, with the way in.
        function onAuthenticated(userEmail, method) { Session.signIn(userEmail, method) }
    }
    Connections {
        target: UserManager
        function onStateChanged(state) {
            if (state !== 0)
                Session.signOut()
        }
    }
    // Every way the current server changes ends in one of these; pages read
    // the result from Session whenever they load.
    Connections {
        target: MServers
        function onDefaultServer(serverName, serverFlag, serverId, serverCity) {
            const details = MServers.serverDetails(serverId)
            Session.serverId = serverId
            Session.serverName = serverName
            Session.serverCity = serverCity
            Session.serverFlag = serverFlag
            Session.serverCountry = details.country || ""
            Session.switchTarget = ""
        }
    }
    Connections {
        target: ConnectionController
        function onConnectionStateChanged() {
            if (!ConnectionController.isConnectionInProgress)
                Session.switchTarget = ""
        }
    }

    readonly property string stateText: ConnectionController ? ConnectionController.connectionStateText : ""
    readonly property color stateColor: !ConnectionController ? Theme.textMuted
        : ConnectionController.isConnected ? Theme.protectedColor
        : ConnectionController.isConnectionInProgress ? Theme.working : Theme.unprotectedColor

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        TitleBar {
            Layout.fillWidth: true
            window: mainWindow
            frameless: mainWindow.frameless
            status: Session.signedIn ? mainWindow.stateText : ""
            statusColor: mainWindow.stateColor
        }

        Rectangle {
            id: pageArea
            Layout.fillWidth: true
            Layout.fillHeight: true
            color: Theme.background
            visible: mainWindow.firstFrameShown

            // Until the stored session has been tried, neither page is right;
            // a sign-in that takes a moment shows that it is under way.
            Loader {
                objectName: "startingView"
                anchors.fill: parent
                active: false
                readonly property bool waiting: !Session.signedIn && CoreController && !CoreController.signInSettled
                Timer {
                    interval: 400
                    running: parent.waiting
                    onTriggered: parent.active = Qt.binding(() => parent.waiting)
                }
                sourceComponent: Item {
                    Column {
                        anchors.centerIn: parent
                        spacing: Theme.unit * 2
                        Spinner { anchors.horizontalCenter: parent.horizontalCenter }
                        Label {
                            anchors.horizontalCenter: parent.horizontalCenter
                            text: qsTr("Signing you in…")
                            muted: true
                        }
                    }
                }
            }

            Loader {
                id: signInLoader
                anchors.fill: parent
                active: mainWindow.firstFrameShown && !Session.signedIn && CoreController && CoreController.signInSettled
                source: "pages/SignInPage.qml"
                // The window's first frame doesn't wait for the page.
                asynchronous: true
            }

            Loader {
                id: shellLoader
                anchors.fill: parent
                active: mainWindow.firstFrameShown && Session.signedIn
                source: "pages/Shell.qml"
                asynchronous: true
            }
        }
    }
}
