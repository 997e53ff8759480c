#pragma once

#include "errors.h"

#include <QString>
#include <functional>

// The number of the error the operation raised, 0 when it raised none; with description
// given, the error's description too.
inline int errorNumberOf(const std::function<void()> &operation, QString *description = nullptr)
{
    try {
        operation();
    } catch (const platform::RuntimeError &failure) {
        if (description)
            *description = failure.description();
        return failure.number();
    }
    return 0;
}
