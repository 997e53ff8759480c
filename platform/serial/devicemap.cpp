#include "devicemap.h"

#include "runtimefolder.h"

#include <QtGlobal>

namespace platform {

DeviceMap::DeviceMap(const QString &environmentPrefix, const QString &publishedFolder)
    : m_environmentPrefix(environmentPrefix)
    , m_publishedFolder(publishedFolder)
{
}

QString DeviceMap::environmentVariable(int port) const
{
    return m_environmentPrefix + QString::number(port);
}

QString DeviceMap::mappedDevice(int port) const
{
    if (port < 1)
        return QString();
    return qEnvironmentVariable(environmentVariable(port).toLocal8Bit().constData()).trimmed();
}

QString DeviceMap::virtualPortPath(int port) const
{
    return RuntimeFolder::path(m_publishedFolder) + QStringLiteral("/COM") + QString::number(port);
}

QString DeviceMap::deviceForPort(int port) const
{
    if (port < 1)
        return QString();
    const QString mapped = mappedDevice(port);
    return mapped.isEmpty() ? virtualPortPath(port) : mapped;
}

} // namespace platform
