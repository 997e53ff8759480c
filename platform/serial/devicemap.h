#pragma once

#include <QString>

namespace platform {

// Linux has no numbered serial ports; a device map gives each port number of a program a
// device. Port n is a virtual port the program provides itself, a pseudo-terminal published
// for clients at virtualPortPath(n), unless the environment variable <prefix><n> names a
// device, such as real hardware (/dev/ttyS0, a USB adapter /dev/ttyUSB0) or one end of a
// pseudo-terminal pair. The map is read at every opening. Port numbers below 1 have no device.
//
// The program gives the names: the prefix of its variables (say "APP_COM", for APP_COM1) and
// the runtime folder it publishes its virtual ports in (say "app").
class DeviceMap
{
public:
    DeviceMap(const QString &environmentPrefix, const QString &publishedFolder);

    // The variable that maps the port: <prefix><port>.
    QString environmentVariable(int port) const;

    // The device the variable of the port names, or an empty text when the port is virtual.
    QString mappedDevice(int port) const;

    // Where a virtual port is published: <runtime>/<folder>/COM<port>, the runtime folder being
    // $XDG_RUNTIME_DIR, else the private /tmp/<folder>-<uid> (see runtimefolder.h).
    QString virtualPortPath(int port) const;

    // The device of a port: the mapped device or the published path of the virtual port; an
    // empty text below port 1.
    QString deviceForPort(int port) const;

    // The runtime folder that holds the published virtual ports.
    QString publishedFolder() const { return m_publishedFolder; }

private:
    QString m_environmentPrefix;
    QString m_publishedFolder;
};

} // namespace platform
