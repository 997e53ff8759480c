#pragma once

#include <QString>
#include <optional>

// Which background the destination window shows for the linked value.
enum class Background { Default, Red };

// Red for a number above 100, the default for any other number, compared as 32-bit floats so
// that a text rounding to 100 counts as 100; no answer for a text that is not a number, whose
// background stays as it was. Numbers beyond the float range count by their sign.
std::optional<Background> backgroundFor(const QString &text);
