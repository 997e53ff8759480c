#include "floorwindow.h"

#include <QLineEdit>
#include <QRandomGenerator>

namespace bench {

namespace {
constexpr double kLargestNumber = 100.0;
constexpr int kDecimals = 4;
constexpr char kSeparator = ',';
} // namespace

FloorWindow::FloorWindow(int ticksPerSecond, const QStringList &lines, int ticksPerLine, QWidget *parent)
    : QMainWindow(parent)
    , m_line(new QLineEdit(this))
    , m_lines(lines)
    , m_ticksPerLine(ticksPerLine)
{
    setWindowTitle(QStringLiteral("Floor"));
    setCentralWidget(m_line);
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(1000 / ticksPerSecond);
    connect(&m_timer, &QTimer::timeout, this, &FloorWindow::showNextLine);
}

QStringList FloorWindow::makeLines(int count, int numbersPerLine)
{
    QStringList lines;
    QRandomGenerator *random = QRandomGenerator::global();
    for (int line = 0; line < count; ++line) {
        QStringList numbers;
        for (int number = 0; number < numbersPerLine; ++number)
            numbers << QString::number(random->bounded(kLargestNumber), 'f', kDecimals);
        lines << numbers.join(QLatin1Char(kSeparator));
    }
    return lines;
}

void FloorWindow::showNextLine()
{
    m_line->setText(m_lines.at(int(m_ticks / m_ticksPerLine % m_lines.size())));
    ++m_ticks;
}

} // namespace bench
