#include "backgroundrule.h"

#include "errors.h"
#include "numbers.h"

#include <limits>

namespace {

constexpr float kRedAbove = 100.0f;

Background backgroundForValue(float value)
{
    return value > kRedAbove ? Background::Red : Background::Default;
}

} // namespace

std::optional<Background> backgroundFor(const QString &text)
{
    if (!platform::readsAsNumber(text))
        return std::nullopt;
    try {
        return backgroundForValue(platform::toSingle(text));
    } catch (const platform::RuntimeError &) {
        // Only overflow gets here: the text is a number too large for a float, even for a double.
        const bool negative = text.trimmed().startsWith(QLatin1Char('-'));
        return backgroundForValue(negative ? std::numeric_limits<float>::lowest() : std::numeric_limits<float>::max());
    }
}
