import QtQuick
import QtQuick.Layouts
import QtQml.Models
import QtQuick.Controls.Basic as B
import com.qt.kelvra 1.0
import "../singletons"
import "../components"

// Every location of the catalogue, by category, with search, favourites and
// recents. A click switches the running connection, or chooses the server for
// the next connect.
Item {
    id: page
    objectName: "locationsPage"
    signal navigate(string key)

    property var categories: []
    property string category: ""
    property var expanded: ({})
    readonly property bool searching: search.text.trim() !== ""
    readonly property var cc: ConnectionController

    function entered() {
        MServers.measurePings()
        refreshCategories()
    }

    // The ordinary tabs first, then the list's own sections, then favourites;
    // a tab is shown only when the list has rows for it.
    function refreshCategories() {
        const present = {}
        const rows = MServers.rowCount()
        for (let row = 0; row < rows; ++row)
            present[MServers.data(MServers.index(row, 0), 261)] = true
        const tabs = []
        const ordered = ["Free", "High Speed"].concat(MServers.specialtySections)
        for (const name of ordered) {
            if (present[name] && tabs.indexOf(name) < 0)
                tabs.push(name)
        }
        tabs.push("Favorite")
        categories = tabs
        if (tabs.indexOf(category) < 0 || category === "") {
            const details = Session.serverId !== "" ? MServers.serverDetails(Session.serverId) : ({})
            category = details.category && tabs.indexOf(details.category) >= 0 ? details.category : tabs[0]
        }
    }

    function tabTitle(name) {
        return name === "Favorite" ? qsTr("Favourites") : name
    }

    function choose(serverId) {
        const busy = cc && (cc.isConnected || cc.isConnectionInProgress)
        if (busy) {
            Session.switchTarget = MServers.serverDetails(serverId).name || ""
            MServers.switchConnection(serverId)
        }
        else if (!MServers.selectServer(serverId))
            return
        page.navigate("home")
    }

    function bestPing(locationRow) {
        const pings = MServers.pings
        const parent = filter.index(locationRow, 0)
        let best = undefined
        if (page.revision < 0)
            return best
        for (let row = 0; row < filter.rowCount(parent); ++row) {
            const ping = pings[filter.data(filter.index(row, 0, parent), 263)]
            if (ping && ping.ms >= 0 && (!best || ping.ms < best.ms))
                best = ping
        }
        return best
    }

    // The proxy re-filters children without telling their location's row:
    // counts and first servers are read again whenever its rows change.
    property int revision: 0
    Connections {
        target: filter
        function onRowsInserted() { ++page.revision }
        function onRowsRemoved() { ++page.revision }
        function onModelReset() { ++page.revision }
        function onLayoutChanged() { ++page.revision }
        function onDataChanged() { ++page.revision }
    }

    function childCount(locationRow) {
        return page.revision >= 0 ? filter.rowCount(filter.index(locationRow, 0)) : 0
    }

    function childData(locationRow, role) {
        return page.revision >= 0 ? filter.data(filter.index(0, 0, filter.index(locationRow, 0)), role) : undefined
    }

    function toggleExpanded(locationName) {
        const next = Object.assign({}, expanded)
        next[locationName] = !next[locationName]
        expanded = next
    }

    Connections {
        target: MServers
        function onServersLoaded() { page.refreshCategories() }
        function onSpecialtySectionsChanged() { page.refreshCategories() }
    }

    SFilterModel {
        id: filter
        sourceModel: MServers
        filterCategory: page.category
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: Theme.unit * 4
        spacing: Theme.unit * 2

        RowLayout {
            Layout.fillWidth: true
            Label {
                text: qsTr("Locations")
                font.pixelSize: Theme.fontTitle
                font.weight: Font.DemiBold
            }
            Item { Layout.fillWidth: true }
            B.TextField {
                id: search
                objectName: "searchField"
                Layout.preferredWidth: 280
                implicitHeight: 40
                placeholderText: qsTr("Search country or city")
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                color: Theme.text
                placeholderTextColor: Theme.textMuted
                leftPadding: 36
                selectByMouse: true
                Accessible.name: qsTr("Search locations")
                onTextChanged: filter.setSearchText(text.trim())
                background: Rectangle {
                    radius: Theme.radiusSmall
                    color: Theme.surfaceRaised
                    border.width: search.activeFocus ? 2 : 1
                    border.color: search.activeFocus ? Theme.accent : Theme.border
                    Icon {
                        icon: "search"
                        size: 16
                        color: Theme.textMuted
                        anchors.left: parent.left
                        anchors.leftMargin: 12
                        anchors.verticalCenter: parent.verticalCenter
                    }
                }
            }
        }

        // Category tabs.
        PillTabs {
            Layout.fillWidth: true
            model: page.categories.map(name => ({ key: name, title: page.tabTitle(name) }))
            current: page.category
            onChosen: key => page.category = key
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.fillHeight: true
            radius: Theme.radius
            color: Theme.surface
            border.color: Theme.border
            clip: true

            ListView {
                id: list
                objectName: "locationList"
                anchors.fill: parent
                anchors.margins: Theme.unit
                model: filter
                spacing: 2
                boundsBehavior: Flickable.StopAtBounds
                keyNavigationEnabled: true
                activeFocusOnTab: true
                B.ScrollBar.vertical: B.ScrollBar {}

                delegate: ColumnLayout {
                    id: location
                    required property int index
                    required property string server_country
                    required property string flag
                    required property bool favorite
                    required property int recency
                    readonly property int servers: page.childCount(index)
                    readonly property bool single: servers === 1
                    readonly property bool open: !single && (page.searching || page.expanded[server_country] === true)
                    readonly property string firstServerId: single ? page.childData(index, 263) : ""
                    width: ListView.view.width
                    spacing: 2

                    LocationRow {
                        objectName: "location_" + location.server_country.replace(/\s+/g, "")
                        Layout.fillWidth: true
                        flag: location.flag
                        title: location.server_country
                        detail: location.single ? page.childData(location.index, 264)
                                                : qsTr("%n servers", "", location.servers)
                        recent: location.recency >= 0
                        ping: page.bestPing(location.index)
                        starVisible: location.single
                        starred: location.single ? page.childData(location.index, 262) === true : location.favorite
                        current: location.single && location.firstServerId === Session.serverId
                        expandable: !location.single
                        expanded: location.open
                        onStarToggled: MServers.toggleFavorite(location.firstServerId)
                        onClicked: location.single ? page.choose(location.firstServerId) : page.toggleExpanded(location.server_country)
                    }

                    Repeater {
                        model: DelegateModel {
                            model: location.open ? filter : null
                            rootIndex: filter.index(location.index, 0)
                            delegate: LocationRow {
                                required property string server_country
                                required property string city
                                required property string server_id
                                required property bool favorite
                                objectName: "server_" + server_country.replace(/\s+/g, "")
                                Layout.fillWidth: true
                                Layout.leftMargin: Theme.unit * 5
                                compact: true
                                title: server_country
                                detail: city !== server_country ? city : ""
                                ping: MServers.pings[server_id]
                                starVisible: true
                                starred: favorite
                                current: server_id === Session.serverId
                                onStarToggled: MServers.toggleFavorite(server_id)
                                onClicked: page.choose(server_id)
                            }
                        }
                    }
                }
            }

            // Empty states: still loading, nothing found, no favourites yet.
            Column {
                anchors.centerIn: parent
                spacing: Theme.unit * 1.5
                visible: list.count === 0
                Spinner {
                    anchors.horizontalCenter: parent.horizontalCenter
                    visible: MServers.rowCount() === 0 && !page.searching
                }
                Icon {
                    anchors.horizontalCenter: parent.horizontalCenter
                    visible: !(MServers.rowCount() === 0 && !page.searching)
                    icon: page.category === "Favorite" && !page.searching ? "star" : "search"
                    size: 32
                    color: Theme.textMuted
                }
                Label {
                    objectName: "emptyText"
                    anchors.horizontalCenter: parent.horizontalCenter
                    muted: true
                    text: page.searching ? qsTr("No locations match “%1”.").arg(search.text.trim())
                        : page.category === "Favorite" ? qsTr("Star a location to keep it here.")
                        : qsTr("Loading locations…")
                }
            }
        }
    }
}
