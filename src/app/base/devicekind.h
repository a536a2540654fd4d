#pragma once

// What kind of computer this is, probed once at start-up: a laptop has a system battery.

#include <QString>

enum class DeviceKind {
    Desktop,
    Laptop,
};

// Probes on the first call (start-up step 1) and answers the same from then on.
DeviceKind deviceKind();

// The probe itself over a power-supply class directory (/sys/class/power_supply on Linux):
// a supply of type "Battery" that powers the system (scope absent or "System") makes a
// laptop; the batteries of mice and keyboards (scope "Device") don't.
DeviceKind probeDeviceKind(const QString &powerSupplyDir);
