#pragma once

#include <QLoggingCategory>

namespace platform {

// Warnings by default; QT_LOGGING_RULES="platform.dde.debug=true" adds a line for every
// connection turned away, refused or dropped and every output jam as it starts and ends.
// Stopping and listening again are warnings, shown without any rule.
Q_DECLARE_LOGGING_CATEGORY(lcPlatformDde)

} // namespace platform
