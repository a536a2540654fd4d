#pragma once

// Spreads independent pieces of work (the packets of one batch) over the calling thread and
// a few helper threads of a pool of their own.
//
// The caller always takes part and takes whatever no helper has started, so a busy or
// slow pool never stalls it: in the worst case it does everything itself. It returns only
// once every piece has been done, so the work may refer to the caller's memory.

#include <functional>

namespace crypto {

// How many threads may work on one batch at once, the caller included (at least 1).
int parallelLanes();

// Whether a batch of `count` pieces, `bytes` together, is worth waking helpers for.
bool worthSpreading(int count, long long bytes);

// Calls work(lane, index) once for every index in [0, count), in no particular order and
// possibly at the same time. `lane` is in [0, parallelLanes()): 0 is the caller, and no two
// calls of one batch run in the same lane at once, so a lane may own per-thread state such
// as a cipher context. Helpers are asked only when `spread` is true.
void runParallel(int count, bool spread, const std::function<void(int lane, int index)> &work);

} // namespace crypto
