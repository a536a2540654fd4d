#pragma once

// Waits of the file jobs in milliseconds, in one place. Tests, benchmarks and the peer host
// shorten them.

struct VfsJobTimings
{
    int retryDelayMs = 15000;       // a copy's pause after a transient failure, before it starts over
    int finishedDeleteMs = 500;     // a finished job stays this long for its window
    int abortedDeleteMs = 200;      // likewise an aborted one
    // Nothing came back for this long while a copy waited for an answer: its window stops
    // showing a speed and says which computer it waits for. Far above the gaps between the
    // answers of a slow link (a block of 64,400 bytes every 5 s is 13 kB/s), far below the
    // link's silence limit, after which the copy pauses.
    int stallMs = 5000;
    // A move's source deleted in the version it copied may come back: a save within 2 s of
    // the delete gets its name back on the source computer at once. This long after the last
    // such delete was answered (later than the source computer deleted it), the move looks
    // for the files it deleted from folders that stay; the margin is for the renaming.
    int lookAgainMs = 2200;
    // While a copy runs, what it finished is flushed to the destination's disk once the first of
    // it has waited this long: what a cut leaves unconfirmed, and checks again, is about that
    // much of the copy's time.
    int flushIntervalMs = 150;
};
