import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"
import "../components"

// Sign-in with an e-mailed code: the address, then the six digits. The step
// lives here; the code authenticator only sends and answers.
Item {
    id: page
    objectName: "signInPage"

    property string step: "email"          // "email", then "code"
    property string address: ""
    property string emailError: ""
    property string codeError: ""
    property bool sending: false
    property int resendSeconds: 0
    // The browser was sent to a provider's page; the answer comes back by link.
    property string browserProvider: ""

    readonly property var emailPattern: /^[a-zA-Z0-9._%+-]+@[a-zA-Z0-9.-]+\.[a-zA-Z]{2,}$/

    function sendCode() {
        const typed = emailField.text.trim()
        if (!emailPattern.test(typed)) {
            emailError = qsTr("Invalid Email. Please enter a valid email")
            return
        }
        emailError = ""
        address = typed
        sending = true
        sendingTimeout.restart()
        CodeAuthenticator.getCode(typed)
    }

    function signInWithBrowser(provider) {
        browserProvider = provider
        ThirdPartyAuth.start(provider)
    }

    function resend() {
        if (resendSeconds > 0)
            return
        codeError = ""
        sending = true
        sendingTimeout.restart()
        CodeAuthenticator.getCode(address)
        resendSeconds = 30
        countdown.restart()
    }

    // Spaces and dashes a mail or a paste may carry don't count.
    function digitsOf(text) {
        return text.replace(/[\s-]/g, "")
    }

    function submitCode() {
        const digits = digitsOf(codeInput.text)
        if (!/^[0-9]{6}$/.test(digits))
            return
        codeError = ""
        sending = true
        sendingTimeout.restart()
        CodeAuthenticator.authenticate({ "email": address, "code": digits })
    }

    function backToEmail() {
        step = "email"
        codeInput.text = ""
        codeError = ""
        countdown.stop()
        resendSeconds = 0
        emailField.forceActiveFocus()
    }

    Component.onCompleted: emailField.forceActiveFocus()

    // A request that never got an answer says nothing; the button comes back.
    Timer {
        id: sendingTimeout
        interval: 15000
        onTriggered: page.sending = false
    }
    Timer {
        id: countdown
        interval: 1000
        repeat: true
        onTriggered: {
            page.resendSeconds = Math.max(0, page.resendSeconds - 1)
            if (page.resendSeconds === 0)
                stop()
        }
    }

    Connections {
        target: CodeAuthenticator
        function onCodeSent() {
            page.sending = false
            if (page.step !== "code") {
                page.step = "code"
                page.resendSeconds = 30
                countdown.restart()
                codeInput.text = ""
                codeInput.forceActiveFocus()
            }
        }
        function onAuthenticationFailed(message) {
            page.sending = false
            if (page.step === "email") {
                page.emailError = message
            } else {
                page.codeError = message !== "" ? message
                               : qsTr("That code isn't right. Please check it and try again.")
                codeInput.text = ""
                codeInput.forceActiveFocus()
            }
        }
        function onTokenReady() {
            page.sending = false
            if (page.step === "code")
                Session.signIn(page.address, "code")
        }
    }

    Rectangle {
        anchors.centerIn: parent
        width: Math.min(420, parent.width - Theme.unit * 6)
        height: column.implicitHeight + Theme.unit * 8
        radius: Theme.radius
        color: Theme.surface
        border.color: Theme.border

        ColumnLayout {
            id: column
            anchors.fill: parent
            anchors.margins: Theme.unit * 4
            spacing: Theme.unit * 2

            Image {
                source: "qrc:/ui/icons/icon.svg"
                sourceSize: Qt.size(48, 48)
                Layout.alignment: Qt.AlignHCenter
            }
            Label {
                text: page.step === "email" ? qsTr("Sign in to Kelvra") : qsTr("Check your e-mail")
                font.pixelSize: Theme.fontTitle
                font.weight: Font.DemiBold
                Layout.alignment: Qt.AlignHCenter
            }
            Label {
                objectName: "signInHint"
                text: page.step === "email"
                      ? qsTr("Enter your e-mail address and we'll send you a 6-digit code. New here? Your account is made when you confirm the code.")
                      : qsTr("We've sent a 6-digit code to ") + page.address
                muted: true
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
                Layout.fillWidth: true
            }

            // The e-mail step.
            ColumnLayout {
                visible: page.step === "email"
                spacing: Theme.unit
                Layout.fillWidth: true

                B.TextField {
                    id: emailField
                    objectName: "emailField"
                    Layout.fillWidth: true
                    implicitHeight: 44
                    maximumLength: 50
                    placeholderText: qsTr("you@example.com")
                    inputMethodHints: Qt.ImhEmailCharactersOnly | Qt.ImhNoAutoUppercase
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontBody
                    color: Theme.text
                    placeholderTextColor: Theme.textMuted
                    selectByMouse: true
                    leftPadding: Theme.unit * 1.5
                    Accessible.name: qsTr("E-mail address")
                    background: Rectangle {
                        radius: Theme.radiusSmall
                        color: Theme.surfaceRaised
                        border.width: emailField.activeFocus ? 2 : 1
                        border.color: page.emailError !== "" ? Theme.error
                                    : emailField.activeFocus ? Theme.accent : Theme.border
                    }
                    // Once an error shows, it follows the typing.
                    onTextChanged: if (page.emailError !== "" && page.emailPattern.test(text.trim())) page.emailError = ""
                    onAccepted: page.sendCode()
                }
                Label {
                    objectName: "emailError"
                    visible: text !== ""
                    text: page.emailError
                    color: Theme.error
                    font.pixelSize: Theme.fontSmall
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
                KButton {
                    objectName: "sendCodeButton"
                    text: page.sending ? qsTr("Sending…") : qsTr("Send code")
                    enabled: !page.sending
                    Layout.fillWidth: true
                    onClicked: page.sendCode()
                }

                // Single sign-on in the browser.
                RowLayout {
                    Layout.fillWidth: true
                    Layout.topMargin: Theme.unit
                    spacing: Theme.unit * 1.5
                    Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: Theme.border }
                    Label { text: qsTr("or"); muted: true; font.pixelSize: Theme.fontSmall }
                    Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: Theme.border }
                }
                RowLayout {
                    Layout.fillWidth: true
                    spacing: Theme.unit
                    KButton {
                        objectName: "googleButton"
                        kind: "secondary"
                        text: "Google"
                        Accessible.name: qsTr("Sign in with Google")
                        Layout.fillWidth: true
                        onClicked: page.signInWithBrowser("GOOGLE")
                    }
                    KButton {
                        objectName: "appleButton"
                        kind: "secondary"
                        text: "Apple"
                        Accessible.name: qsTr("Sign in with Apple")
                        Layout.fillWidth: true
                        onClicked: page.signInWithBrowser("APPLE")
                    }
                }
                Label {
                    objectName: "browserNote"
                    visible: page.browserProvider !== ""
                    text: qsTr("Finish signing in with %1 in your browser; Kelvra continues on its own when you're done.")
                          .arg(page.browserProvider === "GOOGLE" ? "Google" : "Apple")
                    muted: true
                    font.pixelSize: Theme.fontSmall
                    wrapMode: Text.Wrap
                    horizontalAlignment: Text.AlignHCenter
                    Layout.fillWidth: true
                }
            }

            // The code step.
            ColumnLayout {
                visible: page.step === "code"
                spacing: Theme.unit * 1.5
                Layout.fillWidth: true

                Item {
                    Layout.fillWidth: true
                    implicitHeight: 52

                    // One field takes the typing and pastes; the boxes show it.
                    TextInput {
                        id: codeInput
                        objectName: "codeInput"
                        anchors.fill: parent
                        opacity: 0
                        maximumLength: 16
                        validator: RegularExpressionValidator { regularExpression: /[0-9 -]*/ }
                        inputMethodHints: Qt.ImhDigitsOnly
                        activeFocusOnTab: true
                        Accessible.role: Accessible.EditableText
                        Accessible.name: qsTr("Six-digit code")
                        onTextChanged: {
                            const digits = page.digitsOf(text)
                            if (digits.length > 6) {
                                text = digits.substring(0, 6)
                                return
                            }
                            if (digits.length === 6 && !page.sending)
                                page.submitCode()
                        }
                        onAccepted: page.submitCode()
                    }
                    Row {
                        anchors.centerIn: parent
                        spacing: Theme.unit
                        Repeater {
                            model: 6
                            delegate: Rectangle {
                                required property int index
                                readonly property string digits: page.digitsOf(codeInput.text)
                                readonly property bool isNext: codeInput.activeFocus && index === Math.min(digits.length, 5)
                                objectName: "codeBox" + index
                                width: 46
                                height: 52
                                radius: Theme.radiusSmall
                                color: Theme.surfaceRaised
                                border.width: isNext ? 2 : 1
                                border.color: page.codeError !== "" ? Theme.error : isNext ? Theme.accent : Theme.border
                                Label {
                                    anchors.centerIn: parent
                                    text: parent.digits.charAt(parent.index)
                                    font.pixelSize: 22
                                    font.weight: Font.DemiBold
                                }
                            }
                        }
                    }
                    MouseArea {
                        anchors.fill: parent
                        onClicked: codeInput.forceActiveFocus()
                    }
                }
                Label {
                    objectName: "codeError"
                    visible: text !== ""
                    text: page.codeError
                    color: Theme.error
                    font.pixelSize: Theme.fontSmall
                    wrapMode: Text.Wrap
                    horizontalAlignment: Text.AlignHCenter
                    Layout.fillWidth: true
                }
                KButton {
                    objectName: "signInButton"
                    text: page.sending ? qsTr("Signing in…") : qsTr("Sign in")
                    enabled: !page.sending && page.digitsOf(codeInput.text).length === 6
                    Layout.fillWidth: true
                    onClicked: page.submitCode()
                }
                RowLayout {
                    Layout.fillWidth: true
                    KButton {
                        objectName: "changeEmailButton"
                        kind: "ghost"
                        text: qsTr("Use another e-mail")
                        onClicked: page.backToEmail()
                    }
                    Item { Layout.fillWidth: true }
                    KButton {
                        objectName: "resendButton"
                        kind: "ghost"
                        enabled: page.resendSeconds === 0 && !page.sending
                        text: page.resendSeconds > 0 ? qsTr("Resend code in %1 s").arg(page.resendSeconds)
                                                     : qsTr("Resend code")
                        onClicked: page.resend()
                    }
                }
            }
        }
    }
}
