#include "channellogging.h"

Q_LOGGING_CATEGORY(lcSerial, "kestrin.serial", QtWarningMsg)
Q_LOGGING_CATEGORY(lcTcp, "kestrin.tcp", QtWarningMsg)
Q_LOGGING_CATEGORY(lcDde, "kestrin.dde", QtWarningMsg)
