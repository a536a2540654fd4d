#pragma once

// A headless peer for tests: the program's network start-up without a window, driven by one
// command a line. Each command answers with result lines, then "ok" or "error <text>".
// Commands run one after another; a command may finish later (wait-up) without blocking the
// event loop.

#include "db/dto.h"

#include <QHash>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class ConnectionManager;
class IDatabase;
class PeerModel;

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

    // Adds a command; `minArgs`/`maxArgs` are checked before the handler runs.
    void addCommand(const QString &name, int minArgs, int maxArgs, Handler handler);

public Q_SLOTS:
    void enqueue(const QString &line);
    void onInputClosed();

private:
    void next();
    void registerCommands();
    void write(const QString &text);

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
};
