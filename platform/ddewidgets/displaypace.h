#pragma once

#include <QtGlobal>
#include <optional>

namespace platform {

// When a box shows the values written for it. A value written a whole frame or more after the
// box last changed shows at once; one written sooner waits for the end of that frame, and a
// later write before then takes its place. The box so shows every value while they come no
// faster than one a frame, and above that changes at most once a frame, ending with the last.
// Times are milliseconds on a monotonic clock the caller keeps.
class DisplayPace
{
public:
    // When a value written at `now` shows: `now` itself, or the end of the current frame.
    qint64 showTime(qint64 now, qint64 frame) const
    {
        if (!m_lastChange || now - *m_lastChange >= frame)
            return now;
        return *m_lastChange + frame;
    }

    // The box changed at `now`.
    void changed(qint64 now) { m_lastChange = now; }

private:
    std::optional<qint64> m_lastChange;
};

} // namespace platform
