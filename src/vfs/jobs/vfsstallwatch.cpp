#include "vfs/jobs/vfsstallwatch.h"

#include "app/base/log.h"
#include "peers/ipeer.h"
#include "vfs/fso/vfsmessage.h"

#include <QtGlobal>

VfsStallWatch::VfsStallWatch(Events events, QObject *parent)
    : QObject(parent)
    , m_events(std::move(events))
    , m_timer(this)
{
    connect(&m_timer, &QTimer::timeout, this, &VfsStallWatch::look);
}

void VfsStallWatch::setPeers(IPeer *source, IPeer *destination)
{
    m_source = source;
    m_destination = destination;
}

void VfsStallWatch::start()
{
    if (m_timer.isActive())
        return;
    m_quiet.start();
    // A fifth of the limit: a wait shows at most that much later than it began.
    m_timer.start(qBound(50, m_limitMs / 5, 500));
}

void VfsStallWatch::heard()
{
    m_quiet.restart();
    if (!m_text.isEmpty())
        setText(QString());
}

void VfsStallWatch::look()
{
    const int sides = m_events.sidesOut ? m_events.sidesOut() : 0;
    const quint64 arrived = m_events.arriving ? m_events.arriving() : 0;
    if (sides == 0 || arrived != m_arrived) {
        m_arrived = arrived;
        return heard();
    }
    if (!m_text.isEmpty() || m_quiet.elapsed() < m_limitMs)
        return;
    // The computer of a side that has not answered; this one's own disk has no name to give.
    QString name;
    const IPeer *silent[] = {sides & SourceSide ? m_source.data() : nullptr,
                             sides & DestinationSide ? m_destination.data() : nullptr};
    for (const IPeer *peer : silent) {
        if (peer && !peer->isLocal()) {
            name = peer->displayName();
            break;
        }
    }
    logPrintf(LogVcpa, "nothing came back for %lld ms (sides %d)", (long long)m_quiet.elapsed(), sides);
    setText(name.isEmpty() ? vfstext::message("copy-waiting-data", "waiting for data")
                           : vfstext::message("copy-waiting-for", "waiting for %1").arg(name));
}

void VfsStallWatch::setText(const QString &text)
{
    m_text = text;
    Q_EMIT changed();
}
