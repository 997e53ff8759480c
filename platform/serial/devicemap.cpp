#include "devicemap.h"

#include <QByteArray>
#include <QtGlobal>

namespace platform {

QString serialDeviceForPort(int port)
{
    if (port < 1)
        return QString();
    const QByteArray variable = "KESTRIN_COM" + QByteArray::number(port);
    const QString mapped = qEnvironmentVariable(variable.constData()).trimmed();
    if (!mapped.isEmpty())
        return mapped;
    return QStringLiteral("/dev/ttyS") + QString::number(port - 1);
}

} // namespace platform
