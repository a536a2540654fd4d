#include "app/startup/fontconfigwarmup.h"

#include <fontconfig/fontconfig.h>

FontconfigWarmUp::FontconfigWarmUp() : m_thread([] { FcInit(); })
{
}

FontconfigWarmUp::~FontconfigWarmUp()
{
    wait();
}

void FontconfigWarmUp::wait()
{
    if (m_thread.joinable())
        m_thread.join();
}
