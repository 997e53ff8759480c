#include "modellogging.h"

Q_LOGGING_CATEGORY(lcCommands, "kestrin.commands", QtWarningMsg)
Q_LOGGING_CATEGORY(lcGenerator, "kestrin.generator", QtWarningMsg)
