#pragma once

// A UDP relay for the transport tests: sits between one client and a target port on
// 127.0.0.1, loses, duplicates and reorders datagrams on request, records what passes and
// lets the test inject datagrams of its own towards the target.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QRandomGenerator>
#include <QUdpSocket>

namespace testutil {

class LossyUdpRelay : public QObject
{
    Q_OBJECT

public:
    explicit LossyUdpRelay(quint16 targetPort, QObject *parent = nullptr);

    quint16 port() const { return m_socket.localPort(); }
    void setLoss(double loss) { m_loss = loss; }
    void setDuplicate(double duplicate) { m_duplicate = duplicate; }
    // Held datagrams go out after the next few in the same direction.
    void setReorder(double reorder) { m_reorder = reorder; }

    // Datagrams that went client -> target, as they were sent.
    const QList<QByteArray> &clientDatagrams() const { return m_recorded; }
    void injectToTarget(const QByteArray &datagram);
    void injectToClient(const QByteArray &datagram);

private:
    void onReadyRead();
    void pass(const QByteArray &datagram, bool toTarget);

    QUdpSocket m_socket;
    quint16 m_target;
    QHostAddress m_clientAddress;
    quint16 m_clientPort = 0;
    double m_loss = 0, m_duplicate = 0, m_reorder = 0;
    QRandomGenerator m_rng{4711};
    QList<QByteArray> m_recorded;
    QList<QPair<QByteArray, bool>> m_held;
};

} // namespace testutil
