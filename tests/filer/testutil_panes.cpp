#include "testutil_panes.h"

#include "app/base/translations.h"
#include "filer/filerpanesresources.h"
#include "peers/peermodel.h"
#include "vfs/models/vfsdrivemodel.h"
#include "vfs/models/vfspeermodels.h"

#include <QQmlContext>
#include <QQuickWindow>
#include <QTest>
#include <QtQml>

namespace panestest {

void setUpProcess()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    initFilerPanesResources();
    qmlRegisterType<IPeer>("com.qentrix.fenu", 1, 0, "Peer");
    // Kept to the end of the process: the catalogue must outlive the application object.
    auto *translations = new Translations;
    translations->install(QLocale(QStringLiteral("en_US")));
}

std::unique_ptr<QQmlEngine> makeEngine(FakeMainWindow *mainWindow, PeerModel *model)
{
    auto engine = std::make_unique<QQmlEngine>();
    engine->rootContext()->setContextProperty(QStringLiteral("mainWindow"), mainWindow);
    engine->rootContext()->setContextProperty(QStringLiteral("peerModel"), model);
    return engine;
}

IPeer *makePeer(const QString &uuid, const QString &name, int linkState, QObject *parent)
{
    PeerDto dto;
    dto.uuid = uuid;
    dto.type = QStringLiteral("nusk");
    auto *peer = new IPeer(dto, parent);
    peer->setName(name);
    peer->setIcon(QStringLiteral("computer"));
    peer->setDeviceType(IPeer::DeviceDesktop);
    peer->setLinkState(linkState);
    attachPeerModels(peer);
    bindPeerModels(peer);
    return peer;
}

void setDrives(IPeer *peer, const QList<std::tuple<QString, quint64, quint64>> &drives)
{
    auto *model = qobject_cast<VfsDriveModel *>(peer->vfsDriveModel());
    std::vector<VfsDrive> list;
    for (const auto &d : drives) {
        VfsDrive drive;
        drive.path = std::get<0>(d);
        drive.name = drive.path;
        drive.bytesTotal = std::get<1>(d);
        drive.bytesAvailable = std::get<2>(d);
        list.push_back(drive);
    }
    model->updateDrives(list);
    model->processUpdatedDrivesQueue();
}

QObject *findObject(QObject *root, const QString &objectName)
{
    if (!root)
        return nullptr;
    if (root->objectName() == objectName)
        return root;
    if (auto *item = qobject_cast<QQuickItem *>(root)) {
        for (QQuickItem *child : item->childItems()) {
            if (QObject *found = findObject(child, objectName))
                return found;
        }
    }
    return root->findChild<QObject *>(objectName);
}

bool waitLaidOut(QQuickWidget *widget, int limitMs)
{
    // Shared with the queued call, which may run after a wait that gave up.
    auto framed = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(
        widget,
        [widget, framed] {
            QQuickWindow *scene = widget->quickWindow();
            auto once = std::make_shared<QMetaObject::Connection>();
            *once = QObject::connect(scene, &QQuickWindow::afterSynchronizing, widget, [framed, once] {
                *framed = true;
                QObject::disconnect(*once);
            });
            scene->update();
        },
        Qt::QueuedConnection);
    return QTest::qWaitFor([&] { return *framed; }, limitMs);
}

bool settledAt(QQuickWidget *widget, const std::function<QPointF()> &position, QPointF *at)
{
    QPointF before(-1, -1);
    for (int same = 0; same < 2;) {
        if (!waitLaidOut(widget))
            return false;
        *at = position();
        same = *at == before ? same + 1 : 0;
        before = *at;
    }
    return true;
}

QQuickItem *findItem(QQuickWidget *widget, const QString &objectName)
{
    return qobject_cast<QQuickItem *>(findObject(widget->rootObject(), objectName));
}

} // namespace panestest
