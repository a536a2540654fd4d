#pragma once

// Base of the copy, move and delete jobs: a state machine stepped by one single-shot timer.
// Each step either sends one request to a peer and waits for the answer of its own record
// (answerTo), or schedules the next step.

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <utility>

class QTimer;

// Runs `work` on the receiver's thread on a later turn of its event loop; never once the
// receiver is gone.
inline void postTo(QObject *receiver, std::function<void()> work)
{
    QPointer<QObject> guard(receiver);
    if (QObject *target = guard.data())
        QMetaObject::invokeMethod(target, std::move(work), Qt::QueuedConnection);
}

// Withdraws a record still lent to a client; afterwards it is never answered.
template <typename Record>
void releaseIfBusy(Record &record, bool &busy)
{
    if (busy && record.release)
        record.release(&record);
    busy = false;
}

// Makes `slot` of `receiver` the record's completion: the client's answer reaches this
// receiver alone, on its own thread, and is dropped once the receiver is gone.
template <typename Receiver, typename Record>
void answerTo(Receiver *receiver, Record &record, void (Receiver::*slot)(Record *))
{
    QPointer<Receiver> guard(receiver);
    record.done = [guard, slot](Record *answered) {
        if (Receiver *target = guard.data())
            postTo(target, [target, slot, answered] { (target->*slot)(answered); });
    };
}

class VfsJob : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString type READ type NOTIFY typeChanged)
    Q_PROPERTY(VfsJobState state READ state NOTIFY stateChanged)

public:
    enum VfsJobState {
        VfsJobStateUnknown = 0,
        VfsJobStateInit = 1,
        VfsJobStateIdle = 2,
        VfsJobStateRunning = 3,
        VfsJobStatePaused = 4,
        VfsJobStateQuestion = 5,
        VfsJobStateFinished = 6,
        VfsJobStateAborted = 7,
    };
    Q_ENUM(VfsJobState)

    enum UserAction {
        UserActionAbort = 1,
        UserActionSkip = 2,
        UserActionOverwrite = 4,
        // Answers to an item that cannot be read or written: leave out it and every later
        // item that fails the same way, or try it again.
        UserActionSkipAll = 8,
        UserActionRetry = 16,
    };
    Q_ENUM(UserAction)

    enum JobAction {
        JobActionStep = 0,
        JobActionReply = 1,
        JobActionDelete = 2,
        JobActionEnter = 4,
        JobActionLeave = 5,
    };

    Q_INVOKABLE explicit VfsJob(QObject *parent = nullptr);
    ~VfsJob() override;

    const QString &type() const { return m_type; }
    int pendingAction() const { return m_pendingAction; }
    bool isTimerActive() const;

public Q_SLOTS:
    virtual void abort();
    virtual VfsJobState state() const;
    virtual void process(int action);
    virtual void start();
    void timerFired();

Q_SIGNALS:
    void jobAborted();
    void jobUpdated();
    void jobFinished();
    void typeChanged();
    void stateChanged();

protected:
    void setType(const QString &type);
    // Stores the action of the next step. A non-zero delay (re)arms the timer; a zero delay
    // arms it only when it is idle, so it never shortens a longer wait already armed.
    void startTimer(int ms, int action, int line = 0);
    void stopTimer();

private:
    QTimer *m_timer = nullptr;
    int m_pendingAction = JobActionStep;
    QString m_type;
};
