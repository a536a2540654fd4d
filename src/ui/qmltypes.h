#pragma once

// The QML module "com.qentrix.fenu" 1.0 with the program's types, and the pointer types that
// travel through properties, signals and QML. Registered once, before the shared engine
// loads anything; later calls change nothing. GUI thread.

void registerQmlTypes();
