#pragma once

// The words a copy waits with while a computer of it cannot be reached. When this computer's
// own network switch is off, that is what the copy waits for, not the other computer.
// Read on any thread.

#include <QString>

class IPeer;

QString vfsAwayText(const IPeer *away);
