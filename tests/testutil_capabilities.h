#pragma once

// Root's rights, one at a time, for the calling thread only: Linux keeps capabilities per
// thread, so a test or bench takes one away on the thread it works on, and the rest of the
// process (the harness, a writer on another thread) keeps it.

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testutil {

// Sets the effective capability `cap` (CAP_LEASE...) of the calling thread on or off; false
// when the kernel refused (turning on one the thread no longer permits).
inline bool setThreadCapability(int cap, bool on)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    const unsigned bit = 1U << (cap % 32);
    __u32 &effective = data[cap / 32].effective;
    effective = on ? effective | bit : effective & ~bit;
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace testutil
