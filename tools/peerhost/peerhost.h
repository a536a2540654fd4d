#pragma once

// A headless peer for tests: the program's network start-up without a window, driven by one
// command a line. Each command answers with result lines, then "ok" or "error <text>".
// Commands run one after another; a command may finish later (wait-up) without blocking the
// event loop.

#include "db/dto.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class ConnectionManager;
class IDatabase;
class IPeer;
class PeerModel;
class VfsClient;
class VfsCopyJob;
class VfsDeleteJob;
class VfsManager;
class VfsMoveExJob;
struct VfsCopyDto;
struct VfsCopyItem;

class PeerHost : public QObject
{
    Q_OBJECT

public:
    // What a running command answers through. finish() may be called once, now or later.
    class Reply
    {
    public:
        virtual ~Reply() = default;
        virtual void line(const QString &text) = 0;
        virtual void ok() = 0;
        virtual void error(const QString &text) = 0;
    };
    using Handler = std::function<void(const QStringList &args, const std::shared_ptr<Reply> &reply)>;

    PeerHost(IDatabase *database, ConnectionManager *manager, PeerModel *model, QObject *parent = nullptr);

    // The own addresses put into invitation links.
    void setTransports(std::function<std::vector<TransportDto>()> transports) { m_transports = std::move(transports); }

    // Pause of copy jobs before a retry (the job manager's default when negative).
    void setJobRetryDelay(int ms) { m_jobRetryMs = ms; }
    // How long what a copy finished waits for its flush to the destination's disk (likewise).
    void setJobFlushInterval(int ms) { m_jobFlushMs = ms; }
    // Besides on their own signals, copy jobs report every `ms` while they run (0: never).
    void setProgressInterval(int ms) { m_progressMs = ms; }

    // How long the FSO clients of the peers a job uses wait for a reply (their defaults
    // when negative). A link cut in the middle of a request is noticed only this way.
    void setFsoTimeout(int ms) { m_fsoTimeoutMs = ms; }

    // Adds a command; `minArgs`/`maxArgs` are checked before the handler runs.
    void addCommand(const QString &name, int minArgs, int maxArgs, Handler handler);

    // What a copy job reported, by value, from the thread it runs on.
    struct CopySnapshot
    {
        QString uuid;          // the copy request's uuid
        quint64 sequence = 0;  // increases with every snapshot of any job
        int state = 0;         // VfsJob::VfsJobState
        double percent = 0;
        quint64 bytesCopied = 0;
        quint64 bytesTotal = 0;
        quint64 bytesWritten = 0;  // written at the destination, over every retry
        int errors = 0;            // failures the job met (each one a retry unless it ended)
        QString prompt;
        QString currentFile;
        int sourcesToDelete = 0;   // after a cut: the sources to delete,
        int sourcesDeleted = 0;    // and those done with
        bool final = false;    // the job announced its end (finished or aborted)
    };

    // A copy job's report, delivered on this object's thread.
    void onCopySnapshot(const CopySnapshot &snapshot);

public Q_SLOTS:
    void enqueue(const QString &line);
    void onInputClosed();

private:
    void next();
    void registerCommands();
    void registerFileCommands();
    // crash-on (peerhostcrash.cpp)
    void registerCrashCommands();
    void write(const QString &text);

    // --- file commands (peerhostfiles.cpp) ---
    // Runs `work` on the peer's thread with its FSO client (null when it has none).
    void onPeerThread(IPeer *peer, std::function<void(VfsClient *)> work);
    // Runs `work` on this object's thread.
    void toHost(std::function<void()> work);
    // Waits until the peer's server holds (or no longer holds) an access entry.
    void waitForAcl(const QString &peerUuid, const QString &aclUuid, bool present,
                    const std::shared_ptr<Reply> &reply);
    // Lists the parent of `path` on the peer and hands the matching entry to `done` as a
    // copy item (on this thread); an empty path in the item means it was not found.
    void lookUpItem(IPeer *peer, const QString &path, std::function<void(int status, const VfsCopyItem &)> done);
    bool ensureJobTracker();
    // Applies the FSO timeout to the peer's client (on the peer's thread).
    void applyFsoTimeout(IPeer *peer);
    void startCopy(const VfsCopyDto &dto, const std::shared_ptr<Reply> &reply);
    // Runs `work` on the connection manager's thread with the copy job of the request
    // `uuid` (null when it is gone).
    void withCopyJob(const QString &uuid, std::function<void(VfsCopyJob *)> work);
    // Aborts the followed job, whatever command is running.
    void abortFollowedJob();
    void startMove(const VfsCopyDto &dto, const std::shared_ptr<Reply> &reply);
    void followDelete(VfsDeleteJob *job, const std::shared_ptr<Reply> &reply);
    void printProgress(const QString &state, double percent, quint64 bytes);
    void finishFollow(const QString &finalState, const QString &prompt);

    IDatabase *m_database;
    ConnectionManager *m_manager;
    PeerModel *m_model;
    struct Command
    {
        int minArgs;
        int maxArgs;
        Handler handler;
    };
    QHash<QString, Command> m_commands;
    QStringList m_queue;
    bool m_busy = false;
    bool m_started = false;
    bool m_inputClosed = false;
    std::function<std::vector<TransportDto>()> m_transports;

    int m_jobRetryMs = -1;
    int m_jobFlushMs = -1;
    int m_progressMs = 0;
    int m_fsoTimeoutMs = -1;
    VfsManager *m_vfsManager = nullptr;
    bool m_trackerInstalled = false;
    // The one job the job commands follow: its output goes to `reply` while a command runs;
    // between a question and its answer nothing is printed.
    struct Follow
    {
        QString kind;                 // "copy", "move", "delete"; empty when idle
        QString copyUuid;             // the copy request being followed (copy, move)
        QPointer<VfsMoveExJob> moveJob;
        QPointer<VfsDeleteJob> deleteJob; // of the delete command; a move's runs in its copy
        std::shared_ptr<Reply> reply;
        bool question = false;        // waits for an answer
        bool awaitingAck = false;     // an answer is on its way to the job
        bool finished = false;
        QString lastLine;
        QString lastNotice;
        QString lastDeleting;
        QString finalState;
        QString finalPrompt;
        QString counters;             // the copy's last figures, printed before the final state
    } m_follow;
};
