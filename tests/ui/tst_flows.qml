import QtQuick
import QtTest
import com.qt.kelvra 1.0
import "qrc:/ui/qml/singletons"

// A person's way through the client against both stand-ins: sign in with the
// mailed code, see the location, connect, switch location and protocol,
// disconnect, sign out. Each step checks the text on the screen.
TestCase {
    id: testCase
    name: "Flows"

    property var window: null
    readonly property string email: "flows@example.com"
    readonly property int tunnelMs: 60000

    // A page that reaches a name it can't see is broken, even when the rest
    // of the page still draws.
    function init() {
        failOnWarning(/ReferenceError|TypeError|is not a function|Cannot read property/)
    }

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
        // Shown on the next frame, which a busy machine may take a while to draw.
        tryVerify(() => textOf("emailError") === "Invalid Email. Please enter a valid email", 5000,
                  "the invalid address is refused")

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

        // The welcome cards, once: three steps, then never again.
        waitFor("onboardingPage")
        compare(textOf("onboardingTitle"), "Smart Connect finds the way")
        press("onboardingNext")
        compare(textOf("onboardingTitle"), "The kill switch")
        verify(find("onboardingKillSwitch"))
        press("onboardingNext")
        compare(textOf("onboardingTitle"), "Start with your computer")
        press("onboardingNext")
        tryVerify(() => find("onboardingPage") === null, 5000, "the welcome cards stay")

        // The backend's welcome message, once, in the corner; dismissed.
        const welcome = waitFor("message_welcome-1", 15000)
        compare(find("messageTitle", welcome).text, "Welcome to Kelvra")
        mouseClick(find("dismissMessage", welcome))
        tryVerify(() => find("message_welcome-1") === null, 5000, "the welcome message stays")
    }

    function test_2_homeShowsTheLocation() {
        tryVerify(() => textOf("locationName") === "Frankfurt", 15000,
                  "the home page shows no Frankfurt")
        compare(textOf("locationDetail"), "Germany")
        compare(textOf("stateText"), "Not Connected")
        compare(textOf("protocolName"), "Optimal")

        // Tab reaches the rail, the ring and the location card.
        const chain = focusChainOf(find("nav_home"))
        for (const name of ["nav_locations", "nav_protocol", "nav_account", "connectRing", "locationCard"])
            verify(chain.indexOf(name) >= 0, name + " is not on the Tab chain: " + chain.join(", "))
    }

    function focusChainOf(first) {
        const chain = []
        let item = first
        for (let i = 0; i < 40 && item; ++i) {
            chain.push(item.objectName)
            item = item.nextItemInFocusChain(true)
            if (item === first)
                break
        }
        return chain
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

        // Favourites: empty at first, then the starred location.
        open("locations")
        press("tab_Favorite")
        tryVerify(() => textOf("emptyText") === "Star a location to keep it here.", 5000, "no empty favourites text")
        press("tab_HighSpeed")
        const japan = waitFor("location_Japan")
        mouseClick(find("favoriteButton", japan))
        press("tab_Favorite")
        waitFor("location_Japan")
        compare(find("emptyText"), null)
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
        choose("protocol_3")
        open("locations")
        press("tab_Free")
        press("location_Netherlands")
        open("home")
        compare(textOf("errorText"),
                "AmneziaWG isn't offered on Amsterdam Free. Pick a server that offers it, or choose another protocol.")
        press("dismissErrorButton")
        tryVerify(() => find("errorCard") === null, 5000)
        compare(textOf("locationName"), "London")

        // A protocol the chosen server lacks can't be picked.
        choose("protocol_0")
        open("locations")
        press("tab_Free")
        press("location_Netherlands")
        waitFor("homePage")
        tryVerify(() => textOf("locationName") === "Amsterdam Free", 5000, "Amsterdam Free was not chosen")
        open("protocol")
        verify(find("notOffered", find("protocol_3")))
        press("protocol_3")
        wait(200)
        compare(MProtocols.selectedProtocol, 0)

        // A note from the connection (as when the catalogue moved to another
        // server for the protocol) shows as a strip until dismissed.
        open("home")
        ConnectionController.bannerNote("AmneziaWG isn't offered on your last server, so London is selected.")
        const note = waitFor("noteBanner")
        compare(find("bannerText", note).text, "AmneziaWG isn't offered on your last server, so London is selected.")
        mouseClick(find("dismissButton", note))
        tryVerify(() => find("noteBanner") === null, 5000, "the note stays")
    }

    function choose(protocolRow) {
        open("protocol")
        press(protocolRow)
        const type = Number(protocolRow.substring("protocol_".length))
        tryVerify(() => MProtocols.selectedProtocol === type, 5000)
    }

    function test_6_connectsAgainAndDisconnects() {
        open("home")
        press("connectRing")
        tryVerify(() => textOf("stateText") === "Connected", tunnelMs, "the state did not change in time")
        press("connectRing")
        tryVerify(() => textOf("stateText") === "Not Connected", tunnelMs, "the state did not change in time")
        compare(textOf("stateDetail"), "Your traffic is not protected")

        // The log can be read from the settings.
        open("settings")
        press("tab_app")
        press("viewLogButton")
        waitFor("logView")
        verify(find("logText"))
        press("logBackButton")
        tryVerify(() => find("logView") === null, 5000, "the log stays")
    }

    function test_6b_settingsTakeEffect() {
        open("settings")
        press("tab_connection")
        const killSwitch = waitFor("killSwitchToggle")
        const before = SettingsController.isKillSwitchEnabled()
        compare(killSwitch.on, before)
        press("killSwitchToggle")
        tryVerify(() => SettingsController.isKillSwitchEnabled() === !before, 5000, "the kill switch did not change")
        compare(killSwitch.on, !before)
        press("killSwitchToggle")
        tryVerify(() => SettingsController.isKillSwitchEnabled() === before, 5000, "the kill switch did not change back")

        // The bypass list: what is typed is checked and stored as a host.
        press("tab_privacy")
        const field = waitFor("bypassField")
        field.text = "not a site"
        press("addBypassButton")
        compare(textOf("bypassMessage"), "Enter a site like bank.com.")
        field.text = "https://WWW.Bank.com/login"
        press("addBypassButton")
        waitFor("site_bank.com")
        compare(field.text, "")
        compare(textOf("bypassCount"), "1 of 100 sites")
        compare(SettingsController.bypassSites(), ["bank.com"])
        mouseClick(find("removeButton", find("site_bank.com")))
        tryVerify(() => find("site_bank.com") === null, 5000, "the site stays")
        compare(textOf("bypassCount"), "0 of 100 sites")

        // The theme switches live.
        press("tab_app")
        press("darkThemeToggle")
        tryVerify(() => !Theme.dark, 5000, "the theme stays dark")
        press("darkThemeToggle")
        tryVerify(() => Theme.dark, 5000, "the theme stays light")
    }

    // The tray's connect and disconnect drive the same connection; its icon
    // follows the tunnel.
    function test_6c_trayConnectsAndDisconnects() {
        open("home")
        compare(textOf("stateText"), "Not Connected")
        verify(SystemTray.iconName.startsWith("disc_"), SystemTray.iconName)
        SystemTray.connectRequested()
        tryVerify(() => textOf("stateText") === "Connected", tunnelMs, "the tray did not connect")
        compare(SystemTray.iconName, "connected.svg")
        SystemTray.disconnectRequested()
        tryVerify(() => textOf("stateText") === "Not Connected", tunnelMs, "the tray did not disconnect")
        verify(SystemTray.iconName.startsWith("disc_"), SystemTray.iconName)
    }

    function badgeText(page) {
        const badge = find("badge_" + page)
        return badge ? find("badgeCount", badge).text : ""
    }

    function test_6c_inboxKeepsNotificationsAndReadMarks() {
        // The backend's two notifications came at sign-in: two unread.
        tryVerify(() => badgeText("inbox") === "2", 15000, "the rail shows no two unread")
        press("nav_inbox")
        // The inbox's own message asks for a moment first, once.
        tryVerify(() => textOf("messageDialogTitle") === "Your inbox", 15000, "the inbox message did not show")
        compare(textOf("messageDialogAction"), "Learn more")
        press("messageDialogClose")
        tryVerify(() => find("messageDialogTitle") === null, 5000, "the message stays")

        waitFor("inboxPage")
        waitFor("notification_n-101")
        compare(textOf("inboxUnread"), "2 unread")
        verify(find("unreadDot", find("notification_n-102")))
        press("notification_n-102")
        tryVerify(() => badgeText("inbox") === "1", 5000, "reading one leaves one unread")
        verify(!find("unreadDot", find("notification_n-102")))
        press("markAllReadButton")
        tryVerify(() => find("badge_inbox") === null, 5000, "the badge stays")
        compare(textOf("inboxUnread"), "")

        // Shown again, the message does not come back.
        open("home")
        open("inbox")
        wait(500)
        compare(find("messageDialogTitle"), null)
    }

    function test_6d_plansAsCards() {
        open("plans")
        const yearly = waitFor("plan_3", 15000)
        compare(find("planName", yearly).text, "Premium")
        compare(find("planPrice", yearly).text, "$59.88")
        compare(find("planPeriod", yearly).text, "per year")
        compare(find("planPerMonth", yearly).text, "$4.99 a month")
        compare(find("planPerMonth", find("plan_1")), null)
        compare(find("plansError"), null)
        // The plans page's tip, which may come again.
        const tip = waitFor("message_plans-tip", 15000)
        mouseClick(find("dismissMessage", tip))

        // An answer that is no answer: the cards stay, with a word on why.
        StandInBackend.setEngagementFault("user/subscription-plans", 2, -1)
        MPremium.fetchPlans()
        tryVerify(() => find("plansError") !== null, 10000, "no message for a broken answer")
        verify(find("plan_3"))
        StandInBackend.setEngagementFault("user/subscription-plans", 0, -1)
        MPremium.fetchPlans()
        tryVerify(() => find("plansError") === null, 10000, "the message stays after a good answer")
    }

    function test_6e_supportAndSpeedTest() {
        open("support")
        const summary = waitFor("diagnosticsText").text
        verify(summary.indexOf("Kelvra ") === 0, summary)
        verify(summary.indexOf(email) < 0, "the e-mail is in the summary")
        press("copyDiagnosticsButton")
        waitFor("copiedNote")

        // The sample notification also shows in the window.
        press("demoNotificationButton")
        const note = waitFor("message_local-1")
        compare(find("messageBody", note).text, "This is how Kelvra notifications look.")
        mouseClick(find("dismissMessage", note))

        press("openSpeedTestButton")
        waitFor("speedtestPage")
        verify(find("nav_support").selected, "the rail does not mark support")
        compare(textOf("speedTestRoute"), "The VPN is off: this measures your connection without it.")
        compare(textOf("startSpeedTestButton"), "Start test")
        press("startSpeedTestButton")
        tryVerify(() => textOf("speedPhase") === "Done", 40000, "the speed test did not finish: " + textOf("speedPhase"))
        verify(/Mbps$/.test(textOf("downloadResult")), textOf("downloadResult"))
        verify(/Mbps$/.test(textOf("uploadResult")), textOf("uploadResult"))
        compare(textOf("startSpeedTestButton"), "Test again")
        press("speedTestBackButton")
        waitFor("supportPage")
    }

    function test_7_accountRemovesADeviceAndSignsOut() {
        // The same account signed in on a second computer.
        StandInBackend.issueToken(email)
        open("account")
        compare(textOf("accountEmail"), email)
        compare(textOf("accountMethod"), "E-mail code")
        tryVerify(() => MDevices.count === 2, 10000, "both devices are not listed")
        press("removeDeviceButton")
        press("dialogAccept")
        tryVerify(() => MDevices.count === 1, 10000, "the other device stays")
        tryVerify(() => find("removeDeviceButton") === null, 5000,
                  "this device can't be removed from itself")
        press("signOutButton")
        press("dialogAccept")
        waitFor("signInPage", 10000)
        compare(find("shell"), null)
        compare(textOf("titleStatus"), "")
    }

    // Every control of the sign-in page is on the Tab chain (the home page's
    // are checked while signed in, in focusChainOf below).
    function test_8_keyboardReachesEveryControl() {
        const chain = focusChainOf(waitFor("emailField"))
        verify(chain.indexOf("sendCodeButton") >= 0, chain.join(", "))
    }

    // Signing in through the browser and by link, and the questions a link
    // asks before it changes the account.
    function test_9_browserAndLinkSignIn() {
        waitFor("signInPage", 10000)
        press("appleButton")
        tryVerify(() => (textOf("browserNote") || "").startsWith("Finish signing in with Apple in your browser"), 5000,
                  "no note about the browser")
        verify(TestBrowser.lastOpened().indexOf("/desktop-app/apple/login?platform=windows") > 0,
               TestBrowser.lastOpened())
        const handBack = TestBrowser.follow(TestBrowser.lastOpened())
        verify(handBack.startsWith("kelvra-fiddle://"), handBack)
        TestBrowser.deliver(handBack)
        waitFor("homePage", 15000)
        open("account")
        tryCompare(find("accountEmail"), "text", "sso@example.com", 5000)
        compare(textOf("accountMethod"), "Apple")

        // A link for another account asks first; staying keeps this one.
        TestBrowser.deliver("kelvra://login?code=" + StandInBackend.issueLinkCode("other@example.com"))
        waitFor("linkSignInDialog", 10000)
        compare(textOf("linkSignInTitle"), "Switch to other@example.com?")
        compare(textOf("linkSignInReject"), "Stay signed in")
        press("linkSignInReject")
        tryVerify(() => find("linkSignInDialog") === null, 5000, "the question stays")
        compare(textOf("accountEmail"), "sso@example.com")

        // A link the backend refuses says why.
        TestBrowser.deliver("kelvra://login?code=notacode")
        waitFor("linkSignInDialog", 10000)
        compare(textOf("linkSignInTitle"), "Couldn't sign in")
        compare(textOf("linkSignInMessage"), "This sign-in link isn't valid. Please try again.")
        press("linkSignInAccept")
        tryVerify(() => find("linkSignInDialog") === null, 5000, "the message stays")

        // Yes to a switch signs this account out, then the link's in.
        TestBrowser.deliver("kelvra://login?code=" + StandInBackend.issueLinkCode("link@example.com"))
        waitFor("linkSignInDialog", 10000)
        compare(textOf("linkSignInTitle"), "Switch to link@example.com?")
        press("linkSignInAccept")
        waitFor("homePage", 15000)
        open("account")
        tryCompare(find("accountEmail"), "text", "link@example.com", 10000)
        compare(textOf("accountMethod"), "Sign-in link")
    }
}
