#include "ddelogging.h"

namespace platform {

Q_LOGGING_CATEGORY(lcPlatformDde, "platform.dde", QtWarningMsg)

} // namespace platform
