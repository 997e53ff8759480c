#pragma once

#include <QString>

namespace platform {

struct SerialSettings;

// Puts a pseudo-terminal in raw mode (no echo, no translation, no signals) at the baud rate
// and stop bits of the settings; a rate without a standard code is set exactly. Through the
// controlling side the settings reach the terminal that clients open. A pseudo-terminal
// carries 8 data bits without parity and knows no 1.5 stop bits: other settings raise
// RuntimeError 380 naming `device`, and the terminal keeps what it had.
void applyTerminalSettings(int terminal, const SerialSettings &settings, const QString &device);

} // namespace platform
