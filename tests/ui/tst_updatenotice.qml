import QtQuick
import QtQuick.Window
import QtTest
import com.qt.kelvra 1.0
import "qrc:/ui/qml/components"

// The update notice as the home page shows it, fed the version check's
// answers straight into the core controller: the strip and what its buttons
// do, a required update over the whole window, and the failure it reports.
TestCase {
    id: testCase
    name: "UpdateNotice"
    when: windowShown

    Window {
        id: window
        width: 900
        height: 600
        visible: true
        UpdateNotice {
            id: notice
            width: parent.width
        }
    }

    function init() {
        failOnWarning(/ReferenceError|TypeError|is not a function|Cannot read property/)
        notice.offered = false
        notice.dismissed = false
        notice.failure = ""
        notice.info = ""
        notice.updatedTo = ""
    }

    function find(name, from) {
        const stack = [from || window.contentItem]
        while (stack.length > 0) {
            const item = stack.shift()
            if (item.objectName === name && item.visible)
                return item
            for (let i = 0; i < item.children.length; ++i)
                stack.push(item.children[i])
        }
        return null
    }

    function answer(fields) {
        CoreController.parseResponse(JSON.stringify(Object.assign({ update_available: true }, fields)), 200)
    }

    function test_nothingToOfferShowsNothing() {
        answer({ download_url: "", installer_url: "" })
        verify(!find("updateStrip"))
        verify(!find("requiredUpdate"))
    }

    function test_ordinaryUpdateWaitsForTheUser() {
        answer({ download_url: "https://kelvra.test/download", installer_url: "", update_type: "optional" })
        const strip = find("updateStrip")
        verify(strip, "no update strip")
        compare(find("updateTitle", strip).text, "Update available")
        mouseClick(find("notNowButton", strip))
        verify(!find("updateStrip"))
    }

    function test_linkOffOurHostFailsWithTheWebsiteHint() {
        answer({ download_url: "", installer_url: "https://elsewhere.test/Kelvra.exe", sha256: "ab",
                 update_type: "optional" })
        mouseClick(find("updateButton", find("updateStrip")))
        tryVerify(() => find("updateFailedBanner") !== null, 5000, "no failure shown")
        compare(find("bannerText", find("updateFailedBanner")).text,
                "Update failed — This update can't be installed automatically. Please download it from the website.")
        verify(!Updater.busy)
    }

    function test_requiredUpdateCoversTheWindow() {
        answer({ download_url: "", installer_url: "https://elsewhere.test/Kelvra.exe", sha256: "ab",
                 update_type: "mandatory" })
        verify(!find("updateStrip"), "a required update is no strip to wave away")
        tryVerify(() => notice.children.length > 0 && findPopupButton() !== null, 5000, "no required-update card")
        notice.offered = false
    }

    function findPopupButton() {
        return find("requiredUpdateButton", window.contentItem.parent || window.contentItem)
    }

    // No installer link and no download link on a second look: says so.
    function test_nothingToInstallOnSecondLook() {
        answer({ download_url: "", installer_url: "https://download.kelvra.com/Kelvra.exe", sha256: "",
                 update_type: "optional" })
        mouseClick(find("updateButton", find("updateStrip")))
        tryCompare(notice, "info", "There is no update to install right now.", 15000)
    }

    function test_justUpdatedIsSaidOnce() {
        notice.updatedTo = "3.7.8"
        compare(find("bannerText", find("updatedBanner")).text, "Kelvra was updated to 3.7.8.")
        mouseClick(find("dismissButton", find("updatedBanner")))
        verify(!find("updatedBanner"))
    }
}
