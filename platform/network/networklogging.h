#pragma once

#include <QLoggingCategory>

namespace platform {

// Warnings by default; QT_LOGGING_RULES="platform.network.debug=true" adds a line for every
// client refused or dropped, every output jam as it starts and ends, and every listen.
Q_DECLARE_LOGGING_CATEGORY(lcPlatformNetwork)

} // namespace platform
