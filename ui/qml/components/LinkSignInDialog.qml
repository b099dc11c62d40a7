import QtQuick
import QtQuick.Layouts
import QtQuick.Window
import QtQuick.Controls.Basic as B
import "../singletons"

// The person's answer to a sign-in that came by link (or a browser hand-back
// the client didn't ask for): nothing is signed in before a yes. A switch
// signs the current account out first. Any way of closing it but the yes
// gives the held sign-in up; a failed link says why.
B.Popup {
    id: dialog

    property string mode: ""          // "signIn", "switch" or "failed"
    property string linkEmail: ""
    property string failure: ""
    property bool answered: false
    property bool switching: false

    modal: true
    focus: true
    // Centred on whatever it is given as parent.
    x: parent ? Math.round((parent.width - width) / 2) : 0
    y: parent ? Math.round((parent.height - height) / 2) : 0
    width: Math.min(420, parent ? parent.width - Theme.unit * 6 : 420)
    padding: Theme.unit * 3
    closePolicy: B.Popup.CloseOnEscape | B.Popup.CloseOnPressOutside
    // The question comes uninvited: typing goes on where it was once it has
    // been answered.
    property Item focusBefore: null
    onAboutToShow: if (!visible && parent) focusBefore = parent.Window.activeFocusItem
    onOpened: acceptButton.forceActiveFocus()
    onClosed: {
        if (mode !== "failed" && !answered && ThirdPartyAuth)
            ThirdPartyAuth.cancelHeldSignIn()
        if (focusBefore)
            focusBefore.forceActiveFocus()
        focusBefore = null
        if (!switching)
            finished()
    }

    // Made when a question comes and let go once it is answered (finished()).
    signal finished()

    function fail(message) {
        failure = message
        mode = "failed"
        answered = true
        open()
    }

    function ask(newMode, email) {
        mode = newMode
        linkEmail = email
        answered = false
        open()
    }

    function accept() {
        answered = true
        if (mode === "switch") {
            // The held sign-in is taken once the current account is out.
            switching = true
            LogoutManager.authenticate({})
        } else if (mode === "signIn") {
            ThirdPartyAuth.confirmHeldSignIn()
        }
        close()
    }

    Connections {
        target: LogoutManager
        function onLogout() {
            if (!dialog.switching)
                return
            dialog.switching = false
            // After every other answer to the sign-out (the window's own
            // sign-out among them), or they would undo the new sign-in.
            Qt.callLater(ThirdPartyAuth.confirmHeldSignIn)
            if (!dialog.visible)
                dialog.finished()
        }
    }

    background: Rectangle {
        color: Theme.surface
        radius: Theme.radius
        border.color: Theme.border
    }

    contentItem: ColumnLayout {
        // The popup itself is no item; tests find the dialog by its content.
        objectName: "linkSignInDialog"
        spacing: Theme.unit * 2
        Label {
            objectName: "linkSignInTitle"
            text: dialog.mode === "failed" ? qsTr("Couldn't sign in")
                : dialog.mode === "switch" ? qsTr("Switch to ") + dialog.linkEmail + "?"
                : qsTr("Sign in as ") + dialog.linkEmail + "?"
            font.pixelSize: Theme.fontTitle - 2
            font.weight: Font.DemiBold
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        Label {
            objectName: "linkSignInMessage"
            text: dialog.mode === "failed" ? dialog.failure
                : dialog.mode === "switch"
                  ? (ConnectionController && (ConnectionController.isConnected || ConnectionController.isConnectionInProgress)
                     ? qsTr("A sign-in link for another account was opened. Switching signs this account out on this computer and disconnects the VPN.")
                     : qsTr("A sign-in link for another account was opened. Switching signs this account out on this computer."))
                : qsTr("A sign-in link was opened. Continue only if you opened it yourself.")
            muted: true
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: Theme.unit
            KButton {
                objectName: "linkSignInReject"
                visible: dialog.mode !== "failed"
                kind: "secondary"
                text: dialog.mode === "switch" ? qsTr("Stay signed in") : qsTr("No, sign out")
                onClicked: dialog.close()
            }
            KButton {
                id: acceptButton
                objectName: "linkSignInAccept"
                text: dialog.mode === "failed" ? qsTr("OK") : qsTr("Yes, continue")
                onClicked: dialog.mode === "failed" ? dialog.close() : dialog.accept()
            }
        }
    }
}
