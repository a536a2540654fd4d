#include "peers/peervfsprovider.h"

#include <atomic>

namespace {
std::atomic<IPeerVfsProvider *> g_provider{nullptr};
}

void setPeerVfsProvider(IPeerVfsProvider *provider)
{
    g_provider.store(provider);
}

IPeerVfsProvider *peerVfsProvider()
{
    return g_provider.load();
}
