#pragma once

#include <QByteArray>
#include <QString>

namespace bench {

inline constexpr char kXSocketFolder[] = "/tmp/.X11-unix";

// Why no X server can be reached at `display` (the form of $DISPLAY: ":99", ":0.0",
// "unix:1"), or an empty text when one answers at <socketFolder>/X<number>, on the file or
// the abstract socket. A display on another host is left to the toolkit's own connection.
QString xDisplayProblem(const QByteArray &display, const QString &socketFolder = QLatin1String(kXSocketFolder));

} // namespace bench
