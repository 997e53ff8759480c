#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

namespace platform {

struct SerialSettings;

// The pace of a serial line: the characters it has carried since they were last taken, at the
// rate its settings give (a start bit, the data bits, the parity bit and the stop bits for
// each), saved up for a short while at most, as a terminal's buffer holds a few characters.
// A line that has carried nothing yet has a full short while's worth.
class LinePace
{
public:
    // A short while's worth of characters is what a line keeps for whoever takes them.
    static constexpr int kSavedMilliseconds = 50;
    // Once the characters are taken, the next look waits at least this long, so a line at
    // full speed is looked at a hundred times a second, not once per character.
    static constexpr int kStepMilliseconds = 10;

    explicit LinePace(const SerialSettings &settings);
    void setSettings(const SerialSettings &settings);

    double charactersPerSecond() const { return m_charactersPerSecond; }
    // Characters carried and not yet taken.
    qint64 available();
    void take(qint64 characters);
    // How long until the line has carried at least one more character.
    int millisecondsUntilMore() const;

private:
    double m_charactersPerSecond = 0;
    double m_saved = 0;
    double m_available = 0;
    QElapsedTimer m_clock;
};

} // namespace platform
