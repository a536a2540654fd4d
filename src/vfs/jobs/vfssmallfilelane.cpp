#include "vfs/jobs/vfssmallfilelane.h"

#include "app/base/log.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/jobs/vfsjob.h"

#include <QMutexLocker>

#include <type_traits>

struct VfsSmallFileLane::Slot
{
    enum Phase { Free, Removing, Opening, Reading, Writing, Renaming, Putting, Comparing, Closing };

    template <typename Record>
    struct Out
    {
        Record record;
        bool busy = false;
    };

    Phase phase = Free;
    File file;
    // Handles this slot holds open; 0 once an answer says the server closed them.
    quint16 srcHandle = 0;
    quint16 dstHandle = 0;
    Out<VfsOpenFileJob> openSrc;
    Out<VfsOpenFileJob> openDst;
    Out<VfsReadFileJob> read;
    Out<VfsWriteFileJob> write;
    Out<VfsMoveJob> move;
    Out<VfsPutFileJob> put;
    Out<VfsGetFileJob> get;
    Out<VfsGetFileJob> getDst; // the destination's copy, read for a comparison
    Out<VfsCloseFileJob> closeSrc;
    Out<VfsCloseFileJob> closeDst;
    // The hidden file this slot made; removed again when the file is handed back, so the
    // other path starts clean and a file the user then skips leaves nothing behind.
    bool made = false;
    Out<VfsDeleteFileJob> remove;
    // A request for this file went without an answer (the link may have dropped).
    bool unanswered = false;
};

namespace {

template <typename Record>
void send(VfsClient *client, Record &record, bool &busy, void (VfsClient::*op)(Record *))
{
    busy = true;
    (client->*op)(&record);
}

} // namespace

VfsSmallFileLane::VfsSmallFileLane(Events events)
    : m_events(std::move(events))
{
    for (int i = 0; i < kFilesInFlight; ++i) {
        m_slots.emplace_back(new Slot);
        Slot *s = m_slots.back().get();
        s->read.record.data.reserve(kMaxSize);
        // Each answer notes at once what it says about the handles, whatever the phase: an
        // abort closes exactly what is still open.
        auto route = [this, s](auto &out, auto onAnswer) {
            using Record = std::decay_t<decltype(out.record)>;
            auto *o = &out;
            out.record.done = [this, s, o, onAnswer](Record *) {
                m_events.post([this, s, o, onAnswer] {
                    if (!o->busy || !vfsRequestEnded(o->record.jobStatus))
                        return;
                    o->busy = false;
                    s->unanswered = s->unanswered || o->record.jobStatus != JobFinished;
                    onAnswer(o->record);
                    m_events.answered();
                });
            };
        };
        route(s->openSrc, [s](const VfsOpenFileJob &r) {
            if (r.jobStatus == JobFinished && r.status == FSO_STATUS_SUCCESS)
                s->srcHandle = r.handle;
        });
        route(s->openDst, [s](const VfsOpenFileJob &r) {
            if (r.jobStatus == JobFinished && r.status == FSO_STATUS_SUCCESS) {
                s->dstHandle = r.handle;
                s->made = true;
            }
        });
        route(s->remove, [s](const VfsDeleteFileJob &) { s->made = false; });
        route(s->read, [s](const VfsReadFileJob &r) {
            if (r.jobStatus == JobFinished && r.status == FSO_STATUS_END_OF_FILE)
                s->srcHandle = 0;
        });
        route(s->write, [s](const VfsWriteFileJob &r) {
            // Answered at all, the write closed its file, whatever it reports.
            if (r.jobStatus == JobFinished)
                s->dstHandle = 0;
        });
        route(s->move, [](const VfsMoveJob &) {});
        route(s->put, [](const VfsPutFileJob &) {});
        route(s->get, [](const VfsGetFileJob &) {});
        route(s->getDst, [](const VfsGetFileJob &) {});
        // Closed or not, the handle is no longer ours: the server drops idle handles.
        route(s->closeSrc, [s](const VfsCloseFileJob &) { s->srcHandle = 0; });
        route(s->closeDst, [s](const VfsCloseFileJob &) { s->dstHandle = 0; });
    }
}

VfsSmallFileLane::~VfsSmallFileLane()
{
    withdraw(true);
}

bool VfsSmallFileLane::canCompare(const VfsClient *source, const VfsClient *destination)
{
    return source && destination && source->canPutFile() && destination->canPutFile();
}

void VfsSmallFileLane::begin(VfsClient *source, VfsClient *destination, std::vector<File> files)
{
    m_src = source;
    m_dst = destination;
    m_put = destination && destination->canPutFile();
    m_get = source && source->canPutFile();
    m_queue.assign(std::make_move_iterator(files.begin()), std::make_move_iterator(files.end()));
    for (auto &slot : m_slots)
        slot->phase = Slot::Free;
}

bool VfsSmallFileLane::step(bool startNew)
{
    bool working = false;
    for (auto &slot : m_slots) {
        stepSlot(*slot);
        if (startNew && slot->phase == Slot::Free && !m_queue.empty())
            startFile(*slot);
        working = working || slot->phase != Slot::Free;
    }
    return working || !m_queue.empty();
}

void VfsSmallFileLane::startFile(Slot &s)
{
    if (!m_src || !m_dst)
        return;
    s.file = std::move(m_queue.front());
    m_queue.pop_front();
    s.made = false;
    s.unanswered = false;
    m_events.started(s.file);
    if (s.file.found == OwnHidden) {
        // Made by this job and never finished: its one block is sent again, not compared.
        s.phase = Slot::Removing;
        VfsDeleteFileJob &r = s.remove.record;
        r.flags = FSO_DELETE_PERMANENT;
        r.path = s.file.partPath;
        r.status = 0;
        send(m_dst, r, s.remove.busy, &VfsClient::deleteFile);
        return;
    }
    if (s.file.found == MaybeFinished) {
        // Both sides whole, at once; nothing is opened, nothing written.
        s.phase = Slot::Comparing;
        if (!canCompare(m_src, m_dst))
            return handBack(s);
        auto readWhole = [&s](Slot::Out<VfsGetFileJob> &get, VfsClient *client, const QString &path) {
            get.record.path = path;
            get.record.size = quint32(s.file.item.size);
            get.record.status = 0;
            send(client, get.record, get.busy, &VfsClient::getFile);
        };
        readWhole(s.get, m_src, s.file.item.path);
        readWhole(s.getDst, m_dst, s.file.dstPath);
        return;
    }
    sendOpens(s);
}

void VfsSmallFileLane::sendOpens(Slot &s)
{
    s.phase = Slot::Opening;
    const VfsCopyItem &item = s.file.item;
    VfsOpenFileJob &src = s.openSrc.record;
    src.flags = FSO_OPEN_READ;
    src.path = item.path;
    src.accessTime = src.creationTime = src.modificationTime = 0;
    src.size = 0;
    src.permissions = -1;
    src.handle = 0;
    // New only: a hidden file that turned up since the listing is left to the other path.
    // The times are kept by the server and set when the write closes the file; a file
    // never completed keeps its hidden name, so they can't make it look finished.
    VfsOpenFileJob &dst = s.openDst.record;
    dst.flags = FSO_OPEN_WRITE | FSO_OPEN_EXCLUSIVE;
    dst.path = s.file.partPath;
    dst.accessTime = item.atime;
    dst.creationTime = item.ctime;
    dst.modificationTime = item.mtime;
    dst.size = 0;
    dst.permissions = item.permissions;
    dst.handle = 0;
    if (m_get) {
        VfsGetFileJob &g = s.get.record;
        g.path = item.path;
        g.size = quint32(item.size);
        g.status = 0;
        send(m_src, g, s.get.busy, &VfsClient::getFile);
    } else {
        send(m_src, src, s.openSrc.busy, &VfsClient::openFile);
    }
    if (!m_put)
        send(m_dst, dst, s.openDst.busy, &VfsClient::openFile);
}

void VfsSmallFileLane::stepSlot(Slot &s)
{
    const quint32 size = quint32(s.file.item.size);
    switch (s.phase) {
    case Slot::Free:
        return;
    case Slot::Removing: {
        if (s.remove.busy)
            return;
        const VfsDeleteFileJob &r = s.remove.record;
        if (r.jobStatus != JobFinished || (r.status != FSO_STATUS_SUCCESS && r.status != FSO_STATUS_NOT_FOUND)) {
            logPrintf(LogVcpa, "small file %s: hidden file not removed (%u)", qPrintable(s.file.partPath),
                      unsigned(r.status));
            return handBack(s);
        }
        return sendOpens(s);
    }
    case Slot::Comparing:
        return compare(s);
    case Slot::Opening: {
        if (s.openSrc.busy || s.openDst.busy || s.get.busy)
            return;
        if ((!s.srcHandle && !m_get) || (!s.dstHandle && !m_put) || !m_src) {
            logPrintf(LogVcpa, "small file %s: open failed (%u, %u)", qPrintable(s.file.item.path),
                      unsigned(s.openSrc.record.status), unsigned(s.openDst.record.status));
            return handBack(s);
        }
        if (m_get) {
            // The whole file, as planned: anything else is for the other path.
            const VfsGetFileJob &g = s.get.record;
            if (g.jobStatus != JobFinished || g.status != FSO_STATUS_END_OF_FILE || g.data.size() != size) {
                logPrintf(LogVcpa, "small file %s: get status %u, %u of %u bytes", qPrintable(s.file.item.path),
                          unsigned(g.status), unsigned(g.data.size()), unsigned(size));
                return handBack(s);
            }
            s.read.record.data.swap(s.get.record.data);
            return sendData(s, size);
        }
        VfsReadFileJob &r = s.read.record;
        r.flags = FSO_READ_CLOSE_AT_EOF;
        r.handle = s.srcHandle;
        r.offset = 0;
        r.size = size;
        r.receivedSize = 0;
        r.data.clear();
        s.phase = Slot::Reading;
        send(m_src, r, s.read.busy, &VfsClient::readFile);
        return;
    }
    case Slot::Reading: {
        if (s.read.busy)
            return;
        const VfsReadFileJob &r = s.read.record;
        // The whole file in one read that ends it: anything else (a source that grew or
        // shrank) is for the other path, which plans it anew.
        if (r.jobStatus != JobFinished || r.status != FSO_STATUS_END_OF_FILE || r.receivedSize != size
            || r.data.size() < size || !m_dst) {
            logPrintf(LogVcpa, "small file %s: read status %u, %u of %u bytes", qPrintable(s.file.item.path),
                      unsigned(r.status), unsigned(r.receivedSize), unsigned(size));
            return handBack(s);
        }
        return sendData(s, size);
    }
    case Slot::Writing: {
        if (s.write.busy)
            return;
        VfsWriteFileJob &w = s.write.record;
        // Give the buffer back to the read of the next file.
        s.read.record.data.swap(w.data);
        if (w.jobStatus != JobFinished || w.status != FSO_STATUS_SUCCESS || w.written != size || !m_dst) {
            logPrintf(LogVcpa, "small file %s: write status %u, %u of %u bytes", qPrintable(s.file.item.path),
                      unsigned(w.status), unsigned(w.written), unsigned(size));
            return handBack(s);
        }
        m_events.written(size);
        {
            QMutexLocker lock(&s.move.record.mutex);
            s.move.record.flags = FSO_MOVE_SAME_VOLUME | FSO_MOVE_NO_REPLACE;
            s.move.record.source = s.file.partPath;
            s.move.record.destination = s.file.dstPath;
            s.move.record.status = 0;
        }
        s.phase = Slot::Renaming;
        m_events.renaming(s.file);
        send(m_dst, s.move.record, s.move.busy, &VfsClient::move);
        return;
    }
    case Slot::Renaming: {
        if (s.move.busy)
            return;
        bool answered;
        bool done;
        {
            QMutexLocker lock(&s.move.record.mutex);
            answered = s.move.record.jobStatus == JobFinished;
            done = answered && s.move.record.status == FSO_STATUS_SUCCESS;
        }
        m_events.renamed(s.file, answered);
        if (!done) {
            logPrintf(LogVcpa, "small file %s: rename to its real name failed", qPrintable(s.file.dstPath));
            return handBack(s);
        }
        s.phase = Slot::Free;
        m_events.finished(s.file);
        return;
    }
    case Slot::Putting: {
        if (s.put.busy)
            return;
        VfsPutFileJob &p = s.put.record;
        s.read.record.data.swap(p.data);
        const bool answered = p.jobStatus == JobFinished;
        m_events.renamed(s.file, answered);
        if (!answered || p.status != FSO_STATUS_SUCCESS || !m_dst) {
            logPrintf(LogVcpa, "small file %s: put status %u", qPrintable(s.file.dstPath), unsigned(p.status));
            return handBack(s);
        }
        m_events.written(size);
        s.phase = Slot::Free;
        m_events.finished(s.file);
        return;
    }
    case Slot::Closing:
        handBack(s);
        return;
    }
}

void VfsSmallFileLane::compare(Slot &s)
{
    if (s.get.busy || s.getDst.busy)
        return;
    const auto size = std::size_t(s.file.item.size);
    auto whole = [size](const VfsGetFileJob &g) {
        return g.jobStatus == JobFinished && g.status == FSO_STATUS_END_OF_FILE && g.data.size() == size;
    };
    if (!whole(s.get.record) || !whole(s.getDst.record) || s.get.record.data != s.getDst.record.data) {
        logPrintf(LogVcpa, "small file %s: not the source's copy (%u, %u)", qPrintable(s.file.dstPath),
                  unsigned(s.get.record.status), unsigned(s.getDst.record.status));
        return handBack(s);
    }
    logPrintf(LogVcpa, "small file %s was finished already", qPrintable(s.file.dstPath));
    s.phase = Slot::Free;
    m_events.finished(s.file);
}

void VfsSmallFileLane::sendData(Slot &s, quint32 size)
{
    if (!m_put) {
        VfsWriteFileJob &w = s.write.record;
        w.flags = FSO_WRITE_CLOSE;
        w.handle = s.dstHandle;
        w.offset = 0;
        w.size = size;
        w.data.swap(s.read.record.data);
        w.written = 0;
        s.phase = Slot::Writing;
        m_events.writing(size);
        send(m_dst, w, s.write.busy, &VfsClient::writeFile);
        return;
    }
    // The server removes the hidden file of a put that fails; one whose answer is lost may
    // have taken its real name, which the job then finds as for a lost rename.
    const VfsCopyItem &item = s.file.item;
    VfsPutFileJob &p = s.put.record;
    p.accessTime = item.atime;
    p.modificationTime = item.mtime;
    p.permissions = item.permissions;
    p.path = s.file.dstPath;
    p.hiddenPath = s.file.partPath;
    p.data.swap(s.read.record.data);
    p.data.resize(size);
    p.status = 0;
    s.phase = Slot::Putting;
    m_events.writing(size);
    m_events.renaming(s.file);
    send(m_dst, p, s.put.busy, &VfsClient::putFile);
}

void VfsSmallFileLane::handBack(Slot &s)
{
    s.phase = Slot::Closing;
    if (s.openSrc.busy || s.openDst.busy || s.closeSrc.busy || s.closeDst.busy || s.remove.busy)
        return;
    bool open = false;
    if (s.srcHandle && m_src) {
        s.closeSrc.record.flags = 0;
        s.closeSrc.record.handle = s.srcHandle;
        send(m_src, s.closeSrc.record, s.closeSrc.busy, &VfsClient::closeFile);
        open = true;
    }
    if (s.dstHandle && m_dst) {
        s.closeDst.record.flags = 0;
        s.closeDst.record.handle = s.dstHandle;
        send(m_dst, s.closeDst.record, s.closeDst.busy, &VfsClient::closeFile);
        open = true;
    }
    if (open)
        return;
    if (s.made && m_dst) {
        s.remove.record.flags = 0;
        s.remove.record.path = s.file.partPath;
        s.made = false; // asked once; a lost answer leaves it to the other path
        send(m_dst, s.remove.record, s.remove.busy, &VfsClient::deleteFile);
        return;
    }
    s.srcHandle = s.dstHandle = 0;
    s.phase = Slot::Free;
    m_events.handedBack(s.file, s.unanswered);
}

bool VfsSmallFileLane::anyBusy() const
{
    for (const auto &slot : m_slots) {
        const Slot &s = *slot;
        if (s.openSrc.busy || s.openDst.busy || s.read.busy || s.write.busy || s.move.busy || s.put.busy || s.get.busy
            || s.getDst.busy || s.closeSrc.busy || s.closeDst.busy || s.remove.busy)
            return true;
    }
    return false;
}

void VfsSmallFileLane::withdraw(bool all)
{
    for (auto &slot : m_slots) {
        Slot &s = *slot;
        releaseIfBusy(s.read.record, s.read.busy);
        releaseIfBusy(s.write.record, s.write.busy);
        releaseIfBusy(s.move.record, s.move.busy);
        releaseIfBusy(s.put.record, s.put.busy);
        releaseIfBusy(s.get.record, s.get.busy);
        releaseIfBusy(s.getDst.record, s.getDst.busy);
        releaseIfBusy(s.remove.record, s.remove.busy);
        if (all) {
            releaseIfBusy(s.openSrc.record, s.openSrc.busy);
            releaseIfBusy(s.openDst.record, s.openDst.busy);
            releaseIfBusy(s.closeSrc.record, s.closeSrc.busy);
            releaseIfBusy(s.closeDst.record, s.closeDst.busy);
        }
    }
}

bool VfsSmallFileLane::closeHandles()
{
    bool open = false;
    for (auto &slot : m_slots) {
        Slot &s = *slot;
        if (s.openSrc.busy || s.openDst.busy) {
            open = true;
            continue;
        }
        if (s.srcHandle && !s.closeSrc.busy && !s.read.busy) {
            if (m_src) {
                s.closeSrc.record.flags = 0;
                s.closeSrc.record.handle = s.srcHandle;
                send(m_src, s.closeSrc.record, s.closeSrc.busy, &VfsClient::closeFile);
            } else {
                s.srcHandle = 0;
            }
        }
        if (s.dstHandle && !s.closeDst.busy && !s.write.busy) {
            if (m_dst) {
                s.closeDst.record.flags = 0;
                s.closeDst.record.handle = s.dstHandle;
                send(m_dst, s.closeDst.record, s.closeDst.busy, &VfsClient::closeFile);
            } else {
                s.dstHandle = 0;
            }
        }
        open = open || s.srcHandle || s.dstHandle;
    }
    return !open;
}

void VfsSmallFileLane::clear()
{
    m_queue.clear();
    for (auto &slot : m_slots)
        slot->phase = Slot::Free;
}
