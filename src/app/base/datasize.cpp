#include "app/base/datasize.h"

#include <QCoreApplication>
#include <QLocale>

QString formatDataSize(quint64 bytes, int decimals)
{
    if (bytes >= 1000)
        return QLocale().formattedDataSize(qint64(bytes), decimals, QLocale::DataSizeSIFormat);
    const int n = int(bytes);
    //% "%n bytes"
    const QString text = qtTrId("size-bytes", n);
    // Tools and tests run without a catalogue.
    if (text == QLatin1String("size-bytes"))
        return n == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(n);
    return text;
}
