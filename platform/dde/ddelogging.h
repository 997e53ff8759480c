#pragma once

#include <QLoggingCategory>

namespace platform {

// Warnings by default; QT_LOGGING_RULES="platform.dde.debug=true" adds a line for every peer
// turned away or dropped and every time the source listens again.
Q_DECLARE_LOGGING_CATEGORY(lcPlatformDde)

} // namespace platform
