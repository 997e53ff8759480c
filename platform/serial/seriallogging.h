#pragma once

#include <QLoggingCategory>

namespace platform {

// Warnings by default; QT_LOGGING_RULES="platform.serial.debug=true" adds a line for every
// output dropped (with its count), every output jam as it starts and ends, and every input
// cut at a bound.
Q_DECLARE_LOGGING_CATEGORY(lcPlatformSerial)

} // namespace platform
