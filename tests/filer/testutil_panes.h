#pragma once

// What the file-manager tests share: the QML engine the window would build (the program's
// QML module, the context properties "mainWindow" and "peerModel"), the file layer plugged
// into peers, and a peer with hand-fed drives.

#include "peers/ipeer.h"

#include <QObject>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWidget>

#include <functional>
#include <memory>

class PeerModel;

namespace panestest {

// The main window's switch as the pages read and write it.
class FakeMainWindow : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool networkEnabled READ networkEnabled WRITE setNetworkEnabled NOTIFY networkEnabledChanged)
public:
    bool networkEnabled() const { return m_enabled; }
    void setNetworkEnabled(bool on)
    {
        if (on != m_enabled) {
            m_enabled = on;
            Q_EMIT networkEnabledChanged();
        }
    }
Q_SIGNALS:
    void networkEnabledChanged();

private:
    bool m_enabled = true;
};

// Once per process: resources, QML types, the file layer's provider, English texts.
void setUpProcess();

// An engine with the window's context properties over `model`.
std::unique_ptr<QQmlEngine> makeEngine(FakeMainWindow *mainWindow, PeerModel *model);

// A peer (not networked) with drive and file models; `drives` pairs of path, total, free.
IPeer *makePeer(const QString &uuid, const QString &name, int linkState, QObject *parent = nullptr);
void setDrives(IPeer *peer, const QList<std::tuple<QString, quint64, quint64>> &drives);

// Waits until the widget's scene has run what is queued now (what Qt.callLater put off, a
// layout a change asked for) and has been laid out since: a frame asked for once the queue
// has run polishes every item before it synchronises. False when no frame came in `limitMs`.
bool waitLaidOut(QQuickWidget *widget, int limitMs = 10000);
// Where `position` puts an item once the widget's scene has been laid out twice over without
// moving it (a layout may ask for another); false when the scene was not laid out.
bool settledAt(QQuickWidget *widget, const std::function<QPointF()> &position, QPointF *at);

// The first item of the widget's scene with this object name.
QQuickItem *findItem(QQuickWidget *widget, const QString &objectName);
QObject *findObject(QObject *root, const QString &objectName);

} // namespace panestest
