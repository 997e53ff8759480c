#pragma once

#include <QMainWindow>
#include <QStringList>
#include <QTimer>

class QLineEdit;

namespace bench {

// A bare Qt window at the instrument's pace: one line edit that a precise timer rewrites, every
// `ticksPerLine` ticks, with the next of the given lines, made in advance so that only the
// window's own work counts. With one line the box paints it once and then finds nothing to
// change; with many it lays out and paints at each new line.
class FloorWindow : public QMainWindow
{
    Q_OBJECT

public:
    FloorWindow(int ticksPerSecond, const QStringList &lines, int ticksPerLine = 1, QWidget *parent = nullptr);

    void start() { m_timer.start(); }
    void stop() { m_timer.stop(); }
    qint64 ticks() const { return m_ticks; }

    // `count` lines of `numbersPerLine` random numbers, as the instrument formats them.
    static QStringList makeLines(int count, int numbersPerLine);

private:
    void showNextLine();

    QLineEdit *m_line = nullptr;
    QTimer m_timer;
    QStringList m_lines;
    int m_ticksPerLine;
    qint64 m_ticks = 0;
};

} // namespace bench
