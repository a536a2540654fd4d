#pragma once

// Tells when a copy waits for a computer that has stopped answering. A link learns that the
// other end is gone only after its silence limit (com/link.h), long after a person sees the
// copy stand still; until then the window would show the speed and the time left of the last
// second. The job tells the watch of every answer it gets and from which side, and a few
// times a second the watch asks which sides the job has requests out with. Once nothing has
// come back from a side for the limit while a request was out with it, it names the computer
// the job waits for, until that side answers (or has nothing out: a question, a pause, the
// end). The other side's answers, and a request that timed out, are no answer from it.
//
// Lives on the job's thread, as the job's child.

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>

class IPeer;

class VfsStallWatch : public QObject
{
    Q_OBJECT
public:
    enum Side { SourceSide = 1, DestinationSide = 2 };
    struct Events
    {
        // The sides (Side bits) the job has requests out with; 0 while it waits for nobody.
        std::function<int()> sidesOut;
        // A figure that grows while data arrives that is no answer yet (the pages of a long
        // listing).
        std::function<quint64()> arriving;
    };

    VfsStallWatch(Events events, QObject *parent);

    void setPeers(IPeer *source, IPeer *destination);
    // Without an answer for this long, the job waits.
    void setLimit(int ms) { m_limitMs = ms; }
    // Looks from now on, until the job is gone.
    void start();
    // An answer came back from `sides` (Side bits): what the job waited for there moves again.
    void heard(int sides = SourceSide | DestinationSide);
    // What the job waits for ("waiting for studio"); empty while answers come.
    QString text() const { return m_text; }

Q_SIGNALS:
    void changed();

private:
    void look();
    void setText(const QString &text, int sides);

    Events m_events;
    QPointer<IPeer> m_source;
    QPointer<IPeer> m_destination;
    int m_limitMs = 5000;
    QTimer m_timer;
    // Per side (index 0 source, 1 destination): since its last answer, or since it had
    // nothing out.
    QElapsedTimer m_quiet[2];
    quint64 m_arrived = 0;
    QString m_text;
    int m_named = 0;   // the sides the text names
};
