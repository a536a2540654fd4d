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
    for (QElapsedTimer &quiet : m_quiet)
        quiet.start();
    // A fifth of the limit: a wait shows at most that much later than it began.
    m_timer.start(qBound(50, m_limitMs / 5, 500));
}

void VfsStallWatch::heard(int sides)
{
    for (int i = 0; i < 2; ++i) {
        if (sides & (1 << i))
            m_quiet[i].restart();
    }
    if (!m_text.isEmpty() && (sides & m_named))
        setText(QString(), 0);
}

void VfsStallWatch::look()
{
    const int sides = m_events.sidesOut ? m_events.sidesOut() : 0;
    const quint64 arrived = m_events.arriving ? m_events.arriving() : 0;
    if (arrived != m_arrived) {
        m_arrived = arrived;
        return heard();
    }
    // A side with nothing out is not silent: its quiet counts from its next request.
    for (int i = 0; i < 2; ++i) {
        if (!(sides & (1 << i)))
            m_quiet[i].restart();
    }
    if (!m_text.isEmpty()) {
        if (!(sides & m_named))
            setText(QString(), 0);
        return;
    }
    int silent = 0;
    for (int i = 0; i < 2; ++i) {
        if ((sides & (1 << i)) && m_quiet[i].elapsed() >= m_limitMs)
            silent |= 1 << i;
    }
    if (!silent)
        return;
    // The computer of a side that has not answered; this one's own disk has no name to give.
    const IPeer *peers[] = {m_source.data(), m_destination.data()};
    for (int i = 0; i < 2; ++i) {
        const IPeer *peer = peers[i];
        if ((silent & (1 << i)) && peer && !peer->isLocal()) {
            logPrintf(LogVcpa, "nothing came back for %lld ms (side %d)", (long long)m_quiet[i].elapsed(), 1 << i);
            return setText(vfstext::message("copy-waiting-for", "waiting for %1").arg(peer->displayName()), 1 << i);
        }
    }
    setText(vfstext::message("copy-waiting-data", "waiting for data"), silent);
}

void VfsStallWatch::setText(const QString &text, int sides)
{
    m_text = text;
    m_named = sides;
    Q_EMIT changed();
}
