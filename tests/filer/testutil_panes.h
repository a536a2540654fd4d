#pragma once

// What the file-manager tests share: the QML engine the window would build (the program's
// QML module, the context properties "mainWindow" and "peerModel"), the file layer plugged
// into peers, and a peer with hand-fed drives.

#include "peers/ipeer.h"

#include <QObject>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWidget>

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

// The first item of the widget's scene with this object name.
QQuickItem *findItem(QQuickWidget *widget, const QString &objectName);
QObject *findObject(QObject *root, const QString &objectName);

} // namespace panestest
