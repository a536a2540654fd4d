#pragma once

// One file pane of the main window: a tab widget whose tabs each hold one file browser,
// followed by a "+" tab that opens a new one; the pane also opens browsers as windows of
// their own. Each pane remembers its browsers in the settings file ("Filer_<hash>" groups and
// "FilerPane_<index>/tabindex") and brings them back at the next start.
//
// GUI thread only. The pane owns its tab browsers; window browsers delete themselves when
// closed and are deleted with the pane at the latest.

#include <QPointer>
#include <QWidget>

#include <vector>

class Filer;
class FilerHub;
class IDatabase;
class IPeer;
class QAction;
class QQmlEngine;
class QTabWidget;

class FilerPane : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(IPeer *peer READ peer WRITE setPeer NOTIFY peerChanged)

public:
    FilerPane(QQmlEngine *engine, IDatabase *database, FilerHub *hub, QWidget *parent);
    ~FilerPane() override;

    IPeer *peer() const;
    Filer *currentFiler() const;
    // Two or more browser tabs (with the "+" tab, three tabs or more).
    bool hasTabs() const;
    void showTabBar();
    void autoHideTabBar();
    QAction *newTabAction() const;

    int paneIndex() const { return m_paneIndex; }
    QTabWidget *tabWidget() const { return m_tabs; }
    // Every browser of the pane, tabs and windows, in the order they were made.
    std::vector<Filer *> filers() const;
    // Writes the tabs and windows with their computers, folders and view modes.
    void saveSettings();

    // Where a window of a pane at `paneGeometry` (global coordinates) opens: beside the pane,
    // at least a usable size, and on the screen that `available` (the screens' free areas)
    // holds; never a negative or off-screen size.
    static QRect windowGeometry(const QRect &paneGeometry, const QList<QRect> &available);
    static constexpr int kMinimumWindowWidth = 480;
    static constexpr int kMinimumWindowHeight = 360;

Q_SIGNALS:
    void activated();
    void peerChanged();
    void peerClicked(QString uuid);
    void listerVisibilityChanged(bool visible);
    void filterHidden(bool show);
    void filterMaxAge(int seconds);
    void selectionChanged(QString peerUuid, std::vector<QString> paths);
    void openInAltFiler(QString peerUuid, QString path);
    void openNewTabRight(QString peerUuid, QString path);
    void openNewTabLeft(QString peerUuid, QString path);
    void tabsChanged();

public Q_SLOTS:
    void newFilerWindow();
    void newFilerTab();
    void closeFilerTab();
    void setPeer(IPeer *peer);
    void filerDeleted(QObject *obj);
    void filerPathChanged();
    void restoreFilerSettings();

private Q_SLOTS:
    void requestOpenInAltFiler();
    void requestOpenNewTabRight();
    void requestOpenNewTabLeft();
    void newFilerTabWithPath(const QString &peerUuid, const QString &path);
    void onTabBarClicked(int index);
    void onCurrentChanged(int index);
    void onTabCloseRequested(int index);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    enum Kind { Tab, Window };

    Filer *createFiler(Kind kind, const QString &uuid, bool inheritActivePeer = true);
    void closeTabAt(int index);
    void forgetFiler(Filer *filer);
    void makeCurrent(Filer *filer);
    void reportActive(Filer *filer);
    void updateClosability();
    void ensurePlusTab();
    bool isActivePane() const;
    int plusIndex() const;

    QQmlEngine *m_engine = nullptr;
    IDatabase *m_database = nullptr;
    QPointer<FilerHub> m_hub;
    QTabWidget *m_tabs = nullptr;
    QWidget *m_newTabWidget = nullptr;
    std::vector<QPointer<Filer>> m_filers;
    QPointer<Filer> m_currentFiler;
    int m_pressedTab = -1;
    int m_buttons = 0;
    int m_paneIndex = 0;
    bool m_restoring = false;
    bool m_saved = false;
    // Kept here, not asked from the hub at the end: the main window may destroy the hub first.
    bool m_wasActive = false;
};
