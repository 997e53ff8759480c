#include "seriallogging.h"

namespace platform {

Q_LOGGING_CATEGORY(lcPlatformSerial, "platform.serial", QtWarningMsg)

} // namespace platform
