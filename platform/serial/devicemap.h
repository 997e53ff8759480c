#pragma once

#include <QString>

namespace platform {

// Linux has no numbered serial ports; this map gives each port number a device. Port n is
// /dev/ttyS<n-1> (port 1 is /dev/ttyS0, port 2 is /dev/ttyS1) unless the environment variable
// KESTRIN_COM<n> names another device, such as a USB adapter (/dev/ttyUSB0) or one end of a
// pseudo-terminal pair. The map is read at every opening. Port numbers below 1 have no device
// (an empty text).
QString serialDeviceForPort(int port);

} // namespace platform
