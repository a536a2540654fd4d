#pragma once

// The desktop's proxy setting, for the few connections that go to the internet rather than
// to peers (the update check).

#include <QNetworkProxy>
#include <QObject>

class Proxy : public QObject
{
    Q_OBJECT

public:
    explicit Proxy(QObject *parent = nullptr);

    // The first HTTP or SOCKS5 proxy the system names for a default query; a default
    // QNetworkProxy (no proxy) when there is none.
    QNetworkProxy systemProxy();
};
