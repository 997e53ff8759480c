#include "statisticslabel.h"

#include <QStringTokenizer>
#include <algorithm>

StatisticsLabel::StatisticsLabel(QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    measure();
}

void StatisticsLabel::setStatistics(const QString &text)
{
    qsizetype lines = 0;
    qsizetype longestLine = 0;
    for (const QStringView line : QStringTokenizer(text, u'\n')) {
        ++lines;
        longestLine = std::max(longestLine, line.size());
    }
    setText(text);
    if (lines != m_measuredLines || longestLine > m_measuredLongestLine) {
        m_measuredLines = lines;
        m_measuredLongestLine = longestLine;
        measure();
    }
}

void StatisticsLabel::measure()
{
    m_sizeHint = QLabel::sizeHint();
    m_minimumSizeHint = QLabel::minimumSizeHint();
    updateGeometry();
}

QSize StatisticsLabel::sizeHint() const
{
    return m_sizeHint;
}

QSize StatisticsLabel::minimumSizeHint() const
{
    return m_minimumSizeHint;
}
