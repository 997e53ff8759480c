#pragma once

#include "devicemap.h"

// Where the instrument's serial ports are: KESTRIN_COM<n> maps port n to a device, and the
// virtual ports are published in the runtime folder "kestrin", where clients look for them.
inline platform::DeviceMap instrumentSerialDevices()
{
    return platform::DeviceMap(QStringLiteral("KESTRIN_COM"), QStringLiteral("kestrin"));
}
