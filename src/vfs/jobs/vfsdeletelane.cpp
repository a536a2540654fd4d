#include "vfs/jobs/vfsdeletelane.h"

#include "app/base/log.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/jobs/vfscopydto.h"
#include "vfs/jobs/vfsjob.h"

#include <QMutexLocker>

#include <type_traits>

struct VfsDeleteLane::Slot
{
    enum Phase { Free, Listing, Deleting, Checking, LookingAgain };

    Phase phase = Free;
    VfsDeleteItem item;
    VfsListDirectoryJob list;
    bool listBusy = false;
    VfsDeleteFileJob del;
    bool delBusy = false;
    // Checking: the folder listed and the items answered "not found" that it decides;
    // looking again: the folder and the files deleted from it.
    QString checkedFolder;
    std::vector<VfsDeleteItem> checked;
};

namespace {

int lastSeparator(const QString &path)
{
    return qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
}

QString parentOf(const QString &path)
{
    const int sep = lastSeparator(path);
    return sep > 0 ? path.left(sep) : QString();
}

bool isFolder(const VfsDeleteItem &item)
{
    return item.type == VfsCopyItem::DirectoryType;
}

// Whether a delete of `item` may go out again: it names what it may take (a version, or a
// folder only when empty). A file without a version could be another file by then.
bool mayBeSentAgain(const VfsDeleteItem &item)
{
    return isFolder(item) || item.changeNs != 0 || item.inode != 0;
}

} // namespace

VfsDeleteLane::VfsDeleteLane(Events events)
    : m_events(std::move(events))
{
    for (int i = 0; i < kInFlight; ++i) {
        m_slots.emplace_back(new Slot);
        Slot *s = m_slots.back().get();
        auto route = [this, s](auto &record, bool &busy, void (VfsDeleteLane::*onAnswer)(Slot &)) {
            using Record = std::decay_t<decltype(record)>;
            record.done = [this, s, r = &record, b = &busy, onAnswer](Record *) {
                m_events.post([this, s, r, b, onAnswer] {
                    if (!*b || !vfsRequestEnded(r->jobStatus))
                        return;
                    *b = false;
                    (this->*onAnswer)(*s);
                    m_events.answered();
                });
            };
        };
        route(s->list, s->listBusy, &VfsDeleteLane::onListed);
        route(s->del, s->delBusy, &VfsDeleteLane::onDeleted);
    }
}

VfsDeleteLane::~VfsDeleteLane()
{
    withdraw();
}

void VfsDeleteLane::begin(VfsClient *client, quint32 flags, bool onlyEmptyFolders, std::vector<VfsDeleteItem> items,
                          int inFlight)
{
    m_client = client;
    m_inFlight = qBound(1, inFlight, kInFlight);
    m_flags = flags;
    m_onlyEmptyFolders = onlyEmptyFolders;
    m_held = false;
    m_queue = std::move(items);
    m_ready.clear();
    m_waiting.clear();
    m_pendingBelow.clear();
    m_doubted.clear();
    m_lookAgain.clear();
    for (const VfsDeleteItem &item : m_queue) {
        if (isFolder(item))
            m_pendingBelow.insert(item.path, 0);
    }
    for (const VfsDeleteItem &item : m_queue)
        countAbove(item, +1);
    for (auto &slot : m_slots) {
        slot->phase = Slot::Free;
        slot->checked.clear();
    }
}

bool VfsDeleteLane::step()
{
    bool working = false;
    for (int i = 0; i < m_inFlight; ++i) {
        const std::unique_ptr<Slot> &slot = m_slots[std::size_t(i)];
        while (slot->phase == Slot::Free && !m_held && (!m_ready.empty() || !m_queue.empty())) {
            std::vector<VfsDeleteItem> &from = m_ready.empty() ? m_queue : m_ready;
            VfsDeleteItem item = std::move(from.back());
            from.pop_back();
            if (waitsForContent(item))
                m_waiting.insert(item.path, std::move(item));
            else
                start(*slot, item);
        }
        if (slot->phase == Slot::Free && !m_held && !m_lookAgain.isEmpty()) {
            const auto next = m_lookAgain.begin();
            const QString folder = next.key();
            std::vector<VfsDeleteItem> files = std::move(next.value());
            m_lookAgain.erase(next);
            startLookingAgain(*slot, folder, std::move(files));
        }
        working = working || slot->phase != Slot::Free;
    }
    return working;
}

bool VfsDeleteLane::waitsForContent(const VfsDeleteItem &item) const
{
    return isFolder(item) && m_pendingBelow.value(item.path) > 0;
}

void VfsDeleteLane::countAbove(const VfsDeleteItem &item, int delta)
{
    if (m_pendingBelow.isEmpty())
        return;
    for (QString folder = parentOf(item.path); !folder.isEmpty(); folder = parentOf(folder)) {
        const auto it = m_pendingBelow.find(folder);
        if (it == m_pendingBelow.end())
            continue;
        *it += delta;
        if (*it == 0) {
            const auto waiting = m_waiting.find(folder);
            if (waiting != m_waiting.end()) {
                m_ready.push_back(std::move(*waiting));
                m_waiting.erase(waiting);
            }
        }
    }
}

void VfsDeleteLane::start(Slot &s, const VfsDeleteItem &item)
{
    s.item = item;
    if (!m_client)
        return end(s, Unanswered);
    if (!(m_onlyEmptyFolders && isFolder(item)))
        return sendDelete(s);
    // Never a recursive delete here: look first, delete only an empty folder.
    s.phase = Slot::Listing;
    list(s, item.path);
}

void VfsDeleteLane::sendDelete(Slot &s)
{
    s.phase = Slot::Deleting;
    s.del.flags = m_flags;
    if (m_onlyEmptyFolders && isFolder(s.item))
        s.del.flags |= FSO_DELETE_ONLY_EMPTY;
    s.del.path = s.item.path;
    s.del.expectChangeNs = s.item.changeNs;
    s.del.expectInode = s.item.inode;
    s.del.status = 0;
    s.del.failedPath.clear();
    s.delBusy = true;
    m_client->deleteFile(&s.del);
}

void VfsDeleteLane::onListed(Slot &s)
{
    if (s.phase == Slot::Checking)
        return onChecked(s);
    if (s.phase == Slot::LookingAgain)
        return onLookedAgain(s);
    QMutexLocker lock(&s.list.mutex);
    const bool finished = s.list.jobStatus == JobFinished;
    const bool empty = s.list.entries.empty();
    const quint8 status = s.list.status;
    lock.unlock();
    if (finished && empty)
        return m_client ? sendDelete(s) : end(s, Unanswered);
    if (finished)
        return end(s, KeptNotEmpty);
    if (status == FSO_STATUS_NOT_FOUND)
        return doubt(s);
    logPrintf(LogVmg1, "failed to list folder %s before deleting it, status %u", qPrintable(s.item.path),
              unsigned(status));
    end(s, status == FSO_STATUS_TIMEOUT ? Unanswered : Refused, status);
}

void VfsDeleteLane::onDeleted(Slot &s)
{
    const VfsDeleteFileJob &d = s.del;
    const bool onlyEmpty = d.flags & FSO_DELETE_ONLY_EMPTY;
    if (d.jobStatus != JobFinished && d.status == FSO_STATUS_TIMEOUT)
        return end(s, m_onlyEmptyFolders && !mayBeSentAgain(s.item) ? Unconfirmed : Unanswered, d.status);
    if (d.jobStatus != JobFinished)
        return end(s, Refused, d.status);
    switch (d.status) {
    case FSO_STATUS_SUCCESS:
        return end(s, Deleted);
    case FSO_STATUS_CHANGED:
        return end(s, KeptChanged);
    case FSO_STATUS_IO_ERROR:
        // Something the listing did not show is in the folder.
        return end(s, onlyEmpty ? KeptNotEmpty : Refused, d.status);
    case FSO_STATUS_NOT_FOUND:
        // After a cut every item was there when it was copied: gone now, it went with a
        // request whose answer was lost, or someone took it; either way it is not kept,
        // once its folder shows it gone.
        if (onlyEmpty || m_onlyEmptyFolders)
            return doubt(s);
        return end(s, Refused, d.status);
    case FSO_STATUS_NETWORK_PATH:
        return end(s, (d.flags & FSO_DELETE_TO_TRASH) ? TrashRefused : Refused, d.status);
    default:
        logPrintf(LogVmg1, "failed to to delete item %s, error 0x%02X", qPrintable(d.failedPath), unsigned(d.status));
        return end(s, Refused, d.status);
    }
}

void VfsDeleteLane::doubt(Slot &s)
{
    // Held (the link is down, or the job stops): not looked at now, nor taken as gone.
    if (m_held)
        return end(s, mayBeSentAgain(s.item) ? Unanswered : Unconfirmed, FSO_STATUS_NOT_FOUND);
    const QString folder = parentOf(s.item.path);
    // The shares' root lists the shares by their names, not by the paths that name them.
    if (folder.isEmpty() || folder == QLatin1String("%shares"))
        return end(s, Unconfirmed, FSO_STATUS_NOT_FOUND);
    const auto listed = m_doubted.find(folder);
    if (listed != m_doubted.end()) {
        // A listing of the folder is out already, and may have read it before this answer:
        // the next one decides.
        listed->push_back(s.item);
        s.phase = Slot::Free;
        return;
    }
    s.checked = {s.item};
    startCheck(s, folder);
}

void VfsDeleteLane::startCheck(Slot &s, const QString &folder)
{
    m_doubted.insert(folder, {});
    s.phase = Slot::Checking;
    s.checkedFolder = folder;
    if (!m_client)
        return settleCheck(s, false, FSO_STATUS_TIMEOUT, {});
    list(s, folder);
}

void VfsDeleteLane::list(Slot &s, const QString &folder)
{
    {
        QMutexLocker lock(&s.list.mutex);
        s.list.path = folder;
        s.list.entries.clear();
        s.list.status = 0;
    }
    s.listBusy = true;
    m_client->listDirectory(&s.list);
}

bool VfsDeleteLane::takeListing(Slot &s, quint8 *status, QSet<QString> *names)
{
    QMutexLocker lock(&s.list.mutex);
    *status = s.list.status;
    for (const VfsDirectoryEntry &entry : s.list.entries)
        names->insert(entry.name);
    s.list.entries.clear();
    return s.list.jobStatus == JobFinished;
}

void VfsDeleteLane::onChecked(Slot &s)
{
    quint8 status = 0;
    QSet<QString> names;
    const bool listed = takeListing(s, &status, &names);
    if (!listed)
        logPrintf(LogVmg1, "failed to list folder %s to see what went, status %u", qPrintable(s.checkedFolder),
                  unsigned(status));
    settleCheck(s, listed, status, names);
}

void VfsDeleteLane::settleCheck(Slot &s, bool listed, quint8 status, const QSet<QString> &names)
{
    std::vector<VfsDeleteItem> checked;
    checked.swap(s.checked);
    for (const VfsDeleteItem &item : checked) {
        if (listed) {
            // Still there: "not found" was not about the item itself (an older peer's answer
            // when it could not look at the name).
            if (names.contains(item.path.mid(lastSeparator(item.path) + 1)))
                endItem(item, Refused, FSO_STATUS_NOT_FOUND);
            else
                endItem(item, AlreadyGone, 0);
        } else if (status == FSO_STATUS_TIMEOUT) {
            endItem(item, mayBeSentAgain(item) ? Unanswered : Unconfirmed, status);
        } else {
            endItem(item, Unconfirmed, status);
        }
    }
    std::vector<VfsDeleteItem> next = m_doubted.take(s.checkedFolder);
    if (next.empty()) {
        s.phase = Slot::Free;
        return;
    }
    if (m_held) {
        s.phase = Slot::Free;
        for (const VfsDeleteItem &item : next)
            endItem(item, mayBeSentAgain(item) ? Unanswered : Unconfirmed, FSO_STATUS_NOT_FOUND);
        return;
    }
    s.checked = std::move(next);
    startCheck(s, s.checkedFolder);
}

void VfsDeleteLane::lookAgain(std::vector<VfsDeleteItem> files)
{
    for (VfsDeleteItem &file : files)
        m_lookAgain[parentOf(file.path)].push_back(std::move(file));
}

void VfsDeleteLane::startLookingAgain(Slot &s, const QString &folder, std::vector<VfsDeleteItem> files)
{
    if (!m_client)
        return;
    s.phase = Slot::LookingAgain;
    s.checkedFolder = folder;
    s.checked = std::move(files);
    list(s, folder);
}

void VfsDeleteLane::onLookedAgain(Slot &s)
{
    quint8 status = 0;
    QSet<QString> names;
    const bool listed = takeListing(s, &status, &names);
    std::vector<VfsDeleteItem> files;
    files.swap(s.checked);
    s.phase = Slot::Free;
    if (!listed) {
        logPrintf(LogVmg1, "failed to list folder %s to see what came back, status %u", qPrintable(s.checkedFolder),
                  unsigned(status));
        return;
    }
    for (const VfsDeleteItem &file : files) {
        if (names.contains(file.path.mid(lastSeparator(file.path) + 1)))
            m_events.ended(file, CameBack, 0);
    }
}

void VfsDeleteLane::end(Slot &s, Outcome outcome, quint8 status)
{
    s.phase = Slot::Free;
    endItem(s.item, outcome, status);
}

void VfsDeleteLane::endItem(const VfsDeleteItem &item, Outcome outcome, quint8 status)
{
    // Tried again later: the folders above it wait for it.
    if (outcome != Unanswered && outcome != TrashRefused)
        countAbove(item, -1);
    m_events.ended(item, outcome, status);
}

bool VfsDeleteLane::anyBusy() const
{
    for (const auto &slot : m_slots) {
        if (slot->listBusy || slot->delBusy)
            return true;
    }
    return false;
}

void VfsDeleteLane::withdraw()
{
    for (auto &slot : m_slots) {
        releaseIfBusy(slot->list, slot->listBusy);
        releaseIfBusy(slot->del, slot->delBusy);
        slot->phase = Slot::Free;
    }
}

std::vector<VfsDeleteItem> VfsDeleteLane::unsent() const
{
    // Folders waiting for their content sit above it in the list: before the queue's rest.
    std::vector<VfsDeleteItem> items;
    items.reserve(std::size_t(m_waiting.size()) + m_ready.size() + m_queue.size());
    for (const VfsDeleteItem &folder : m_waiting)
        items.push_back(folder);
    items.insert(items.end(), m_queue.begin(), m_queue.end());
    items.insert(items.end(), m_ready.begin(), m_ready.end());
    return items;
}
