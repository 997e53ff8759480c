#pragma once

#include <QString>

namespace platform {

// Linux has no numbered serial ports; this map gives each port number a device. Port n is a
// virtual port the program provides itself, a pseudo-terminal published for clients at
// virtualSerialPortPath(n), unless the environment variable KESTRIN_COM<n> names a device,
// such as real hardware (/dev/ttyS0, a USB adapter /dev/ttyUSB0) or one end of a
// pseudo-terminal pair. The map is read at every opening. Port numbers below 1 have no device.

// The device KESTRIN_COM<port> names, or an empty text when the port is virtual.
QString mappedSerialDevice(int port);

// Where a virtual port is published: <runtime>/kestrin/COM<port>, the runtime folder being
// $XDG_RUNTIME_DIR, else the private /tmp/kestrin-<uid> (see runtimefolder.h).
QString virtualSerialPortPath(int port);

// The device of a port: the mapped device or the published path of the virtual port; an
// empty text below port 1.
QString serialDeviceForPort(int port);

// The runtime folder that holds the published virtual ports.
inline constexpr char kVirtualSerialPortFolder[] = "kestrin";

} // namespace platform
