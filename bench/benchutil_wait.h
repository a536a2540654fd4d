#pragma once

// Waiting in a benchmark the way the program's own event loop waits: asleep until an event
// comes. A loop that polls for events keeps a core busy on the very thread whose work is
// measured, and the program never does that.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace benchutil {

// Runs the event loop until `done` or `ms` passed; true when done. `done` is asked after
// every round of events, and at least every 20 ms.
inline bool waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer wake;
    wake.start(20);
    while (!done()) {
        if (elapsed.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace benchutil
