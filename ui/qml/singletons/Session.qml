pragma Singleton
import QtQuick
import Qt.labs.settings

// What every page needs to know about the person and the chosen server. The
// main window fills it from the core objects' signals, which may come before a
// page that shows it has loaded.
QtObject {
    property bool signedIn: false
    property string email: ""

    // The current server as the catalogue last announced it.
    property string serverId: ""
    property string serverName: ""
    property string serverCity: ""
    property string serverCountry: ""
    property string serverFlag: ""
    // The server a switch is on its way to, until the catalogue announces it.
    property string switchTarget: ""

    property Settings signin: Settings {
        category: "signin"
        property string method: ""
    }
    readonly property string signInMethod: signin.method

    // The welcome cards are shown once per computer, after the first sign-in.
    property Settings onboarding: Settings {
        category: "onboarding"
        property bool done: false
    }
    readonly property bool onboardingDone: onboarding.done
    function finishOnboarding() { onboarding.done = true }

    function signIn(address, method) {
        email = address
        if (method)
            signin.method = method
        signedIn = true
    }

    function signOut() {
        signedIn = false
        serverId = ""
        serverName = ""
        serverCity = ""
        serverCountry = ""
        serverFlag = ""
        switchTarget = ""
    }
}
