#include "crypto/parallel.h"

#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace crypto {

namespace {

// More helpers than this stop paying: the socket and the rest of the thread's work
// outweigh the cipher long before.
constexpr int kMaxLanes = 4;
// Below this a batch is not worth waking helpers for.
constexpr long long kSpreadBatchBytes = 256 * 1024;

QThreadPool *helperPool()
{
    static QThreadPool *const pool = [] {
        auto *p = new QThreadPool;   // lives as long as the program: helpers may run late
        p->setMaxThreadCount(std::max(1, parallelLanes() - 1));
        return p;
    }();
    return pool;
}

// One batch. Helpers hold it by shared pointer: one that starts after the batch is done
// finds nothing left to claim and touches nothing else.
struct Batch
{
    int count = 0;
    const std::function<void(int, int)> *work = nullptr;
    std::atomic<int> next{0};
    std::atomic<int> nextLane{1};
    std::mutex mutex;
    std::condition_variable allDone;
    int done = 0;

    void drain(int lane)
    {
        int mine = 0;
        for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
            (*work)(lane, i);
            ++mine;
        }
        if (mine == 0)
            return;
        std::lock_guard<std::mutex> lock(mutex);
        done += mine;
        if (done == count)
            allDone.notify_one();
    }
};

} // namespace

int parallelLanes()
{
    static const int lanes = std::clamp(QThread::idealThreadCount(), 1, kMaxLanes);
    return lanes;
}

bool worthSpreading(int count, long long bytes)
{
    return count > 1 && bytes >= kSpreadBatchBytes;
}

void runParallel(int count, bool spread, const std::function<void(int lane, int index)> &work)
{
    if (count <= 0)
        return;
    const int helpers = spread ? std::min(parallelLanes() - 1, count - 1) : 0;
    if (helpers <= 0) {
        for (int i = 0; i < count; ++i)
            work(0, i);
        return;
    }
    auto batch = std::make_shared<Batch>();
    batch->count = count;
    batch->work = &work;
    for (int h = 0; h < helpers; ++h)
        helperPool()->start([batch] { batch->drain(batch->nextLane.fetch_add(1)); });
    batch->drain(0);
    std::unique_lock<std::mutex> lock(batch->mutex);
    batch->allDone.wait(lock, [&] { return batch->done == count; });
}

} // namespace crypto
