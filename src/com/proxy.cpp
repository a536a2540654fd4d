#include "com/proxy.h"

#include "app/base/log.h"

#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>

Proxy::Proxy(QObject *parent)
    : QObject(parent)
{
}

QNetworkProxy Proxy::systemProxy()
{
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery());
    for (const QNetworkProxy &proxy : proxies) {
        logPrintf(LogNfo1, "proxy %s:%u, type: %d", qPrintable(proxy.hostName()), unsigned(proxy.port()),
                  int(proxy.type()));
        if (proxy.type() == QNetworkProxy::HttpProxy || proxy.type() == QNetworkProxy::Socks5Proxy)
            return proxy;
    }
    return QNetworkProxy();
}
