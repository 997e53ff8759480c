#include "devicemap.h"

#include "platform/runtimefolder.h"

#include <QByteArray>
#include <QtGlobal>

namespace platform {

QString mappedSerialDevice(int port)
{
    if (port < 1)
        return QString();
    const QByteArray variable = "KESTRIN_COM" + QByteArray::number(port);
    return qEnvironmentVariable(variable.constData()).trimmed();
}

QString virtualSerialPortPath(int port)
{
    return RuntimeFolder::path(QLatin1String(kVirtualSerialPortFolder)) + QStringLiteral("/COM")
           + QString::number(port);
}

QString serialDeviceForPort(int port)
{
    if (port < 1)
        return QString();
    const QString mapped = mappedSerialDevice(port);
    return mapped.isEmpty() ? virtualSerialPortPath(port) : mapped;
}

} // namespace platform
