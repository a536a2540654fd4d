#pragma once

// Logging: one printf-style entry point with a category index from a fixed list.
// Each category is switched on or off by a boolean of its name in the settings group
// "Logger". In this version logPrintf writes nothing and isLogEnabled answers false,
// so call sites cost next to nothing; the flags are still kept and saved.

#include <QString>

class QSettings;

enum LogCategory {
    LogNfo1 = 0,
    LogNfo2,
    LogErr1,
    LogDbg1,
    LogDht1,
    LogDht2,
    LogVmdl,
    LogHsk1,
    LogTor1,
    LogUdp1,
    LogVfs1,
    LogVcli,
    LogVsrv,
    LogVmg1,
    LogVmg2,
    LogVcpa,
    LogDb1,
    LogCom1,
    LogKcp1,
    LogTcp1,
    LogTurn1,
    LogCategoryCount
};

#if defined(__GNUC__) || defined(__clang__)
#define NUSK_PRINTF_FORMAT(fmtIndex, argIndex) __attribute__((format(printf, fmtIndex, argIndex)))
#else
#define NUSK_PRINTF_FORMAT(fmtIndex, argIndex)
#endif

// The one log output of the program. Writes nothing in this version.
void logPrintf(int category, const char* fmt, ...) NUSK_PRINTF_FORMAT(2, 3);

// Always false in this version: code guarded by it never runs.
bool isLogEnabled(int category);

// Set or clear one category's flag (out-of-range indices are ignored).
void enableLogCategory(int category);
void disableLogCategory(int category);

namespace Logger {
// The settings key of a category ("NFO1", "ERR1", ...); empty for an unknown index.
QString categoryName(int category);
// The stored on/off flag of a category (what save() writes), not whether output happens.
bool isCategoryOn(int category);
// Writes every category's flag as a boolean under the group "Logger".
void save(QSettings& settings);
// Reads the flags from the group "Logger"; a missing key keeps the current flag.
void load(QSettings& settings);
}
