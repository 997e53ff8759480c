#include "networklogging.h"

namespace platform {

Q_LOGGING_CATEGORY(lcPlatformNetwork, "platform.network", QtWarningMsg)

} // namespace platform
