#pragma once

// The one tracker of the active file pane and, through it, of the active file browser; and
// the owner of the record every browser shares: the internal clipboard, the make-directory
// and rename requests still waiting for their answer, and the launches waiting for their
// copies. Made by the main window before its panes, handed to every pane and browser.
//
// GUI thread only. Panes and browsers are watched, never owned: a closed tab or window leaves
// no dangling active pointer behind.

#include "filer/deferredlaunch.h"
#include "vfs/jobs/vfscopydto.h"

#include <QObject>
#include <QPointer>

#include <memory>
#include <vector>

class Filer;
class FilerPane;
struct VfsMakeDirectoryJob;
struct VfsMoveJob;

// What all browsers share; lives and dies with the hub, never written to disk.
struct FilerSharedRecord
{
    VfsCopyDto clipboard;
    std::vector<VfsMakeDirectoryJob *> pendingMakeDirectories;
    std::vector<VfsMoveJob *> pendingMoves;
    DeferredLaunches launches;
};

class FilerHub : public QObject
{
    Q_OBJECT
    Q_PROPERTY(Filer *activeFiler READ activeFiler NOTIFY activeFilerChanged)

public:
    explicit FilerHub(QObject *parent = nullptr);
    ~FilerHub() override;

    FilerSharedRecord *clipboard() const { return m_shared.get(); }

public Q_SLOTS:
    // The active pane's current browser; null without an active pane. Follows the active pane
    // at once, whoever switched it.
    Filer *activeFiler() const;
    // A report from a pane; ignored unless it comes from the active pane.
    void setActiveFiler(FilerPane *filerPane, Filer *activeFiler);
    FilerPane *activeFilerPane() const;
    // Switching panes also announces the browser that became active, so that no browser
    // keeps showing itself as the active one.
    void setActiveFilerPane(FilerPane *activeFilerPane);

Q_SIGNALS:
    void activeFilerChanged();
    void activeFilerPaneChanged();

private:
    void announceActiveFiler(Filer *filer);

    QPointer<Filer> m_activeFiler;
    QPointer<FilerPane> m_activePane;
    std::unique_ptr<FilerSharedRecord> m_shared;
};
