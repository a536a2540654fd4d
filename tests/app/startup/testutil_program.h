#pragma once

// Where the tests of the real program find it.

#include <QString>

// nusk in NUSK_BIN_DIR, else next to the test.
QString programPath();
