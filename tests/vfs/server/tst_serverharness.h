#pragma once

// Drives a VfsServerNusk the way a peer does: each request is encoded to bytes, decoded by
// the parser into a record and handed to the server; every message the server transmits is
// decoded again and queued here.

#include "../../testutil_timeouts.h"

#include "com/termstream.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsfenucommandparser.h"
#include "vfs/server/vfsserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class ServerHarness
{
public:
    explicit ServerHarness(bool isLocal, unsigned version = FSO_PROTOCOL_VERSION)
        : version(version), server(new VfsServerNusk(isLocal))
    {
        server->setProtocolVersion(std::uint16_t(version));
        QObject::connect(server.get(), &VfsServerNusk::fsoTransmit, server.get(),
                         [this](std::vector<unsigned char> message) { received(message); },
                         Qt::DirectConnection);
    }

    unsigned version;
    std::unique_ptr<VfsServerNusk> server;
    VfsFenuCommandParser parser;
    VfsFenuCommand record;          // reused for every request, as the peer does
    std::deque<VfsFenuCommand> replies;
    std::deque<VfsFenuCommand> notifications;
    int undecodable = 0;
    std::uint16_t nextTrId = 0x100;

    void received(const std::vector<unsigned char> &message)
    {
        VfsFenuCommand reply;
        if (!decodeFsoCommand(message.data(), message.size(), reply, version) || reply.msgClass != FSO_CLASS_REPLY
            || reply.length != message.size()) {
            ++undecodable;
            return;
        }
        if (reply.code == FSO_DIRECTORY_CHANGED)
            notifications.push_back(reply);
        else
            replies.push_back(reply);
    }

    // Sends without waiting; returns the TrId used.
    std::uint16_t post(VfsFenuCommand request)
    {
        request.msgClass = FSO_CLASS_REQUEST;
        if (request.trId == 0)
            request.trId = nextTrId++;
        std::vector<std::uint8_t> bytes;
        if (!encodeFsoMessage(request, version, bytes))
            return 0;
        if (!parser.processCommand(bytes, &record, std::uint16_t(version)))
            return 0;
        server->processIncomingCommand(record);
        return request.trId;
    }

    static bool waitUntil(const std::function<bool()> &done, int ms = 20000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > testutil::timeoutMs(ms))
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QTest::qSleep(1);
        }
        return true;
    }

    // Takes the reply to (code, trId); a record with status 0xFF when none came.
    VfsFenuCommand take(std::uint8_t code, std::uint16_t trId, int ms = 20000)
    {
        auto find = [&]() {
            for (auto it = replies.begin(); it != replies.end(); ++it) {
                if (it->code == (code | FSO_REPLY_BIT) && it->trId == trId)
                    return it;
            }
            return replies.end();
        };
        waitUntil([&]() { return find() != replies.end(); }, ms);
        auto it = find();
        if (it == replies.end()) {
            VfsFenuCommand none;
            none.status = 0xFF;
            return none;
        }
        VfsFenuCommand reply = *it;
        replies.erase(it);
        return reply;
    }

    VfsFenuCommand request(VfsFenuCommand request)
    {
        const std::uint8_t code = request.code;
        const std::uint16_t trId = post(request);
        if (trId == 0) {
            VfsFenuCommand none;
            none.status = 0xFE;
            return none;
        }
        return take(code, trId);
    }

    static VfsFenuCommand make(std::uint8_t code, const QString &path = QString(), std::uint32_t flags = 0)
    {
        VfsFenuCommand cmd;
        cmd.code = code;
        cmd.flags = flags;
        cmd.path = path.toStdString();
        return cmd;
    }

    // --- one call per request kind -----------------------------------------------------

    struct Opened
    {
        std::uint8_t status = 0xFF;
        std::uint16_t handle = 0;
    };

    Opened open(const QString &path, std::uint32_t flags)
    {
        const VfsFenuCommand reply = request(make(FSO_OPEN_FILE, path, flags));
        return {reply.status, reply.handle};
    }

    Opened openWithTimes(const QString &path, std::uint32_t flags, std::uint32_t attributes, std::int64_t access,
                         std::int64_t modify, std::uint64_t size = 0)
    {
        VfsFenuCommand cmd = make(FSO_OPEN_FILE, path, flags | FSO_OPEN_ATTRIBUTES);
        cmd.attributes.set(attributes);
        cmd.accessTime = access;
        cmd.modifyTime = modify;
        cmd.size = size;
        const VfsFenuCommand reply = request(cmd);
        return {reply.status, reply.handle};
    }

    std::uint8_t close(std::uint16_t handle, std::uint32_t flags = 0)
    {
        VfsFenuCommand cmd = make(FSO_CLOSE_FILE, QString(), flags);
        cmd.handle = handle;
        return request(cmd).status;
    }

    VfsFenuCommand read(std::uint16_t handle, std::uint64_t offset, std::uint32_t size, std::uint8_t flags = 0)
    {
        VfsFenuCommand cmd = make(FSO_READ_FILE, QString(), flags);
        cmd.handle = handle;
        cmd.offset = offset;
        cmd.dataSize = size;
        return request(cmd);
    }

    VfsFenuCommand write(std::uint16_t handle, std::uint64_t offset, const QByteArray &data, std::uint8_t flags = 0)
    {
        VfsFenuCommand cmd = make(FSO_WRITE_FILE, QString(), flags);
        cmd.handle = handle;
        cmd.offset = offset;
        cmd.data.assign(data.begin(), data.end());
        cmd.dataSize = std::uint32_t(data.size());
        return request(cmd);
    }

    VfsFenuCommand hash(std::uint16_t handle, std::uint16_t blocks, std::uint32_t blockSize, std::uint64_t offset,
                        std::uint8_t flags = FSO_HASH_SHA1)
    {
        VfsFenuCommand cmd = make(FSO_HASH_FILE, QString(), flags);
        cmd.handle = handle;
        cmd.blockCount = blocks;
        cmd.dataSize = blockSize;
        cmd.offset = offset;
        return request(cmd);
    }

    std::uint8_t remove(const QString &path, std::uint32_t flags = 0)
    {
        return request(make(FSO_DELETE_FILE, path, flags)).status;
    }

    std::uint8_t move(const QString &from, const QString &to, std::uint32_t flags = 0)
    {
        VfsFenuCommand cmd = make(FSO_MOVE, from, flags);
        cmd.destination = to.toStdString();
        return request(cmd).status;
    }

    std::uint8_t put(const QString &path, const QString &hidden, const QByteArray &data, std::int64_t access = 0,
                     std::int64_t modify = 0, int permissions = -1)
    {
        VfsFenuCommand cmd = make(FSO_PUT_FILE, path);
        cmd.destination = hidden.toStdString();
        cmd.data.assign(data.begin(), data.end());
        cmd.dataSize = std::uint32_t(data.size());
        cmd.accessTime = access;
        cmd.modifyTime = modify;
        cmd.permissions = permissions;
        return request(cmd).status;
    }

    VfsFenuCommand get(const QString &path, std::uint32_t size)
    {
        VfsFenuCommand cmd = make(FSO_GET_FILE, path);
        cmd.dataSize = size;
        return request(cmd);
    }

    VfsFenuCommand makeDirectory(const QString &path, std::uint32_t flags = 0)
    {
        return request(make(FSO_MAKE_DIRECTORY, path, flags));
    }

    struct Listing
    {
        std::uint8_t status = 0xFF;     // of LIST_DIRECTORY
        std::uint8_t lastStatus = 0xFF; // of the last page
        VfsFenuCommand reply;
        std::vector<VfsDirectoryEntry> entries;
        int pages = 0;
    };

    // LIST_DIRECTORY; the listing is left waiting for its pages.
    Listing startListing(const QString &path, std::uint32_t flags = 0, std::uint32_t attributes = FSO_ATTR_ALL)
    {
        VfsFenuCommand cmd = make(FSO_LIST_DIRECTORY, path, flags);
        cmd.attributes.set(attributes);
        Listing listing;
        listing.reply = request(cmd);
        listing.status = listing.reply.status;
        return listing;
    }

    // One page at `index`; false when no page came. Appends its entries.
    bool page(Listing &listing, std::uint32_t index)
    {
        VfsFenuCommand query = make(FSO_QUERY_LIST_DIRECTORY);
        query.trId = listing.reply.trId;
        query.index = index;
        const VfsFenuCommand reply = request(query);
        if (reply.status == 0xFF)
            return false;
        listing.lastStatus = reply.status;
        ++listing.pages;
        com::TermStreamReader reader(reply.entryBlock.data(), reply.entryBlock.size());
        for (int i = 0; i < reply.count; ++i) {
            VfsDirectoryEntry entry;
            if (!readDirectoryEntry(reader, listing.reply.attributes.value0(), entry))
                return false;
            listing.entries.push_back(entry);
        }
        return true;
    }

    Listing list(const QString &path, std::uint32_t flags = 0, std::uint32_t attributes = FSO_ATTR_ALL)
    {
        Listing listing = startListing(path, flags, attributes);
        if (listing.status != FSO_STATUS_SUCCESS)
            return listing;
        std::uint32_t index = 0;
        while (page(listing, index) && listing.lastStatus == FSO_STATUS_SUCCESS)
            index = std::uint32_t(listing.entries.size());
        return listing;
    }
};
