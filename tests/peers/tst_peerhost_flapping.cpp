// Moves over a link that keeps dropping: two whole programs (nusk-peerhost) in network
// namespaces of their own (testutil_netns.h), joined by a bridge that lets nothing through for
// a while, again and again. A move of 10,000 files pushed by the computer that holds them and
// one of 2,000 files pulled by the other computer run side by side; both finish, with every
// file whole at the destination and every source deleted, however often the link drops.
//
// The hosts end a link only after 4 s of silence, longer than any drop, and their jobs wait
// 3 s for a reply and 0.5 s before a retry: a drop of two seconds is a retry of the job, while
// the link itself carries on as TCP resends what was lost. (With the tests' usual 1.5 s of
// silence both sides would dial anew in every window, and which of two links each side keeps
// would decide more than the job. With the program's own limits (45 s of silence, 15 s for a
// reply and before a retry) a drop of a second or two is waited out and never retried.)

#include "testutil_netns.h"
#include "testutil_peerhost.h"
#include "../testutil_timeouts.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include <memory>

using namespace peerhosttest;

namespace {

// The link's rhythm: up for `upMs`, then down for a time between `downMinMs` and `downMaxMs`.
struct Rhythm
{
    int upMs;
    int downMinMs;
    int downMaxMs;
};

// Longer than the longest drop of either rhythm.
constexpr int kSilenceMs = 4000;

QByteArray contentOf(int i)
{
    return QByteArray::number(i).leftJustified(4096, 'x');
}

// hostA and hostB right on one bridge (testutil_netns.h, no routers); one move between them
// while the bridge drops in its rhythm.
struct Lab
{
    testutil::Netns net;
    QTemporaryDir dir;
    std::unique_ptr<Host> a;
    std::unique_ptr<Host> b;
    QString aOnB;
    QString bOnA;
    // The move: pushed by A, or pulled by B.
    bool push = true;
    int files = 0;
    Rhythm rhythm {};
    QString src;
    QString dst;
    QStringList out;
    QString status;
    QElapsedTimer run;   // since the job was sent
    qint64 tookMs = -1;  // until it ended
    // The rhythm, from a seed of its own.
    QRandomGenerator random {55};
    bool down = false;
    QElapsedTimer phase;
    int phaseMs = 0;
    int drops = 0;

    bool build(bool pushed, int count, Rhythm r)
    {
        push = pushed;
        files = count;
        rhythm = r;
        src = dir.filePath(QStringLiteral("src/many"));
        dst = dir.filePath(QStringLiteral("dst"));
        if (!testutil::buildNatNetwork(net, testutil::Router::None, testutil::Router::None) || !writeFiles()
            || !QDir().mkpath(dst))
            return false;
        a = makeHost(QStringLiteral("A"));
        b = makeHost(QStringLiteral("B"));
        if (!startAndPair(*a, *b, &aOnB, &bOnA))
            return false;
        return push ? b->ok(QStringLiteral("share %1 %2 7").arg(aOnB, dst))
                    : a->ok(QStringLiteral("share %1 %2 7").arg(bOnA, QFileInfo(src).path()));
    }

    std::unique_ptr<Host> makeHost(const QString &side)
    {
        auto host = std::make_unique<Host>(dir.filePath(QStringLiteral("host") + side), freePort());
        host->setNetns(net.name(QStringLiteral("host") + side));
        // Short timings, but a link that outlives every drop: the jobs' requests time out and
        // retry; the link itself is not dialled anew in every window of the rhythm.
        host->setProgramTimings(true);
        host->addArguments({QStringLiteral("--retry-ms=150"), QStringLiteral("--retry-max-ms=600"),
                            QStringLiteral("--ping-ms=250"), QStringLiteral("--silence-ms=%1").arg(kSilenceMs),
                            QStringLiteral("--handshake-ms=3000"), QStringLiteral("--fso-timeout-ms=3000"),
                            QStringLiteral("--job-retry-ms=500")});
        return host;
    }

    bool writeFiles()
    {
        if (!QDir().mkpath(src))
            return false;
        for (int i = 0; i < files; ++i) {
            QFile f(src + QStringLiteral("/f%1").arg(i, 5, 10, QLatin1Char('0')));
            if (!f.open(QIODevice::WriteOnly) || f.write(contentOf(i)) != 4096)
                return false;
        }
        return true;
    }

    Host &runner() { return push ? *a : *b; }

    void start()
    {
        runner().send(push ? QStringList{"move", kLocal, src, bOnA, dst}.join(QLatin1Char(' '))
                           : QStringList{"move", aOnB, src, kLocal, dst}.join(QLatin1Char(' ')));
        phase.start();
        run.start();
        phaseMs = rhythm.upMs;
    }

    // Takes what the job said and keeps the rhythm; true once the job has ended.
    bool poll()
    {
        if (!status.isEmpty())
            return true;
        for (QString text = runner().nextLine(1); !text.isNull(); text = runner().nextLine(1)) {
            if (text == QLatin1String("ok") || text.startsWith(QLatin1String("error"))) {
                status = text;
                tookMs = run.elapsed();
                setDown(false);
                return true;
            }
            out << text;
        }
        if (phase.elapsed() >= phaseMs) {
            const bool lose = !down;
            if (!setDown(lose))
                qWarning("the link could not be switched");
            drops += lose ? 1 : 0;
            phaseMs = lose ? rhythm.downMinMs + int(random.bounded(rhythm.downMaxMs - rhythm.downMinMs + 1))
                           : rhythm.upMs;
            phase.restart();
        }
        return false;
    }

    // While down, the bridge loses every frame between the two.
    bool setDown(bool lose)
    {
        if (lose == down)
            return true;
        down = lose;
        const QByteArray script = lose ? QByteArray("table bridge cut { chain forward { type filter hook forward priority 0\n"
                                                    " drop\n }\n}\n")
                                       : QByteArray("delete table bridge cut\n");
        return net.exec(QStringLiteral("pub"), QStringLiteral("nft"), {QStringLiteral("-f"), QStringLiteral("-")}, script);
    }

    // Files at the destination that are not their source's copy, hidden ones included.
    QStringList wrongFiles() const
    {
        QStringList wrong;
        const QString folder = dst + QStringLiteral("/many");
        const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
        for (const QString &name : names) {
            QFile f(folder + QLatin1Char('/') + name);
            if (!name.startsWith(QLatin1Char('f')) || !f.open(QIODevice::ReadOnly) || f.readAll() != contentOf(name.mid(1).toInt()))
                wrong << name;
        }
        if (names.size() != files)
            wrong << QStringLiteral("%1 files of %2").arg(names.size()).arg(files);
        return wrong;
    }
};

// How long the moves may take at the most: a move that never ends is what it catches. On a
// quiet machine they take 60-140 s; with the rest of the suite beside them on two processors,
// more than 240 s.
constexpr int kMovesLimitMs = 420000;

} // namespace

class TstPeerhostFlapping : public QObject
{
    Q_OBJECT

public:
    TstPeerhostFlapping()
    {
        // QtTest's own limit of a test function must not end the wait before it ends.
        if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
            qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(testutil::timeoutMs(kMovesLimitMs) + 120000));
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString reason = testutil::Netns::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
    }

    // A push over a link up 1 s and down 2 s in every 3, and a pull over a link up 0.5 s and
    // down 1 to 2.5 s. Every retry finds most files at the destination already: a job that
    // looked at each of them again would spend every short window of link on them.
    void movesFinishOverDroppingLink()
    {
        Lab pushed;
        Lab pulled;
        QVERIFY(pushed.build(true, 10000, {1000, 2000, 2000}));
        QVERIFY(pulled.build(false, 2000, {500, 1000, 2500}));
        QElapsedTimer clock;
        clock.start();
        pushed.start();
        pulled.start();
        const int limitMs = testutil::timeoutMs(kMovesLimitMs);
        for (bool ended = false; !ended && clock.elapsed() < limitMs; QTest::qWait(10)) {
            const bool pushEnded = pushed.poll();
            ended = pulled.poll() && pushEnded;
        }
        for (Lab *lab : {&pushed, &pulled}) {
            qInfo("%s move of %d files: %s after %lld ms, %d drops; %s", lab->push ? "pushed" : "pulled", lab->files,
                  qPrintable(lab->status.isEmpty() ? QStringLiteral("not ended") : lab->status), lab->tookMs,
                  lab->drops, qPrintable(lab->out.filter(QStringLiteral("counters ")).value(0)));
        }
        for (Lab *lab : {&pushed, &pulled}) {
            const QString tail = lab->out.mid(qMax(0, lab->out.size() - 6)).join(QLatin1Char('\n'));
            QVERIFY2(lab->status == QLatin1String("ok") && lab->out.contains(QStringLiteral("state finished")),
                     qPrintable(tail));
            QCOMPARE(lab->wrongFiles(), QStringList());
            QVERIFY2(!QFileInfo::exists(lab->src),
                     qPrintable(QStringLiteral("%1 sources left").arg(QDir(lab->src).entryList(QDir::Files).size())));
        }
    }
};

QTEST_GUILESS_MAIN(TstPeerhostFlapping)
#include "tst_peerhost_flapping.moc"
