#include "filer/filerpane.h"

#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "app/base/plaintext.h"
#include "filer/filer.h"
#include "filer/fileractions.h"
#include "filer/filerhub.h"
#include "filer/panetabs.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QSettings>
#include <QTabBar>
#include <QTabWidget>
#include <QUuid>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString kNewTabId = QStringLiteral("pane.new-tab");
const QString kCloseTabId = QStringLiteral("pane.close-tab");
// Which pane was active when the window closed (the index of the pane; absent for none).
const QString kActivePaneKey = QStringLiteral("FilerPane/activepane");

// Panes alive now; the first pane is the one without a live pane of index 0 before it.
QList<QPointer<FilerPane>> &livePanes()
{
    static QList<QPointer<FilerPane>> panes;
    return panes;
}

QAction *paneAction(const QString &id)
{
    QAction *action = FilerActions::action(id);
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    return action;
}

QString newFilerUuid()
{
    return QUuid::createUuid().toString();
}

struct SavedFiler
{
    QString uuid;
    QString peerUuid;
    QString path;
    int viewMode = 0;
    bool tab = false;
    int tabIndex = 0;
};

} // namespace

FilerPane::FilerPane(QQmlEngine *engine, IDatabase *database, FilerHub *hub, QWidget *parent)
    : QWidget(parent)
    , m_engine(engine)
    , m_database(database)
    , m_hub(hub)
{
    setObjectName(QStringLiteral("FilerPane"));
    QList<QPointer<FilerPane>> &panes = livePanes();
    panes.removeAll(nullptr);
    const bool firstExists = std::any_of(panes.begin(), panes.end(),
                                         [](const QPointer<FilerPane> &p) { return p && p->m_paneIndex == 0; });
    m_paneIndex = firstExists ? 1 : 0;
    m_buttons = firstExists ? 2 : 0;
    panes.append(this);

    QAction *newTab = paneAction(kNewTabId);
    newTab->setText(qtTrId("action-new-tab"));
    newTab->setShortcut(QKeySequence(QCoreApplication::translate("FilerPane", "Ctrl+T")));
    QAction *closeTab = paneAction(kCloseTabId);
    closeTab->setText(qtTrId("action-close-tab"));
    closeTab->setShortcut(QKeySequence(QCoreApplication::translate("FilerPane", "Ctrl+W")));
    QAction *openOther = paneAction(m_paneIndex == 0 ? QStringLiteral("filer.open-right") : QStringLiteral("filer.open-left"));
    QAction *openLeftTab = paneAction(QStringLiteral("filer.open-left-tab"));
    QAction *openRightTab = paneAction(QStringLiteral("filer.open-right-tab"));
    for (QAction *action : {openOther, openLeftTab, openRightTab, newTab, closeTab})
        addAction(action);
    connect(openOther, &QAction::triggered, this, &FilerPane::requestOpenInAltFiler);
    connect(openLeftTab, &QAction::triggered, this, &FilerPane::requestOpenNewTabLeft);
    connect(openRightTab, &QAction::triggered, this, &FilerPane::requestOpenNewTabRight);
    connect(newTab, &QAction::triggered, this, &FilerPane::newFilerTab);
    connect(closeTab, &QAction::triggered, this, &FilerPane::closeFilerTab);
    connect(FilerActions::action(QStringLiteral("filer.new-window")), &QAction::triggered, this,
            &FilerPane::newFilerWindow);

    m_tabs = new PaneTabWidget(this);
    m_tabs->setTabBarAutoHide(true);
    m_tabs->setMovable(true);
    m_tabs->setUsesScrollButtons(false);
    m_tabs->setElideMode(Qt::ElideLeft);
    m_tabs->setDocumentMode(true);
    m_tabs->setContentsMargins(0, 0, 0, 0);
    m_tabs->tabBar()->setAutoFillBackground(false);
    m_tabs->tabBar()->setDrawBase(false);
    m_tabs->tabBar()->installEventFilter(this);
    m_tabs->installEventFilter(this);
    ensurePlusTab();
    connect(m_tabs, &QTabWidget::tabBarClicked, this, &FilerPane::onTabBarClicked);
    connect(m_tabs, &QTabWidget::currentChanged, this, &FilerPane::onCurrentChanged);
    connect(m_tabs, &QTabWidget::tabCloseRequested, this, &FilerPane::onTabCloseRequested);

    if (m_hub) {
        connect(m_hub, &FilerHub::activeFilerPaneChanged, this,
                [this] { m_wasActive = m_hub && m_hub->activeFilerPane() == this; });
        m_wasActive = m_hub->activeFilerPane() == this;
    }

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_tabs);
}

FilerPane::~FilerPane()
{
    // The window saves the panes while their computers exist; this is the last chance for a
    // pane it never saved.
    if (!m_saved)
        saveSettings();
    // Windows are top-level widgets without a parent: they would outlive the pane and the
    // hub they point to. They go now, not later: no event loop may run after the window.
    const std::vector<Filer *> all = filers();
    m_filers.clear();
    for (Filer *filer : all) {
        disconnect(filer, nullptr, this, nullptr);
        if (filer->isStandalone())
            delete filer;
    }
    // Closed tabs waiting for their deferred delete are still children of the tab widget;
    // their end must not call back into a pane that is half gone.
    for (Filer *filer : m_tabs->findChildren<Filer *>())
        disconnect(filer, nullptr, this, nullptr);
    livePanes().removeAll(this);
}

IPeer *FilerPane::peer() const
{
    Filer *active = m_hub ? m_hub->activeFiler() : nullptr;
    return active ? active->peer() : nullptr;
}

Filer *FilerPane::currentFiler() const
{
    return m_currentFiler;
}

std::vector<Filer *> FilerPane::filers() const
{
    std::vector<Filer *> list;
    for (const QPointer<Filer> &filer : m_filers) {
        if (filer)
            list.push_back(filer);
    }
    return list;
}

bool FilerPane::hasTabs() const
{
    return m_tabs->count() >= 3;
}

void FilerPane::showTabBar()
{
    m_tabs->setTabBarAutoHide(false);
    m_tabs->tabBar()->show();
}

void FilerPane::autoHideTabBar()
{
    m_tabs->setTabBarAutoHide(true);
    m_tabs->tabBar()->show();
    m_tabs->tabBar()->setVisible(m_tabs->count() >= 3);
}

QAction *FilerPane::newTabAction() const
{
    return FilerActions::action(kNewTabId);
}

bool FilerPane::isActivePane() const
{
    return m_hub && m_hub->activeFilerPane() == this;
}

int FilerPane::plusIndex() const
{
    return m_newTabWidget ? m_tabs->indexOf(m_newTabWidget) : -1;
}

void FilerPane::ensurePlusTab()
{
    if (m_newTabWidget)
        return;
    m_newTabWidget = new QWidget(m_tabs);
    const int index = m_tabs->addTab(m_newTabWidget, QStringLiteral("+"));
    m_tabs->setTabToolTip(index, qtTrId("action-new-tab"));
}

void FilerPane::updateClosability()
{
    m_tabs->setTabsClosable(m_tabs->count() > 2);
    const int plus = plusIndex();
    if (plus < 0)
        return;
    for (QTabBar::ButtonPosition side : {QTabBar::RightSide, QTabBar::LeftSide}) {
        if (QWidget *button = m_tabs->tabBar()->tabButton(plus, side)) {
            button->hide();
            button->setMaximumSize(0, 0);
        }
    }
}

// --- browsers ----------------------------------------------------------------------------

QRect FilerPane::windowGeometry(const QRect &paneGeometry, const QList<QRect> &available)
{
    QRect wanted(paneGeometry.x() + paneGeometry.width() + 20, paneGeometry.y() + 140,
                 qMax(kMinimumWindowWidth, paneGeometry.width() - 40),
                 qMax(kMinimumWindowHeight, paneGeometry.height() - 280));
    if (available.isEmpty())
        return wanted;
    // The screen the window mostly lands on, else the pane's screen, else the first.
    QRect screen = available.first();
    int best = -1;
    for (const QRect &area : available) {
        const QRect overlap = area.intersected(wanted);
        const int size = overlap.isEmpty() ? 0 : overlap.width() * overlap.height();
        if (size > best || (size == 0 && best <= 0 && area.intersects(paneGeometry))) {
            best = size;
            screen = area;
        }
    }
    wanted.setWidth(qMin(wanted.width(), screen.width()));
    wanted.setHeight(qMin(wanted.height(), screen.height()));
    wanted.moveLeft(qBound(screen.left(), wanted.left(), screen.right() - wanted.width() + 1));
    wanted.moveTop(qBound(screen.top(), wanted.top(), screen.bottom() - wanted.height() + 1));
    return wanted;
}

Filer *FilerPane::createFiler(Kind kind, const QString &uuid, bool inheritActivePeer)
{
    auto *filer = new Filer(m_engine, m_database, m_hub, kind == Tab ? this : nullptr);
    filer->setAttribute(Qt::WA_AcceptTouchEvents, false);
    filer->setProperty("uuid", uuid);
    for (const char *id : {"filer.preview", "filer.new-window", "filer.new-folder", "filer.trash", "filer.delete",
                           "filer.cut", "filer.copy", "filer.paste", "filer.rename", "filer.view-icons",
                           "filer.view-list", "filer.view-column", "filer.show-hidden", "filer.show-props",
                           "filer.show-inexplorer"})
        filer->addAction(FilerActions::action(QLatin1String(id)));

    QPointer<Filer> guarded(filer);
    connect(filer, &Filer::activated, this, [this, guarded] {
        if (!guarded)
            return;
        makeCurrent(guarded);
        if (m_hub) {
            m_hub->setActiveFilerPane(this);
            m_hub->setActiveFiler(this, guarded);
        }
    });
    connect(filer, &Filer::peerChanged, this, &FilerPane::peerChanged);
    connect(filer, &Filer::peerClicked, this, &FilerPane::peerClicked);
    connect(filer, &Filer::listerVisibilityChanged, this, &FilerPane::listerVisibilityChanged);
    connect(filer, &Filer::selectionChanged, this, &FilerPane::selectionChanged);
    connect(filer, &Filer::pathChanged, this, &FilerPane::filerPathChanged);
    connect(filer, &Filer::newTabRequest, this, &FilerPane::newFilerTabWithPath);
    connect(this, &FilerPane::filterHidden, filer, &Filer::filterHidden);
    connect(this, &FilerPane::filterMaxAge, filer, &Filer::filterMaxAge);

    Filer *active = m_hub ? m_hub->activeFiler() : nullptr;
    const bool inherit = inheritActivePeer && active && active != filer && active->peer();
    if (kind == Tab) {
        const int count = m_tabs->count();
        const int at = count > 1 ? count - 1 : 0;
        m_tabs->insertTab(at, filer, QStringLiteral("&%1 A").arg(count));
        filer->setButtons(m_buttons);
        connect(filer, &Filer::directoryChanged, this, [this, guarded] {
            if (!guarded)
                return;
            const QString path = guarded->path();
            m_tabs->setTabToolTip(m_tabs->indexOf(guarded), path.startsWith(QLatin1Char('%')) ? QString() : plainToolTip(path));
        });
        connect(filer, &QWidget::windowTitleChanged, this, [this, guarded](const QString &title) {
            if (guarded)
                m_tabs->setTabText(m_tabs->indexOf(guarded), QStringLiteral("  %1  ").arg(plainMenuText(title)));
        });
        if (inherit) {
            filer->setPeer(active->peer());
            filer->gotoPath(active->path());
        }
        m_tabs->setCurrentWidget(filer);
        Q_EMIT tabsChanged();
        updateClosability();
    } else {
        connect(filer, &Filer::aboutToClose, this, [this, guarded] {
            if (!guarded)
                return;
            ConfigSettings settings;
            settings->remove(Filer::settingsGroup(guarded->property("uuid").toString()));
            forgetFiler(guarded);
        });
        QList<QRect> screens;
        for (QScreen *screen : QGuiApplication::screens())
            screens.append(screen->availableGeometry());
        const QRect pane(mapToGlobal(QPoint(0, 0)), size());
        if (inherit) {
            filer->setPeer(active->peer());
            filer->gotoPath(active->path());
        }
        filer->setWindowFlag(Qt::Window, true);
        filer->setAttribute(Qt::WA_DeleteOnClose, true);
        filer->setGeometry(windowGeometry(pane, screens));
        connect(filer, &Filer::directoryChanged, filer, [guarded](const QString &directoryName) {
            if (guarded)
                guarded->setWindowTitle(QStringLiteral("%1 ~ %2").arg(directoryName,
                                        guarded->peer() ? guarded->peer()->name() : QString()));
        });
        filer->show();
    }

    connect(filer, &QObject::destroyed, this, &FilerPane::filerDeleted);
    m_filers.push_back(filer);
    makeCurrent(filer);
    reportActive(filer);
    return filer;
}

void FilerPane::makeCurrent(Filer *filer)
{
    m_currentFiler = filer;
    setFocusProxy(filer);
}

void FilerPane::reportActive(Filer *filer)
{
    if (m_hub && !m_restoring)
        m_hub->setActiveFiler(this, filer);
}

void FilerPane::forgetFiler(Filer *filer)
{
    m_filers.erase(std::remove(m_filers.begin(), m_filers.end(), QPointer<Filer>(filer)), m_filers.end());
}

void FilerPane::newFilerTab()
{
    if (!isActivePane())
        return;
    if (Filer *filer = createFiler(Tab, newFilerUuid()))
        filer->setFocus();
}

void FilerPane::newFilerWindow()
{
    if (!isActivePane())
        return;
    if (Filer *filer = createFiler(Window, newFilerUuid()))
        filer->setFocus();
}

void FilerPane::newFilerTabWithPath(const QString &peerUuid, const QString &path)
{
    // The tab opens on the computer the request names, not on the active browser's.
    PeerModel *model = PeerModel::instance();
    IPeer *peer = model ? model->getPeerForUuid(peerUuid) : nullptr;
    if (!peer || path.isEmpty())
        return;
    Filer *filer = createFiler(Tab, newFilerUuid(), false);
    filer->setPeer(peer);
    filer->gotoPath(path);
    filer->setFocus();
}

void FilerPane::closeTabAt(int index)
{
    auto *filer = qobject_cast<Filer *>(m_tabs->widget(index));
    if (!filer)
        return;
    {
        ConfigSettings settings;
        settings->remove(Filer::settingsGroup(filer->property("uuid").toString()));
    }
    // Out of the list at once: a pane destroyed before the deferred delete must not write
    // the closed tab back.
    forgetFiler(filer);
    m_tabs->removeTab(index);
    filer->deleteLater();
    updateClosability();
    Q_EMIT tabsChanged();
}

void FilerPane::closeFilerTab()
{
    if (!isActivePane() || m_tabs->count() < 3)
        return;
    closeTabAt(m_tabs->currentIndex());
}

void FilerPane::setPeer(IPeer *peer)
{
    Filer *filer = currentFiler();
    if (!filer || filer->peer() == peer)
        return;
    filer->setPeer(peer);
    filer->showPeerView();
}

void FilerPane::filerDeleted(QObject *obj)
{
    if (m_hub)
        disconnect(m_hub, nullptr, obj, nullptr);
    m_filers.erase(std::remove_if(m_filers.begin(), m_filers.end(),
                                  [obj](const QPointer<Filer> &f) { return !f || f == obj; }),
                   m_filers.end());
    const bool wasCurrent = !m_currentFiler || m_currentFiler == obj;
    if (wasCurrent) {
        if (auto *filer = qobject_cast<Filer *>(m_tabs->currentWidget())) {
            makeCurrent(filer);
            reportActive(filer);
        } else {
            m_currentFiler = nullptr;
        }
    }
    Q_EMIT tabsChanged();
}

void FilerPane::filerPathChanged()
{
}

void FilerPane::requestOpenInAltFiler()
{
    Filer *filer = currentFiler();
    if (!isActivePane() || !filer || !filer->peer())
        return;
    Q_EMIT openInAltFiler(filer->peer()->uuid(), filer->currentItemPath());
}

void FilerPane::requestOpenNewTabRight()
{
    Filer *filer = currentFiler();
    if (!isActivePane() || !filer || !filer->peer() || filer->currentItemPath().isEmpty())
        return;
    Q_EMIT openNewTabRight(filer->peer()->uuid(), filer->currentItemPath());
}

void FilerPane::requestOpenNewTabLeft()
{
    Filer *filer = currentFiler();
    if (!isActivePane() || !filer || !filer->peer() || filer->currentItemPath().isEmpty())
        return;
    Q_EMIT openNewTabLeft(filer->peer()->uuid(), filer->currentItemPath());
}

// --- tab widget --------------------------------------------------------------------------

void FilerPane::onTabBarClicked(int index)
{
    if (index < 0 || index != m_tabs->count() - 1 || plusIndex() != index)
        return;
    if (m_hub)
        m_hub->setActiveFilerPane(this);
    // After the tab bar has finished with the click: it selects the tab under the pointer
    // when the press ends, which would otherwise be one of the shifted tabs.
    QMetaObject::invokeMethod(this, &FilerPane::newFilerTab, Qt::QueuedConnection);
}

void FilerPane::onCurrentChanged(int index)
{
    if (m_restoring)
        return;
    QWidget *page = m_tabs->widget(index);
    if (page && page == m_newTabWidget) {
        if (m_tabs->count() >= 2)
            m_tabs->setCurrentIndex(m_tabs->count() - 2);
        return;
    }
    if (m_hub)
        m_hub->setActiveFilerPane(this);
    if (auto *filer = qobject_cast<Filer *>(page)) {
        makeCurrent(filer);
        reportActive(filer);
    }
}

void FilerPane::onTabCloseRequested(int index)
{
    if (m_tabs->count() <= 2)
        return;
    closeTabAt(index);
}

bool FilerPane::eventFilter(QObject *watched, QEvent *event)
{
    QTabBar *bar = m_tabs->tabBar();
    if (watched == bar) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
            m_pressedTab = bar->tabAt(bar->mapFromGlobal(QCursor::pos()));
            if (m_pressedTab < 0)
                m_pressedTab = bar->tabAt(static_cast<QMouseEvent *>(event)->pos());
            break;
        case QEvent::MouseMove:
            if (m_pressedTab >= 0) {
                // While a tab is dragged the "+" tab stays where it is.
                if (plusIndex() >= 0)
                    m_tabs->setTabEnabled(plusIndex(), false);
                m_pressedTab = -1;
            }
            break;
        case QEvent::MouseButtonRelease: {
            m_pressedTab = -1;
            auto *mouse = static_cast<QMouseEvent *>(event);
            const int index = bar->tabAt(mouse->pos());
            if (mouse->button() == Qt::MiddleButton && m_tabs->count() > 2 && index >= 0
                && index < m_tabs->count() && qobject_cast<Filer *>(m_tabs->widget(index)))
                closeTabAt(index);
            const int plus = plusIndex();
            if (plus >= 0) {
                m_tabs->setTabEnabled(plus, true);
                if (plus != m_tabs->count() - 1)
                    bar->moveTab(plus, m_tabs->count() - 1);
            }
            break;
        }
        default:
            break;
        }
    } else if (watched == m_tabs && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Tab && key->modifiers() == Qt::ControlModifier) {
            logPrintf(LogNfo1, "TAB cycle");
            if (m_tabs->currentIndex() == m_tabs->count() - 2) {
                m_tabs->setCurrentIndex(0);
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

// --- settings ----------------------------------------------------------------------------

void FilerPane::saveSettings()
{
    m_saved = true;
    ConfigSettings settings;
    settings->setValue(QStringLiteral("FilerPane_%1/tabindex").arg(m_paneIndex), m_tabs->currentIndex());
    if (m_wasActive)
        settings->setValue(kActivePaneKey, m_paneIndex);
    else if (settings->value(kActivePaneKey, -1).toInt() == m_paneIndex)
        settings->remove(kActivePaneKey);
    for (Filer *filer : filers()) {
        const QString uuid = filer->property("uuid").toString();
        settings->beginGroup(Filer::settingsGroup(uuid));
        settings->setValue(QStringLiteral("uuid"), uuid);
        settings->setValue(QStringLiteral("peeruuid"), filer->peer() ? filer->peer()->uuid() : QString());
        settings->setValue(QStringLiteral("path"), filer->placeToKeep());
        settings->setValue(QStringLiteral("viewmode"), int(filer->viewMode()));
        settings->setValue(QStringLiteral("paneindex"), m_paneIndex);
        settings->setValue(QStringLiteral("tab"), !filer->isStandalone());
        settings->setValue(QStringLiteral("tabindex"), filer->isStandalone() ? -1 : m_tabs->indexOf(filer));
        settings->endGroup();
    }
    settings->sync();
}

void FilerPane::restoreFilerSettings()
{
    std::vector<SavedFiler> saved;
    {
        ConfigSettings settings;
        for (const QString &group : settings->childGroups()) {
            if (!group.startsWith(QLatin1String("Filer")) || group.startsWith(QLatin1String("FilerPane")))
                continue;
            settings->beginGroup(group);
            SavedFiler record;
            record.uuid = settings->value(QStringLiteral("uuid")).toString();
            record.peerUuid = settings->value(QStringLiteral("peeruuid")).toString();
            record.path = settings->value(QStringLiteral("path")).toString();
            record.viewMode = settings->value(QStringLiteral("viewmode"), 0).toInt();
            record.tab = settings->value(QStringLiteral("tab"), false).toBool();
            record.tabIndex = settings->value(QStringLiteral("tabindex"), 0).toInt();
            const int paneIndex = settings->value(QStringLiteral("paneindex"), 0).toInt();
            settings->endGroup();
            if (paneIndex == m_paneIndex && !record.uuid.isEmpty() && !record.peerUuid.isEmpty()
                && !record.path.isEmpty())
                saved.push_back(record);
        }
    }
    std::stable_sort(saved.begin(), saved.end(),
                     [](const SavedFiler &a, const SavedFiler &b) { return a.tabIndex < b.tabIndex; });

    // Restoring a pane is no user's switch of panes: the hub keeps its active pane.
    m_restoring = true;
    PeerModel *model = PeerModel::instance();
    for (const SavedFiler &record : saved) {
        IPeer *peer = model ? model->getPeerForUuid(record.peerUuid) : nullptr;
        if (!peer)
            continue;
        Filer *filer = createFiler(record.tab ? Tab : Window, record.uuid, false);
        filer->setPeer(peer);
        const int mode = record.viewMode;
        filer->setViewMode(mode >= Filer::ViewList && mode <= Filer::ViewNone ? Filer::ViewMode(mode) : Filer::ViewColumns);
        filer->gotoPath(record.path);
    }
    if (filers().empty())
        createFiler(Tab, newFilerUuid(), false);

    int current = 0;
    bool wasActive = false;
    {
        ConfigSettings settings;
        current = settings->value(QStringLiteral("FilerPane_%1/tabindex").arg(m_paneIndex), 0).toInt();
        wasActive = settings->value(kActivePaneKey, -1).toInt() == m_paneIndex;
    }
    if (current >= 0 && current < m_tabs->count()) {
        if (m_tabs->widget(current) == m_newTabWidget)
            current = qMax(0, m_tabs->count() - 2);
        m_tabs->setCurrentIndex(current);
    }
    m_restoring = false;
    if (wasActive && m_hub)
        m_hub->setActiveFilerPane(this);
    if (auto *filer = qobject_cast<Filer *>(m_tabs->currentWidget())) {
        makeCurrent(filer);
        reportActive(filer);
    }
    updateClosability();
    Q_EMIT tabsChanged();
}
