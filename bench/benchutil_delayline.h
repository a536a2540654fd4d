#pragma once

// A delay line for the packets a network namespace routes: a TUN device in that namespace
// whose packets this process holds for a set time each and then hands back, in order. A
// route that sends traffic into the device delays it by that much, where the kernel has no
// netem. It also cuts the link at once, from any thread: while it drops, every packet is lost
// silently, as on a cable pulled somewhere on the way. Runs on a thread of its own.

#include "testutil_netns.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

namespace benchutil {

class DelayLine
{
public:
    ~DelayLine() { stop(); }

    // Makes the TUN device `device` in the namespace `fullName` and starts to pass packets
    // through it; false when the device cannot be made.
    bool start(const QString &fullName, const QString &device)
    {
        {
            testutil::NetnsScope scope(fullName);
            if (!scope.isValid())
                return false;
            m_fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (m_fd < 0)
                return false;
            ifreq request {};
            request.ifr_flags = IFF_TUN | IFF_NO_PI;
            std::strncpy(request.ifr_name, device.toLatin1().constData(), IFNAMSIZ - 1);
            if (::ioctl(m_fd, TUNSETIFF, &request) != 0)
                return false;
        }
        m_running = true;
        m_thread = std::thread([this] { run(); });
        return true;
    }

    void stop()
    {
        m_running = false;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // How long each packet is held from now on.
    void setDelay(std::chrono::microseconds delay) { m_delayUs = delay.count(); }
    // While set, every packet is lost, those held already included.
    void setDropping(bool drop) { m_dropping = drop; }

private:
    using Clock = std::chrono::steady_clock;

    struct Packet
    {
        Clock::time_point due;
        std::vector<char> bytes;
    };

    void run()
    {
        std::deque<Packet> held;
        std::vector<char> buffer(65536);
        while (m_running) {
            timespec wait {0, 20 * 1000 * 1000};
            if (!held.empty()) {
                const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(held.front().due - Clock::now());
                const long long ns = std::max<long long>(0, left.count());
                wait = {time_t(ns / 1000000000), long(ns % 1000000000)};
            }
            pollfd p {m_fd, POLLIN, 0};
            ::ppoll(&p, 1, &wait, nullptr);
            for (;;) {
                const ssize_t n = ::read(m_fd, buffer.data(), buffer.size());
                if (n <= 0)
                    break;
                if (m_dropping)
                    continue;
                held.push_back({Clock::now() + std::chrono::microseconds(m_delayUs.load()),
                                std::vector<char>(buffer.begin(), buffer.begin() + n)});
            }
            if (m_dropping)
                held.clear();
            const Clock::time_point now = Clock::now();
            while (!held.empty() && held.front().due <= now) {
                const std::vector<char> &bytes = held.front().bytes;
                if (::write(m_fd, bytes.data(), bytes.size()) < 0 && errno == EAGAIN)
                    break; // the device is full: again on the next turn
                held.pop_front();
            }
        }
    }

    int m_fd = -1;
    std::atomic<bool> m_running{false};
    std::atomic<long long> m_delayUs{0};
    std::atomic<bool> m_dropping{false};
    std::thread m_thread;
};

} // namespace benchutil
