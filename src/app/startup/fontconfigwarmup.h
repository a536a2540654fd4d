#pragma once

// Fontconfig reads and parses every configuration file of the system the first time any text
// is measured: on the GUI thread, inside the main window's first widget, a good share of the
// start-up. Made at the top of main, this does it on a thread of its own while the application
// object, the configuration and the database are being set up.
//
// Made and waited for on the main thread.

#include <thread>

class FontconfigWarmUp
{
public:
    FontconfigWarmUp();
    ~FontconfigWarmUp();
    FontconfigWarmUp(const FontconfigWarmUp &) = delete;
    FontconfigWarmUp &operator=(const FontconfigWarmUp &) = delete;

    // Waits for the work, before the first widget: a second load started meanwhile by the
    // widget would only repeat it.
    void wait();

private:
    std::thread m_thread;
};
