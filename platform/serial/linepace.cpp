#include "linepace.h"

#include "serialsettings.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace platform {

namespace {

constexpr double kMillisecondsPerSecond = 1000.0;

double bitsPerCharacter(const SerialSettings &settings)
{
    const double stopBits = settings.stopBits == QSerialPort::TwoStop          ? 2.0
                            : settings.stopBits == QSerialPort::OneAndHalfStop ? 1.5
                                                                               : 1.0;
    const double parityBits = settings.parity == QSerialPort::NoParity ? 0.0 : 1.0;
    return 1.0 + settings.dataBits + parityBits + stopBits;
}

} // namespace

LinePace::LinePace(const SerialSettings &settings)
{
    setSettings(settings);
    m_available = m_saved;
    m_clock.start();
}

void LinePace::setSettings(const SerialSettings &settings)
{
    m_charactersPerSecond = settings.baudRate / bitsPerCharacter(settings);
    // At least one character, or a very slow line would never carry one.
    m_saved = std::max(1.0, m_charactersPerSecond * kSavedMilliseconds / kMillisecondsPerSecond);
    m_available = std::min(m_available, m_saved);
}

qint64 LinePace::available()
{
    const double seconds = double(m_clock.nsecsElapsed()) / 1e9;
    m_clock.start();
    m_available = std::min(m_saved, m_available + seconds * m_charactersPerSecond);
    return qint64(m_available);
}

void LinePace::take(qint64 characters)
{
    m_available = std::max(0.0, m_available - double(characters));
}

int LinePace::millisecondsUntilMore() const
{
    const double missing = std::max(0.0, 1.0 - m_available);
    const double milliseconds = std::ceil(missing / m_charactersPerSecond * kMillisecondsPerSecond);
    return std::max(kStepMilliseconds, int(std::min(milliseconds, double(std::numeric_limits<int>::max()))));
}

} // namespace platform
