#include "descriptorlimit.h"

#include <QString>

#include <cerrno>
#include <sys/resource.h>

namespace platform {

void raiseDescriptorLimit()
{
    rlimit descriptors{};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) != 0 || descriptors.rlim_cur >= descriptors.rlim_max)
        return;
    descriptors.rlim_cur = descriptors.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &descriptors) != 0)
        qWarning("The limit of open descriptors stays at its soft limit: %s", qPrintable(qt_error_string(errno)));
}

} // namespace platform
