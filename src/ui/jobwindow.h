#pragma once

// One progress window per copy job. The job lives on "ioThread" and deletes itself when it
// ends, so the window never touches it: a JobReader, a child of the job on the job's thread,
// reads the figures when the job signals a change and sends them as values; the window's
// answers travel back to the reader, which passes them to its job. When the job (and with
// it the reader) is gone, the window deletes itself; answers still on their way are dropped.
// A job that finished with items left out, or with files whose sources went away, keeps its
// window, listing them, until the user closes it; so does a cancelled job that names what it
// kept. A move ends with the deletes of
// its sources, which its window counts.

#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QString>
#include <QVariant>

class QQmlEngine;

class VfsCopyJob;

// Lives on the job's thread, as the job's child.
class JobReader : public QObject
{
    Q_OBJECT
public:
    explicit JobReader(VfsCopyJob *job);
    ~JobReader() override;

    // Sends every figure as it stands, so a question asked before the window existed is
    // shown at once.
    void sendAll();

public Q_SLOTS:
    void abort();
    void skipItem();
    void replaceItem();
    void replaceAllItems();
    void skipAllItems();
    void retryItem();

Q_SIGNALS:
    void changed(const QString &property, const QVariant &value);
    void gone();

private:
    void send(const char *property);
    void sendProgress();
    VfsCopyJob *m_job;
};

// Lives on the GUI thread; owns the QML window.
class JobWindow : public QObject
{
    Q_OBJECT
public:
    explicit JobWindow(QQmlEngine *engine);
    ~JobWindow() override;

    QQuickWindow *window() const { return m_window; }

    // Opens the window for the job the reader belongs to. Call on the reader's thread; the
    // window object is moved to the GUI thread and shown there.
    static JobWindow *open(QQmlEngine *engine, JobReader *reader);

public Q_SLOTS:
    void build();
    void setValue(const QString &property, const QVariant &value);
    void onJobGone();

Q_SIGNALS:
    void abort();
    void skipItem();
    void replaceItem();
    void replaceAllItems();
    void skipAllItems();
    void retryItem();

private Q_SLOTS:
    // The window's cancel and its closing: once the job has ended there is nothing to
    // cancel, and the window goes.
    void onWindowAbort();

private:
    QQmlEngine *m_engine;
    QPointer<QQuickWindow> m_window;
    QList<QPair<QString, QVariant>> m_early;   // values that came before build()
    bool m_finished = false;
    int m_jobState = 0;
    QString m_prompt;
    int m_leftOutCount = 0;
    int m_sourcesGoneCount = 0;
    bool m_jobGone = false;
    bool m_closeAsked = false;   // closed by the user after the job had failed
};
