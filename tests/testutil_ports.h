#pragma once

// Ports a test hands to a program it starts, which binds them itself a moment later (and again
// after each restart). The system gives ports of its ephemeral range to every bind to port 0
// and to every outgoing connection, so a port found free there may be taken by a test running
// alongside before the program binds it: the program then cannot listen at all. A port below
// that range is taken only by a test that picks one the same way, at random.

#include <QFile>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QUdpSocket>

namespace testutil {

// A port free for TCP and UDP on every address right now, below the ephemeral range where the
// machine leaves room for it; 0 when none was found.
inline quint16 portKeptForLater()
{
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    int ephemeralLow = 32768;
    if (range.open(QIODevice::ReadOnly))
        ephemeralLow = range.readAll().simplified().split(' ').value(0).toInt();
    const int low = 10000;
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = ephemeralLow > low + 1000 ? int(QRandomGenerator::global()->bounded(low, ephemeralLow)) : 0;
        QTcpServer tcp;
        QUdpSocket udp;
        if (tcp.listen(QHostAddress::Any, quint16(port)) && udp.bind(QHostAddress(QHostAddress::Any), tcp.serverPort()))
            return tcp.serverPort();
    }
    return 0;
}

} // namespace testutil
