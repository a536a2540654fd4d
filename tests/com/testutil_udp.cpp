#include "testutil_udp.h"

#include <QNetworkDatagram>

namespace testutil {

LossyUdpRelay::LossyUdpRelay(quint16 targetPort, QObject *parent)
    : QObject(parent)
    , m_target(targetPort)
{
    m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
    m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 8 * 1024 * 1024);
    connect(&m_socket, &QUdpSocket::readyRead, this, &LossyUdpRelay::onReadyRead);
}

void LossyUdpRelay::injectToTarget(const QByteArray &datagram)
{
    m_socket.writeDatagram(datagram, QHostAddress::LocalHost, m_target);
}

void LossyUdpRelay::injectToClient(const QByteArray &datagram)
{
    m_socket.writeDatagram(datagram, m_clientAddress, m_clientPort);
}

void LossyUdpRelay::onReadyRead()
{
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram d = m_socket.receiveDatagram();
        const bool fromTarget = d.senderPort() == m_target;
        if (!fromTarget) {
            m_clientAddress = d.senderAddress();
            m_clientPort = quint16(d.senderPort());
            if (m_recorded.size() < 100000)
                m_recorded.append(d.data());
        }
        pass(d.data(), !fromTarget);
    }
}

void LossyUdpRelay::pass(const QByteArray &datagram, bool toTarget)
{
    if (m_rng.generateDouble() < m_loss)
        return;
    if (m_rng.generateDouble() < m_reorder && m_held.size() < 8) {
        m_held.append({datagram, toTarget});
        return;
    }
    const int copies = m_rng.generateDouble() < m_duplicate ? 2 : 1;
    for (int i = 0; i < copies; ++i) {
        if (toTarget)
            injectToTarget(datagram);
        else
            injectToClient(datagram);
    }
    // What was held back goes out behind this one.
    for (int i = 0; i < m_held.size();) {
        if (m_held[i].second == toTarget && m_rng.bounded(2) == 0) {
            const QByteArray held = m_held.takeAt(i).first;
            toTarget ? injectToTarget(held) : injectToClient(held);
        } else {
            ++i;
        }
    }
}

} // namespace testutil
