#pragma once

// Base of the copy, move and delete jobs: a state machine stepped by one single-shot timer.
// Each step either sends one request to a peer and waits for the reply signal of its own
// record, or schedules the next step.

#include <QObject>
#include <QString>

class QTimer;

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
