#include "displaycheck.h"

#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace bench {

namespace {

// Connects to a local socket at `path`, or at the abstract name `path` when `abstract`.
bool answers(const QByteArray &path, bool abstract)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (offset + size_t(path.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path + offset, path.constData(), size_t(path.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + offset + size_t(path.size()));
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool connected = ::connect(descriptor, reinterpret_cast<sockaddr *>(&address), length) == 0;
    ::close(descriptor);
    return connected;
}

} // namespace

QString xDisplayProblem(const QByteArray &display, const QString &socketFolder)
{
    if (display.isEmpty())
        return QStringLiteral("DISPLAY is not set");
    const qsizetype colon = display.lastIndexOf(':');
    const QByteArray host = display.left(qMax<qsizetype>(colon, 0));
    if (colon > 0 && host != "unix")
        return {};
    QByteArray number = display.mid(colon + 1);
    number.truncate(number.contains('.') ? number.indexOf('.') : number.size());
    bool isNumber = false;
    number.toUInt(&isNumber);
    if (colon < 0 || !isNumber)
        return QStringLiteral("DISPLAY \"%1\" names no display number").arg(QString::fromLocal8Bit(display));
    const QByteArray path = socketFolder.toLocal8Bit() + "/X" + number;
    if (answers(path, false) || answers(path, true))
        return {};
    return QStringLiteral("no X server answers at %1 for DISPLAY \"%2\"")
        .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(display));
}

} // namespace bench
