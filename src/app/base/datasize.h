#pragma once

// Sizes as the program shows them: decimal units (powers of 1000) in the default locale, and
// below a kilobyte a count of bytes in the catalogue's plural form (Qt alone says "1 bytes",
// and "1 Bytes" in German). Any thread.

#include <QString>

QString formatDataSize(quint64 bytes, int decimals);
