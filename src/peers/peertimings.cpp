#include "peers/peertimings.h"

#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex g_mutex;
PeerTimings g_timings;
}

void setPeerTimings(const PeerTimings &timings)
{
    QMutexLocker lock(&g_mutex);
    g_timings = timings;
    if (g_timings.retryInitialMs < 1)
        g_timings.retryInitialMs = 1;
    if (g_timings.retryMaxMs < g_timings.retryInitialMs)
        g_timings.retryMaxMs = g_timings.retryInitialMs;
}

PeerTimings peerTimings()
{
    QMutexLocker lock(&g_mutex);
    return g_timings;
}
