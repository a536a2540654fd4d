#include "ui/jobwindow.h"

#include "app/base/log.h"
#include "vfs/jobs/vfscopyjob.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QSet>
#include <QThread>

namespace {

// One line per item left out, and a last one for those not named.
QString leftOutText(const VfsCopyJob &job)
{
    const QVector<VfsLeftOutItem> items = job.leftOutItems();
    QStringList lines;
    lines.reserve(items.size() + 1);
    for (const VfsLeftOutItem &item : items)
        lines.append(QStringLiteral("%1 \u2014 %2").arg(item.shown, item.reason));
    const int more = job.leftOutCount() - items.size();
    if (more > 0)
        lines.append(qtTrId("copy-left-out-more", more));
    return lines.join(QLatin1Char('\n'));
}

// The answers the job takes now, as the bits of VfsJob::UserAction.
int userActions(const VfsCopyJob &job)
{
    int bits = 0;
    for (int action : {VfsJob::UserActionAbort, VfsJob::UserActionSkip, VfsJob::UserActionOverwrite,
                       VfsJob::UserActionSkipAll, VfsJob::UserActionRetry}) {
        if (job.userActionEnabled(action))
            bits |= action;
    }
    return bits;
}

// The first step no other open job window stands at; past the last one the steps begin
// again.
int freeCascadeStep(const QQuickWindow *own)
{
    constexpr int kSteps = 8;
    QSet<int> taken;
    for (QWindow *window : QGuiApplication::topLevelWindows()) {
        if (window != own && window->isVisible() && window->objectName() == QLatin1String("jobPane"))
            taken.insert(window->property("cascadeStep").toInt());
    }
    for (int step = 0; step < kSteps; ++step) {
        if (!taken.contains(step))
            return step;
    }
    return taken.size() % kSteps;
}

} // namespace

JobReader::JobReader(VfsCopyJob *job)
    : QObject(job)
    , m_job(job)
{
    // Title, text and bar all show percentDone: it goes out with both figures it is made
    // of whenever either changes, also when a restart set both back without a word.
    connect(job, &VfsCopyJob::bytesTotalChanged, this, &JobReader::sendProgress);
    connect(job, &VfsCopyJob::bytesCopiedChanged, this, &JobReader::sendProgress);
    connect(job, &VfsCopyJob::currentFileChanged, this, [this] { send("currentItem"); });
    connect(job, &VfsCopyJob::writeSpeedChanged, this, [this] {
        send("writeSpeed");
        send("remainingTime");
    });
    connect(job, &VfsCopyJob::waitingTextChanged, this, [this] { send("waitingText"); });
    connect(job, &VfsCopyJob::totalFileCountChanged, this, [this] { send("totalFilesCount"); });
    connect(job, &VfsJob::stateChanged, this, [this] {
        // The buttons and the list before the state that shows them.
        send("userActions");
        if (m_job->state() == VfsJob::VfsJobStateFinished) {
            send("leftOut");
            send("sourcesGone");
        }
        sendProgress();
        send("jobState");
    });
    connect(job, &VfsCopyJob::userActionPromptChanged, this, [this] { send("userPrompt"); });
    connect(job, &VfsCopyJob::leftOutChanged, this, [this] { send("leftOutCount"); });
    connect(job, &VfsCopyJob::sourcesDeletedChanged, this, [this] {
        send("sourcesToDelete");
        send("sourcesDeleted");
    });
}

JobReader::~JobReader()
{
    Q_EMIT gone();
}

void JobReader::send(const char *property)
{
    const QByteArray p(property);
    QVariant value;
    if (p == "bytesTotal")
        value = m_job->bytesTotal();
    else if (p == "bytesCopied")
        value = m_job->bytesCopied();
    else if (p == "percentDone")
        value = m_job->percentDone();
    else if (p == "currentItem")
        value = m_job->currentFile();
    else if (p == "writeSpeed")
        value = m_job->writeSpeed();
    else if (p == "remainingTime")
        value = m_job->remainingTime();
    else if (p == "waitingText")
        value = m_job->waitingText();
    else if (p == "sourcesGone")
        value = m_job->sourcesGone();
    else if (p == "totalFilesCount")
        value = m_job->totalFileCount();
    else if (p == "jobState")
        value = int(m_job->state());
    else if (p == "userPrompt")
        value = m_job->userActionPrompt();
    else if (p == "leftOutCount")
        value = m_job->leftOutCount();
    else if (p == "leftOut")
        value = leftOutText(*m_job);
    else if (p == "userActions")
        value = userActions(*m_job);
    else if (p == "moving")
        value = m_job->request().deleteSource;
    else if (p == "itemsAsked")
        value = int(m_job->request().items.size());
    else if (p == "sourcesToDelete")
        value = m_job->sourcesToDelete();
    else if (p == "sourcesDeleted")
        value = m_job->sourcesDeleted();
    Q_EMIT changed(QString::fromLatin1(property), value);
}

void JobReader::sendProgress()
{
    send("bytesTotal");
    send("bytesCopied");
    send("percentDone");
}

void JobReader::sendAll()
{
    for (const char *p : {"moving", "itemsAsked", "bytesTotal", "bytesCopied", "percentDone", "currentItem", "writeSpeed",
                          "remainingTime", "waitingText", "totalFilesCount", "sourcesToDelete", "sourcesDeleted",
                          "userPrompt", "leftOutCount", "leftOut", "sourcesGone", "userActions", "jobState"})
        send(p);
}

void JobReader::abort() { m_job->abort(); }
void JobReader::skipItem() { m_job->skipCurrentItem(); }
void JobReader::replaceItem() { m_job->replaceCurrentItem(); }
void JobReader::replaceAllItems() { m_job->replaceAllItems(); }
void JobReader::skipAllItems() { m_job->skipAllItems(); }
void JobReader::retryItem() { m_job->retryCurrentItem(); }

JobWindow::JobWindow(QQmlEngine *engine)
    : m_engine(engine)
{
}

JobWindow::~JobWindow()
{
    delete m_window.data();
}

JobWindow *JobWindow::open(QQmlEngine *engine, JobReader *reader)
{
    auto *window = new JobWindow(engine);
    connect(reader, &JobReader::changed, window, &JobWindow::setValue);
    connect(reader, &JobReader::gone, window, &JobWindow::onJobGone);
    connect(window, &JobWindow::abort, reader, &JobReader::abort);
    connect(window, &JobWindow::skipItem, reader, &JobReader::skipItem);
    connect(window, &JobWindow::replaceItem, reader, &JobReader::replaceItem);
    connect(window, &JobWindow::replaceAllItems, reader, &JobReader::replaceAllItems);
    connect(window, &JobWindow::skipAllItems, reader, &JobReader::skipAllItems);
    connect(window, &JobWindow::retryItem, reader, &JobReader::retryItem);
    window->moveToThread(engine->thread());
    QMetaObject::invokeMethod(window, &JobWindow::build, Qt::QueuedConnection);
    reader->sendAll();
    return window;
}

void JobWindow::build()
{
    QQmlComponent component(m_engine, QUrl(QStringLiteral("qrc:/qml/JobPane.qml")));
    QObject *root = component.create(m_engine->rootContext());
    m_window = qobject_cast<QQuickWindow *>(root);
    if (!m_window) {
        // The job runs on without a window; closing nothing cancels nothing.
        logPrintf(LogErr1, "failed to open a job window: %s", qUtf8Printable(component.errorString()));
        delete root;
        return;
    }
    m_window->setFlags(Qt::Window);
    m_window->setIcon(QIcon(QStringLiteral(":/icons/app-icon.svg")));
    connect(m_window, SIGNAL(abort()), this, SLOT(onWindowAbort()));
    connect(m_window, SIGNAL(skipItem()), this, SIGNAL(skipItem()));
    connect(m_window, SIGNAL(replaceItem()), this, SIGNAL(replaceItem()));
    connect(m_window, SIGNAL(replaceAllItems()), this, SIGNAL(replaceAllItems()));
    connect(m_window, SIGNAL(skipAllItems()), this, SIGNAL(skipAllItems()));
    connect(m_window, SIGNAL(retryItem()), this, SIGNAL(retryItem()));
    for (const auto &pair : qAsConst(m_early))
        m_window->setProperty(pair.first.toLatin1().constData(), pair.second);
    m_early.clear();
    m_window->setProperty("cascadeStep", freeCascadeStep(m_window));
    m_window->show();
    m_window->raise();
}

void JobWindow::setValue(const QString &property, const QVariant &value)
{
    const bool question = property == QLatin1String("jobState") && value.toInt() == VfsJob::VfsJobStateQuestion;
    if (property == QLatin1String("jobState")) {
        m_jobState = value.toInt();
        m_finished = m_finished || m_jobState == VfsJob::VfsJobStateFinished;
    } else if (property == QLatin1String("leftOutCount")) {
        m_leftOutCount = value.toInt();
    } else if (property == QLatin1String("sourcesGone")) {
        m_sourcesGoneCount = value.toStringList().size();
    } else if (property == QLatin1String("userPrompt")) {
        m_prompt = value.toString();
    }
    if (m_window)
        m_window->setProperty(property.toLatin1().constData(), value);
    else
        m_early.append({property, value});
    // A question waits for the user: it must not wait behind the main window.
    if (question && m_window) {
        m_window->show();
        m_window->raise();
        m_window->requestActivate();
    }
}

void JobWindow::onJobGone()
{
    m_jobGone = true;
    // What was left out, and where files arrived whose sources went away, stays listed until
    // the user has seen it, as does the word a job ended with (a move that kept its sources);
    // what a cancel kept (hidden files a later copy resumes) stays named, also when the window
    // was closed to cancel.
    const bool cancelledWithNote = m_jobState == VfsJob::VfsJobStateAborted && !m_prompt.isEmpty() && !m_closeAsked;
    const bool toBeSeen = m_leftOutCount > 0 || m_sourcesGoneCount > 0 || !m_prompt.isEmpty();
    if (m_window && ((m_finished && toBeSeen && m_window->isVisible()) || cancelledWithNote)) {
        m_window->show();
        m_window->raise();
        return;
    }
    deleteLater();
}

void JobWindow::onWindowAbort()
{
    if (m_finished || m_jobGone) {
        deleteLater();
        return;
    }
    // A failed job waits for its window to be closed; it goes with it.
    m_closeAsked = m_jobState == VfsJob::VfsJobStateAborted;
    Q_EMIT abort();
}
