#pragma once

// Waits of the file jobs in milliseconds, in one place. Tests, benchmarks and the peer host
// shorten them.

struct VfsJobTimings
{
    int retryDelayMs = 15000;       // a copy's pause after a transient failure, before it starts over
    int finishedDeleteMs = 500;     // a finished job stays this long for its window
    int abortedDeleteMs = 200;      // likewise an aborted one
};
