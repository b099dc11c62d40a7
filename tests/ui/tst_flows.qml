import QtQuick
import QtTest
import com.qt.kelvra 1.0

// A person's way through the client against both stand-ins: sign in with the
// mailed code, see the location, connect, switch location and protocol,
// disconnect, sign out. Each step checks the text on the screen.
TestCase {
    id: testCase
    name: "Flows"

    property var window: null
    readonly property string email: "flows@example.com"
    readonly property int tunnelMs: 60000

    function initTestCase() {
        const component = Qt.createComponent("qrc:/ui/qml/Main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = component.createObject(null)
        window.show()
        tryCompare(window, "visible", true, 5000)
    }

    function cleanupTestCase() {
        if (window)
            window.destroy()
    }

    // The first item of that name on screen (pages that are built but hidden
    // don't count), or null.
    function find(name, from) {
        const root = from || window.contentItem
        const stack = [root]
        while (stack.length > 0) {
            const item = stack.shift()
            if (item.objectName === name && item.visible)
                return item
            for (let i = 0; i < item.children.length; ++i)
                stack.push(item.children[i])
        }
        return null
    }

    function waitFor(name, timeout) {
        tryVerify(() => find(name) !== null, timeout || 10000, "nothing named " + name + " appeared")
        return find(name)
    }

    function textOf(name) {
        const item = find(name)
        return item ? item.text : undefined
    }

    function press(name) {
        // Lists and layouts place (and sometimes rebuild) their rows over the
        // next frames: click the item once it has come to rest for a few
        // frames, as a person would.
        let item = null
        let last = ""
        let still = 0
        tryVerify(() => {
            item = find(name)
            if (!item || !item.enabled) {
                still = 0
                return false
            }
            const point = item.mapToItem(null, 0, 0)
            const now = point.x + "," + point.y + "," + item.width + "," + item.height
            still = now === last ? still + 1 : 0
            last = now
            return still >= 2
        }, 10000, name + " never came to rest, enabled")
        mouseClick(item)
    }

    function open(page) {
        press("nav_" + page)
        waitFor(page + "Page", 10000)
        wait(250)   // the cross-fade
    }

    function test_1_signInRefusesAndAccepts() {
        waitFor("signInPage", 10000)
        const field = find("emailField")

        field.text = "not-an-address"
        press("sendCodeButton")
        compare(textOf("emailError"), "Invalid Email. Please enter a valid email")

        field.text = email
        compare(find("emailError"), null, "a valid address clears the error as it is typed")
        press("sendCodeButton")
        tryCompare(find("signInHint"), "text", "We've sent a 6-digit code to " + email, 10000)
        verify(textOf("resendButton").startsWith("Resend code in "), textOf("resendButton"))

        const code = StandInBackend.lastCodeFor(email)
        verify(/^[0-9]{6}$/.test(code), "the stand-in mailed " + code)
        const input = find("codeInput")
        input.text = code === "000000" ? "111111" : "000000"
        tryVerify(() => textOf("codeError") === "That code isn't valid or has expired. Request a new one.", 10000,
                  "the code error did not show")
        compare(input.text, "", "a refused code clears the boxes")

        // A pasted code with a space in it counts as its six digits.
        input.text = code.substring(0, 3) + " " + code.substring(3)
        waitFor("homePage", 15000)
        compare(find("signInPage"), null)
    }

    function test_2_homeShowsTheLocation() {
        tryVerify(() => textOf("locationName") === "Frankfurt", 15000,
                  "the home page shows no Frankfurt")
        compare(textOf("locationDetail"), "Germany")
        compare(textOf("stateText"), "Not Connected")
        compare(textOf("protocolName"), "Optimal")
    }

    function test_3_connects() {
        press("connectRing")
        tryVerify(() => textOf("stateText") === "Connected", tunnelMs, "the state did not change in time")
        compare(textOf("titleStatus"), "Connected")
        tryVerify(() => textOf("stateDetail").startsWith("Protected for 00:00:"), 5000, "no elapsed time is shown")
        verify(!find("errorCard"))
    }

    function test_4_switchesLocation() {
        open("locations")
        press("tab_HighSpeed")
        press("location_UnitedKingdom")
        press("server_London")
        waitFor("homePage")
        tryVerify(() => textOf("locationName") === "London", 15000, "the location did not change to London")
        tryVerify(() => textOf("stateText") === "Connected", tunnelMs, "the state did not change in time")
        compare(textOf("locationDetail"), "United Kingdom")
    }

    function test_5_protocolAsksToDisconnectFirst() {
        open("protocol")
        press("protocol_2")
        press("dialogAccept")
        tryVerify(() => MProtocols.selectedProtocol === 2, 5000)
        open("home")
        compare(textOf("protocolName"), "WireGuard")
        tryVerify(() => textOf("stateText") === "Not Connected", tunnelMs, "the state did not change in time")

        // A location without the chosen protocol is refused with the reason.
        open("protocol")
        press("protocol_3")
        tryVerify(() => MProtocols.selectedProtocol === 3, 5000)
        open("locations")
        press("tab_Free")
        press("location_Netherlands")
        open("home")
        compare(textOf("errorText"),
                "AmneziaWG isn't offered on Amsterdam Free. Pick a server that offers it, or choose another protocol.")
        press("dismissErrorButton")
        tryVerify(() => find("errorCard") === null, 5000)
        compare(textOf("locationName"), "London")

        open("protocol")
        press("protocol_0")
        tryVerify(() => MProtocols.selectedProtocol === 0, 5000)
    }

    function test_6_connectsAgainAndDisconnects() {
        open("home")
        press("connectRing")
        tryVerify(() => textOf("stateText") === "Connected", tunnelMs, "the state did not change in time")
        press("connectRing")
        tryVerify(() => textOf("stateText") === "Not Connected", tunnelMs, "the state did not change in time")
        compare(textOf("stateDetail"), "Your traffic is not protected")
    }

    function test_7_accountShowsThisDeviceAndSignsOut() {
        open("account")
        compare(textOf("accountEmail"), email)
        compare(textOf("accountMethod"), "E-mail code")
        tryVerify(() => find("removeDeviceButton") === null && MDevices.count > 0, 10000,
                  "this device is listed and can't be removed from itself")
        press("signOutButton")
        press("dialogAccept")
        waitFor("signInPage", 10000)
        compare(find("shell"), null)
        compare(textOf("titleStatus"), "")
    }

    // Every control of the sign-in and home pages is on the Tab chain.
    function test_8_keyboardReachesEveryControl() {
        const field = waitFor("emailField")
        field.forceActiveFocus()
        const chain = []
        let item = field
        for (let i = 0; i < 20; ++i) {
            chain.push(item.objectName)
            item = item.nextItemInFocusChain(true)
            if (!item || item === field)
                break
        }
        verify(chain.indexOf("sendCodeButton") >= 0, chain.join(", "))
    }
}
