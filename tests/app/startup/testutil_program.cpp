#include "testutil_program.h"

#include <QCoreApplication>

QString programPath()
{
    QString dir = QString::fromLocal8Bit(qgetenv("NUSK_BIN_DIR"));
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath();
    return dir + "/nusk";
}
