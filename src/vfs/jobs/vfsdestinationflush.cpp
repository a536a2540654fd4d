#include "vfs/jobs/vfsdestinationflush.h"

#include "app/base/log.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/jobs/vfsjob.h"

VfsDestinationFlush::VfsDestinationFlush(Events events)
    : m_events(std::move(events))
{
    m_record.done = [this](VfsSyncJob *) { m_events.post([this] { onAnswer(); }); };
}

VfsDestinationFlush::~VfsDestinationFlush()
{
    releaseIfBusy(m_record, m_busy);
}

QString VfsDestinationFlush::keyOf(const QString &folder, quint64 volume)
{
    // A server that does not tell file systems apart: each folder is flushed on its own.
    return volume != 0 ? QString::number(volume) : QLatin1Char('/') + folder;
}

void VfsDestinationFlush::knowFolder(const QString &folder, quint64 volume)
{
    if (folder.isEmpty())
        return;
    Volume &v = m_volumes[keyOf(folder, volume)];
    if (!v.known.contains(folder)) {
        v.known.insert(folder);
        v.folders.append(folder);
    }
}

void VfsDestinationFlush::noteWritten(const QString &folder, quint64 volume)
{
    if (folder.isEmpty())
        return;
    Volume &v = m_volumes[keyOf(folder, volume)];
    // Tried first: the folder written into last is the likeliest to be there still.
    if (v.folders.isEmpty() || v.folders.first() != folder) {
        if (v.known.contains(folder))
            v.folders.removeOne(folder);
        v.known.insert(folder);
        v.folders.prepend(folder);
    }
    v.written = ++m_writes;
    if (!m_unflushed.isValid())
        m_unflushed.start();
    schedule();
}

void VfsDestinationFlush::flushWhileCopying(VfsClient *destination, int intervalMs)
{
    m_dst = destination;
    m_intervalMs = intervalMs;
    m_whileCopying = true;
    schedule();
}

void VfsDestinationFlush::schedule()
{
    // A flush sent while the link is away would only wait out its time.
    if (!m_whileCopying || m_gaveUp || m_busy || !m_unflushed.isValid() || !m_dst || !m_events.linkUp())
        return;
    const qint64 left = qMax(m_intervalMs - m_unflushed.elapsed(), m_ended.isValid() ? m_tookMs - m_ended.elapsed() : 0);
    if (left > 0) {
        if (!m_due) {
            m_due = true;
            m_events.later(int(left), [this, round = m_dueRound] {
                if (round != m_dueRound)
                    return;
                m_due = false;
                schedule();
            });
        }
        return;
    }
    send(false);
}

void VfsDestinationFlush::sendFinal(VfsClient *destination)
{
    m_dst = destination;
    m_whileCopying = false;
    // What is out covers less than the end's flush will.
    releaseIfBusy(m_record, m_busy);
    send(true);
}

void VfsDestinationFlush::send(bool final)
{
    m_round.clear();
    for (auto &v : m_volumes) {
        if (v.second.written > v.second.flushed) {
            m_round.append(v.first);
            v.second.covering = v.second.written;
        }
    }
    m_unflushed.invalidate();
    if (m_round.isEmpty()) {
        // Everything written is covered by a flush the destination confirmed.
        if (final)
            m_finalOutcome = Confirmed;
        return;
    }
    m_final = final;
    m_flush = m_events.sent();
    if (final)
        m_finalOutcome = Pending;
    m_sent.start();
    sendNext();
}

void VfsDestinationFlush::sendNext()
{
    Volume &v = m_volumes[m_round.first()];
    if (v.folders.isEmpty())
        return end(FolderGone);
    if (!m_dst)
        return end(LinkLost);
    m_record.path = v.folders.first();
    m_record.status = 0;
    m_busy = true;
    logPrintf(LogVcpa, "sync %s", qPrintable(m_record.path));
    m_dst->syncFileSystem(&m_record);
}

void VfsDestinationFlush::onAnswer()
{
    if (!m_busy || !vfsRequestEnded(m_record.jobStatus))
        return;
    m_busy = false;
    const QString folder = m_record.path;
    if (m_record.jobStatus != JobFinished)
        return end(m_events.linkUp() ? Unanswered : LinkLost);
    Volume &v = m_volumes[m_round.first()];
    if (m_record.status == FSO_STATUS_NOT_FOUND) {
        // Renamed or deleted, and everything below it with it: the next folder of that file
        // system is tried.
        logPrintf(LogVcpa, "sync through %s: not found", qPrintable(folder));
        for (auto it = v.folders.begin(); it != v.folders.end();) {
            if (*it == folder || (it->startsWith(folder) && it->size() > folder.size()
                                  && (it->at(folder.size()) == QLatin1Char('/') || it->at(folder.size()) == QLatin1Char('\\'))))
                it = v.folders.erase(it);
            else
                ++it;
        }
        m_folder = folder;
        return sendNext();
    }
    if (m_record.status != FSO_STATUS_SUCCESS) {
        m_status = m_record.status;
        m_folder = folder;
        return end(Failed);
    }
    m_round.removeFirst();
    if (!m_round.isEmpty())
        return sendNext();
    for (auto &volume : m_volumes)
        volume.second.flushed = qMax(volume.second.flushed, volume.second.covering);
    end(Confirmed);
}

void VfsDestinationFlush::end(Outcome outcome)
{
    m_tookMs = m_sent.elapsed();
    m_ended.start();
    m_round.clear();
    for (auto &volume : m_volumes)
        volume.second.covering = 0;
    if (outcome == Confirmed) {
        m_anyConfirmed = true;
        m_unansweredFinals = 0;
    } else if (m_final && outcome == Unanswered && m_anyConfirmed
               && ++m_unansweredFinals <= kUnansweredFinalsAsCuts) {
        outcome = LinkLost;
    }
    if (m_final) {
        m_finalOutcome = outcome;
    } else if (outcome == Failed || outcome == FolderGone || outcome == Unanswered) {
        // Nothing more is asked while copying; the end asks again and says what it means.
        m_gaveUp = true;
    }
    logPrintf(LogVcpa, "flush %llu ended after %lld ms: %d", (unsigned long long)m_flush, (long long)m_tookMs, int(outcome));
    m_events.ended(m_flush, outcome, m_final);
    schedule();
}

void VfsDestinationFlush::stop()
{
    releaseIfBusy(m_record, m_busy);
    m_round.clear();
    for (auto &volume : m_volumes)
        volume.second.covering = 0;
    m_whileCopying = false;
    m_gaveUp = false;
    m_due = false;
    ++m_dueRound;
    m_finalOutcome = NotSent;
}
