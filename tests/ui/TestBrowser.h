#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

// The desktop's browser and link handling, for the page tests: web addresses
// the client opens are kept here instead, the test follows them as a browser
// would, and hands links of the client's schemes to the application object
// as a second start of the program does.
class TestBrowser : public QObject
{
    Q_OBJECT
public:
    // Takes over "https" addresses until destroyed.
    TestBrowser();
    ~TestBrowser() override;

    Q_INVOKABLE void open(const QUrl &url) { m_lastOpened = url.toString(); }
    Q_INVOKABLE QString lastOpened() const { return m_lastOpened; }
    // Loads the page and returns where the site sends the browser on.
    Q_INVOKABLE QString follow(const QString &url) const;
    // What the single-instance channel does with a second start's argument.
    Q_INVOKABLE void deliver(const QString &link) const;

private:
    QString m_lastOpened;
};
