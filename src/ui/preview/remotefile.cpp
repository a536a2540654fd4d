#include "ui/preview/remotefile.h"

#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsclient.h"

#include <QPointer>
#include <QSemaphore>

#include <memory>

namespace {

// One request at a time: the client announces the record on its own thread, the worker waits.
// The wait state is shared with the connection, so a late announcement after a timeout finds
// it alive and touches nothing else.
template <typename Job, typename Signal, typename Issue>
bool roundTrip(VfsClient *client, Job *job, Signal signal, Issue issue, int timeoutMs)
{
    auto done = std::make_shared<QSemaphore>();
    const QMetaObject::Connection connection = QObject::connect(
        client, signal, client, [done, job](Job *announced) {
            if (announced == job)
                done->release();
        },
        Qt::DirectConnection);
    (client->*issue)(job);
    const bool answered = done->tryAcquire(1, timeoutMs);
    QObject::disconnect(connection);
    if (!answered && job->release)
        job->release(job); // the client forgets the record before it goes out of scope
    return answered && job->jobStatus == JobFinished;
}

} // namespace

QByteArray readRemoteFile(VfsClient *client, const QString &path, qint64 maxBytes, int timeoutMs)
{
    if (!client)
        return QByteArray();
    VfsOpenFileJob open;
    open.flags = FSO_OPEN_READ;
    open.path = path;
    if (!roundTrip(client, &open, &VfsClient::openFileUpdate, &VfsClient::openFile, timeoutMs)
        || open.status != FSO_STATUS_SUCCESS)
        return QByteArray();

    QByteArray bytes;
    bool complete = false;
    while (!complete) {
        VfsReadFileJob read;
        read.handle = open.handle;
        read.offset = quint64(bytes.size());
        read.size = quint32(FSO_MAX_DATA);
        if (!roundTrip(client, &read, &VfsClient::readFileUpdate, &VfsClient::readFile, timeoutMs)
            || read.status != FSO_STATUS_SUCCESS || read.receivedSize > read.data.size()
            || read.receivedSize > read.size)
            break;
        if (bytes.size() + qint64(read.receivedSize) > maxBytes)
            break;
        bytes.append(reinterpret_cast<const char *>(read.data.data()), int(read.receivedSize));
        complete = read.receivedSize < read.size;
    }
    VfsCloseFileJob close;
    close.handle = open.handle;
    roundTrip(client, &close, &VfsClient::closeFileUpdate, &VfsClient::closeFile, timeoutMs);
    return complete ? bytes : QByteArray();
}

QByteArray fetchRemoteFileBytes(const QString &peerUuid, const QString &path, qint64 maxBytes)
{
    PeerModel *model = PeerModel::instance();
    const QPointer<IPeer> peer = model ? model->getPeerForUuid(peerUuid) : nullptr;
    if (!peer || peer->linkState() != IPeer::LinkUp)
        return QByteArray();
    return readRemoteFile(peer->vfsClient(), path, maxBytes);
}
