#include "desktop/common/desktopresources.h"

#include <QtGlobal>

void initDesktopResources()
{
    // Once per process, from whichever dialog of the layer comes first.
    static const bool registered = [] {
        Q_INIT_RESOURCE(desktop);
        return true;
    }();
    Q_UNUSED(registered);
}
