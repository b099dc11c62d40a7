#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

// The desktop's browser and link handling, for tests: web addresses the
// client opens are kept here instead, the test follows them as a browser
// would, and hands links of the client's schemes to the application object
// as a second start of the program does.
class TestBrowser : public QObject
{
    Q_OBJECT
public:
    // Takes over "https" addresses until destroyed.
    TestBrowser();
    ~TestBrowser() override;

    Q_INVOKABLE void open(const QUrl &url) { m_opened.append(url); }
    Q_INVOKABLE QString lastOpened() const { return m_opened.isEmpty() ? QString() : m_opened.constLast().toString(); }
    QList<QUrl> opened() const { return m_opened; }
    void clear() { m_opened.clear(); }
    // Loads the page and returns where the site sends the browser on.
    Q_INVOKABLE QString follow(const QString &url) const { return follow(QUrl(url), nullptr); }
    static QString follow(const QUrl &url, int *status);
    // What the single-instance channel does with a second start's argument.
    Q_INVOKABLE void deliver(const QString &link) const;

private:
    QList<QUrl> m_opened;
};
