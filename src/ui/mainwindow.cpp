// Construction of the main window: actions, the QML module, the shared engine and its
// context, the theme, the panes, the right-hand stack and the menus.

#include "ui/mainwindow.h"

#include "app/base/actionregistry.h"
#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "com/connectionmanager.h"
#include "db/idatabase.h"
#include "peers/invitationmodel.h"
#include "peers/peermodel.h"
#include "ui/mainwindow_p.h"
#include "desktop/apps/applauncher.h"
#include "desktop/common/desktopresources.h"
#include "desktop/update/updatenotification.h"
#include "filer/filer.h"
#include "filer/filerpanesresources.h"
#include "ui/nodeview/nodeview.h"
#include "ui/desktopicons.h"
#include "ui/preview/preview.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "ui/qmltypes.h"
#include "ui/sharedactions.h"
#include "ui/theme.h"
#include "ui/themeimageprovider.h"
#include "ui/uiresources.h"
#include "vfs/models/vfsmodelicons.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QImageReader>
#include <QPixmapCache>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QQuickView>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>

void initUiResources()
{
    Q_INIT_RESOURCE(ui);
}

namespace {

MainWindow *s_instance = nullptr;

// The pixmap cache holds recoloured icons and the file views' thumbnails; 64 MiB keeps
// every visible picture cached without letting the cache grow with the folders browsed.
constexpr int kPixmapCacheKiB = 64 * 1024;

SharedActions g_actions;

} // namespace

MainWindow::MainWindow(ConnectionManager *connectionManager, IDatabase *database, QWidget *parent)
    : QMainWindow(parent)
    , d(new MainWindowPrivate)
{
    initUiResources();
    initFilerViewResources();
    initFilerPanesResources();
    initDesktopResources();
    s_instance = this;
    setWindowTitle(QCoreApplication::applicationName());
    setObjectName(QStringLiteral("MainWindow"));

    // Plug-ins shipped beside the program come first; what the framework can read is logged
    // once for bug reports.
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath() + QStringLiteral("/plugins"));
    for (const QString &path : QCoreApplication::libraryPaths())
        logPrintf(LogNfo1, "library path: %s", qUtf8Printable(path));
    for (const QByteArray &format : QImageReader::supportedImageFormats())
        logPrintf(LogNfo1, "supported image format: %s", format.constData());

    QPixmapCache::setCacheLimit(kPixmapCacheKiB);

    // The desktop's icon theme for files, folders and programs, also where the desktop
    // names none.
    desktopicons::setupIconTheme();
    // Every window of the program (panes in windows of their own, the preview, job windows,
    // dialogs) shows the program's icon unless it sets one.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/app-icon.svg")));
    setWindowIcon(QApplication::windowIcon());
    QApplication::setPalette(theme::withSelectionColours(QApplication::palette()));

    d->connectionManager = connectionManager;
    d->database = database;
    d->filerHub = new FilerHub(this);

    ConfigSettings settings;
    ActionRegistry::registerDefaults(settings.settings());
    g_actions = makeSharedActions(this);
    connect(g_actions.copyTo, &QAction::triggered, this, &MainWindow::onCopyToActionTriggered);
    connect(g_actions.moveTo, &QAction::triggered, this, &MainWindow::onMoveToActionTriggered);
    connect(g_actions.preview, &QAction::triggered, this, &MainWindow::openPreview);
    connect(g_actions.showNodeView, &QAction::triggered, this, &MainWindow::showNodeView);
    connect(g_actions.showAltFiler, &QAction::triggered, this, &MainWindow::showAlternateFilerPane);
    connect(g_actions.toggleRight, &QAction::triggered, this, &MainWindow::toggleFilepaneNodeview);

    // Tab moves between the two panes. Scoped to the panes, so dialogs and text fields keep
    // their own Tab.
    d->tabAction = new QAction(this);
    d->tabAction->setObjectName(QStringLiteral("tabAction"));
    d->tabAction->setShortcut(QKeySequence(Qt::Key_Tab));
    d->tabAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(d->tabAction, &QAction::triggered, this, &MainWindow::onFilerTabPressed);

    static bool styleSet = false;   // may be set once, before the first control is loaded
    if (!styleSet) {
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
        styleSet = true;
    }
    registerQmlTypes();

    d->quickView = new QQuickView;
    d->quickView->setResizeMode(QQuickView::SizeRootObjectToView);
    QQmlContext *context = d->quickView->rootContext();
    context->setContextProperty(QStringLiteral("filerNewWindowAction"), g_actions.newWindow);
    context->setContextProperty(QStringLiteral("filerShowAlternateFilerAction"), g_actions.showAltFiler);
    context->setContextProperty(QStringLiteral("filerShowNodeViewAction"), g_actions.showNodeView);
    context->setContextProperty(QStringLiteral("filerCopyAction"), g_actions.copy);
    context->setContextProperty(QStringLiteral("filerPasteAction"), g_actions.paste);
    context->setContextProperty(QStringLiteral("filerTrashAction"), g_actions.trash);
    context->setContextProperty(QStringLiteral("filerNewFolderAction"), g_actions.newFolder);
    context->setContextProperty(QStringLiteral("filerRenameAction"), g_actions.rename);
    context->setContextProperty(QStringLiteral("filerClearMarkedAction"), g_actions.clearMarked);
    context->setContextProperty(QStringLiteral("mainWindow"), this);
    context->setContextProperty(QStringLiteral("appLauncher"), AppLauncher::instance());

    setupTheme();
    // The restored panes' first QML, with the modules it imports (plugins to load, types to
    // register), is compiled on the engine's loading thread while this thread builds the rest
    // of the window and the network side loads the computers; the panes then find it ready.
    for (const char *source : {"qrc:/qml/BreadCrumb.qml", "qrc:/qml/PeerView.qml"})
        new QQmlComponent(engine(), QUrl(QLatin1String(source)), QQmlComponent::Asynchronous, this);
    applyFontAndScale();
    loadTheme(QStringLiteral("Light"));

    context->setContextProperty(QStringLiteral("peerModel"), PeerModel::instance());
    context->setContextProperty(QStringLiteral("invitationModel"), InvitationModel::instance());

    for (int i = 0; i < 2; ++i) {
        auto *pane = new FilerPane(engine(), database, d->filerHub, this);
        pane->setObjectName(i == 0 ? QStringLiteral("leftPane") : QStringLiteral("rightPane"));
        setupFilerPane(pane);
    }
    d->filerHub->setActiveFilerPane(d->filerPanes.front());

    d->stack = new QStackedWidget(this);
    d->stack->setObjectName(QStringLiteral("rightStack"));
    d->nodeViewPage = new QWidget(this);
    d->nodeViewPage->setObjectName(QStringLiteral("nodeViewPage"));
    auto *pageLayout = new QVBoxLayout(d->nodeViewPage);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    pageLayout->setSpacing(1);
    d->updateNotification = new UpdateNotification(d->nodeViewPage);
    pageLayout->addWidget(d->updateNotification);
    d->stack->addWidget(d->filerPanes.back());
    d->stack->addWidget(d->nodeViewPage);
    d->stack->setCurrentWidget(d->nodeViewPage);

    d->splitter = new QSplitter(Qt::Horizontal, this);
    d->splitter->setObjectName(QStringLiteral("mainSplitter"));
    d->splitter->setChildrenCollapsible(false);
    d->splitter->addWidget(d->filerPanes.front());
    d->splitter->addWidget(d->stack);
    setCentralWidget(d->splitter);

    createRemoteMenu();
    createEditMenu();
    createViewMenu();
    createHelpMenu();

    restoreLayout();

    if (connectionManager) {
        connect(connectionManager, &ConnectionManager::started, this, &MainWindow::onConnectionManagerStarted,
                Qt::QueuedConnection);
        connect(this, &MainWindow::networkEnabledChanged, connectionManager, &ConnectionManager::setNetworkEnabled);
        if (connectionManager->isStarted())
            QMetaObject::invokeMethod(this, &MainWindow::onConnectionManagerStarted, Qt::QueuedConnection);
    }
    connect(this, &MainWindow::networkEnabledChanged, this, &MainWindow::updateRemoteMenu);
    // Ended without closing the window (a signal, the session ending): saved all the same,
    // while every widget still exists.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        if (!d->saved)
            saveState();
    });
    // The desktop session asks its programs to keep their state before it ends them.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { saveState(); });
}

MainWindow::~MainWindow()
{
    if (s_instance == this)
        s_instance = nullptr;
    delete d;
}

MainWindow *MainWindow::instance()
{
    return s_instance;
}

bool MainWindow::networkEnabled() const { return d->networkEnabled; }
QQmlEngine *MainWindow::engine() const { return d->quickView->engine(); }
QSplitter *MainWindow::splitter() const { return d->splitter; }
QStackedWidget *MainWindow::rightStack() const { return d->stack; }
QWidget *MainWindow::nodeViewPage() const { return d->nodeViewPage; }
QObject *MainWindow::processInviteDialog() const { return d->processInviteDialog; }
QAction *MainWindow::createInvitationAction() const { return d->createInvitationAction; }
QAction *MainWindow::addInvitationAction() const { return d->addInvitationAction; }
QAction *MainWindow::activeInvitationsAction() const { return d->activeInvitationsAction; }
bool MainWindow::isRestored() const { return d->restored; }
void MainWindow::setQuitOnClose(bool quit) { d->quitOnClose = quit; }

// The node view, the preview window and the invitation dialogs are made on first use: most
// starts show neither, and building them would hold back the window's first paint.
NodeView *MainWindow::nodeView()
{
    if (d->nodeView)
        return d->nodeView;
    auto *nodeView = new NodeView(engine(), d->database, d->nodeViewPage);
    connect(nodeView, &NodeView::nodeDoubleClicked, this, &MainWindow::onPeerPathSelected2);
    connect(nodeView, &NodeView::peerClicked, this, &MainWindow::onPeerSelected2);
    connect(nodeView, &NodeView::activateAlternateFilerpane, this, &MainWindow::showAlternateFilerPane);
    // The new window becomes the active browser, so the node's place opens there.
    connect(nodeView, &NodeView::createNewWindow, g_actions.newWindow, &QAction::trigger);
    connect(nodeView, &NodeView::createNewTab, this, [this] {
        if (FilerPane *pane = activePane())
            pane->newFilerTab();
    });
    d->nodeView = nodeView;
    d->nodeViewPage->layout()->addWidget(nodeView);
    // Shown with its page and at the page's size from the start, as if made with the window:
    // its scene is laid out for that size.
    nodeView->show();
    d->nodeViewPage->layout()->activate();
    d->quickView->rootContext()->setContextProperty(QStringLiteral("nodeView"), nodeView);
    return nodeView;
}

Preview *MainWindow::previewWindow()
{
    if (d->preview)
        return d->preview;
    d->preview = new Preview(engine(), d->database);
    connect(d->preview, &Preview::showPrevious, this, &MainWindow::onShowPreviousPreview);
    connect(d->preview, &Preview::showNext, this, &MainWindow::onShowNextPreview);
    connect(d->preview, &Preview::requestClose, this, &MainWindow::onPreviewClosed, Qt::QueuedConnection);
    return d->preview;
}

QObject *MainWindow::createInviteDialog()
{
    if (!d->createInviteDialog) {
        d->createInviteDialog = createQmlObject(QStringLiteral("qrc:/qml/dialogs/CreateInviteDialog.qml"));
        if (d->createInviteDialog) {
            connect(d->createInviteDialog, SIGNAL(copyToClipboard(QString)), this, SLOT(onInviteCopyToClipboard(QString)));
            connect(d->createInviteDialog, SIGNAL(createInvitation(QString, QString, QString, QString)), this,
                    SLOT(onInvitationCreate(QString, QString, QString, QString)));
        }
    }
    return d->createInviteDialog;
}

QObject *MainWindow::activeInvitationsDialog()
{
    if (!d->activeInvitationsDialog) {
        d->activeInvitationsDialog = createQmlObject(QStringLiteral("qrc:/qml/dialogs/ActiveInvitationsDialog.qml"));
        if (d->activeInvitationsDialog)
            connect(d->activeInvitationsDialog, SIGNAL(deleteInvitation(QString)), this, SLOT(deleteInvitation(QString)));
    }
    return d->activeInvitationsDialog;
}

std::vector<QWidget *> MainWindow::panes() const
{
    return std::vector<QWidget *>(d->filerPanes.begin(), d->filerPanes.end());
}

void MainWindow::setupFilerPane(QWidget *widget)
{
    auto *pane = static_cast<FilerPane *>(widget);
    d->filerPanes.push_back(pane);
    connect(pane, &FilerPane::selectionChanged, this, &MainWindow::onSelectionChanged);
    connect(pane, &FilerPane::peerClicked, this, &MainWindow::onPeerSelected2);
    connect(pane, &FilerPane::tabsChanged, this, &MainWindow::onFilerPaneTabsChanged);
    connect(pane, &FilerPane::openInAltFiler, this, &MainWindow::onOpenInAltFiler);
    connect(pane, &FilerPane::openNewTabLeft, this, &MainWindow::openNewFilerTabLeft);
    connect(pane, &FilerPane::openNewTabRight, this, &MainWindow::openNewFilerTabRight);
    pane->addAction(d->tabAction);
}

namespace {
// The theme's two files beside the executable; a program copied without its themes folder
// uses the compiled-in copy. False when the theme exists in neither place.
bool themeFiles(const QString &name, QString *objectFile, QString *styleFile)
{
    const QString dir = theme::directory();
    *objectFile = theme::objectFile(dir, name);
    *styleFile = theme::styleSheetFile(dir, name);
    if (!QFileInfo::exists(*objectFile)) {
        *objectFile = theme::builtinFile(*objectFile);
        *styleFile = theme::builtinFile(*styleFile);
    }
    return !objectFile->isEmpty();
}
} // namespace

void MainWindow::setupTheme()
{
    QString objectFile, styleFile;
    themeFiles(QStringLiteral("Light"), &objectFile, &styleFile);
    bool ok = false;
    const QString styleSheet = theme::readStyleSheet(styleFile, &ok);
    if (ok)
        qApp->setStyleSheet(styleSheet);

    QString error;
    d->theme = objectFile.isEmpty() ? nullptr : theme::createObject(engine(), objectFile, &error);
    if (!d->theme) {
        logPrintf(LogErr1, "failed to load theme: %s (%s)", qUtf8Printable(objectFile), qUtf8Printable(error));
        return;
    }
    auto *provider = new ThemeImageProvider(d->theme);
    d->quickView->rootContext()->setContextProperty(QStringLiteral("Theme"), d->theme);
    engine()->addImageProvider(QStringLiteral("theme"), provider);
    setVfsThemePixmapLoader([](const QString &id, const QSize &size) {
        ThemeImageProvider *p = ThemeImageProvider::instance();
        return p ? p->requestPixmap(id, nullptr, size) : QPixmap();
    });
}

void MainWindow::applyFontAndScale()
{
    if (!d->theme)
        return;
    const QScreen *screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInch() : 96.0;
    const double scale = theme::scaleFactor(dpi);
    d->theme->setProperty("scaleFactor", scale);
    logPrintf(LogNfo1, "PPI: %f, scaleFactor: %f", dpi, scale);

    const QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    logPrintf(LogNfo1, "font pixel size: %d, point size: %f, pixel pitch: %u", font.pixelSize(), font.pointSizeF(),
              unsigned(font.fixedPitch()));
    QApplication::setFont(font);
    setFont(font);
    d->theme->setProperty("pointSizeNormal", font.pointSizeF());
    d->theme->setProperty("pixelSizeNormal", QFontMetrics(font).height());

    QFontDatabase db;
    const QList<int> smooth = db.smoothSizes(font.family(), db.styleString(font));
    const auto sizeList = [](const QList<int> &list) {
        QStringList texts;
        for (int size : list)
            texts << QString::number(size);
        return texts.join(QLatin1String(", "));
    };
    // The log, not the terminal: a start in which nothing went wrong prints nothing.
    logPrintf(LogNfo1, "font normal size: %f", font.pointSizeF());
    logPrintf(LogNfo1, "font normal pixel size: %d", QFontMetrics(font).height());
    logPrintf(LogNfo1, "font point sized: %s",
              qUtf8Printable(sizeList(db.pointSizes(font.family(), db.styleString(font)))));
    logPrintf(LogNfo1, "font smooth sized: %s", qUtf8Printable(sizeList(smooth)));
    logPrintf(LogNfo1, "font standard sized: %s", qUtf8Printable(sizeList(QFontDatabase::standardSizes())));
    const theme::FontSizes sizes = theme::fontSizes(font.pointSize(), smooth);
    if (sizes.small > 0)
        d->theme->setProperty("pointSizeSmall", sizes.small);
    if (sizes.medium > 0)
        d->theme->setProperty("pointSizeMedium", sizes.medium);
    if (sizes.large > 0)
        d->theme->setProperty("pointSizeLarge", sizes.large);
}

void MainWindow::loadTheme(const QString &name)
{
    if (!d->quickView)
        return;
    QString objectFile, styleFile;
    if (!themeFiles(name, &objectFile, &styleFile))
        return;
    QString error;
    QObject *object = theme::createObject(engine(), objectFile, &error);
    if (!object) {
        logPrintf(LogErr1, "failed to load theme: %s (%s)", qUtf8Printable(QFileInfo(objectFile).absoluteFilePath()),
                  qUtf8Printable(error));
        return;
    }
    const QPalette palette = theme::palette(QApplication::palette(), object);
    logPrintf(LogNfo1, "foreground: %s", qUtf8Printable(object->property("foreground").toString()));
    object->deleteLater();   // only its colours were needed; "Theme" keeps the first object
    QApplication::setPalette(palette);
    QPixmapCache::clear();
    update();

    bool ok = false;
    const QString styleSheet = theme::readStyleSheet(styleFile, &ok);
    if (ok)
        qApp->setStyleSheet(styleSheet);
    else
        logPrintf(LogErr1, "failed to load theme: %s", qUtf8Printable(styleFile));

}

QObject *MainWindow::createQmlObject(const QString &url)
{
    QQmlComponent component(engine(), QUrl(url));
    QObject *object = component.create(engine()->rootContext());
    if (!object)
        logPrintf(LogErr1, "failed to load %s: %s", qUtf8Printable(url), qUtf8Printable(component.errorString()));
    return object;
}
