#pragma once

#include <QLoggingCategory>

// Off by default; QT_LOGGING_RULES="kestrin.*.debug=true" switches them on.
Q_DECLARE_LOGGING_CATEGORY(lcSerial)
Q_DECLARE_LOGGING_CATEGORY(lcTcp)
Q_DECLARE_LOGGING_CATEGORY(lcDde)
