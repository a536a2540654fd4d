#pragma once

// Limits of the tests' waits. A test waits for a condition, never for a fixed time; the limit
// only says when a stuck test gives up. On a loaded machine (every test at once, sanitizers)
// the same work takes several times longer, so limits are generous and
// NUSK_TEST_TIMEOUT_SCALE (a factor >= 1, e.g. 3 under ThreadSanitizer) stretches them further.
// Every test includes this header first (see nusk_add_tests), so the QTRY_ macros without a
// limit of their own wait as long as kDefaultWaitMs says rather than QtTest's 5 s.

#include <QtGlobal>
#include <QtTest/qtestcase.h>

namespace testutil {

inline double timeoutScale()
{
    static const double scale = [] {
        bool ok = false;
        const double value = qEnvironmentVariable("NUSK_TEST_TIMEOUT_SCALE").toDouble(&ok);
        return ok && value > 1.0 ? value : 1.0;
    }();
    return scale;
}

// `ms` stretched by the machine's factor.
inline int timeoutMs(int ms)
{
    return int(qMin(double(ms) * timeoutScale(), 3600.0 * 1000.0));
}

// The limit of a wait that names none.
constexpr int kDefaultWaitMs = 20000;

} // namespace testutil

#undef QTRY_VERIFY
#define QTRY_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT((expr), testutil::timeoutMs(testutil::kDefaultWaitMs))
#undef QTRY_VERIFY2
#define QTRY_VERIFY2(expr, messageExpression) \
    QTRY_VERIFY2_WITH_TIMEOUT((expr), (messageExpression), testutil::timeoutMs(testutil::kDefaultWaitMs))
#undef QTRY_COMPARE
#define QTRY_COMPARE(expr, expected) \
    QTRY_COMPARE_WITH_TIMEOUT((expr), expected, testutil::timeoutMs(testutil::kDefaultWaitMs))
