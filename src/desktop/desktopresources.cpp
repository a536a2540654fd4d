#include "desktop/desktopresources.h"

#include <QtGlobal>

void initDesktopResources()
{
    Q_INIT_RESOURCE(desktop);
}
