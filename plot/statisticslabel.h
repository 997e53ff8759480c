#pragma once

#include <QLabel>

// The statistics line per trace. Its text changes a few times a second, its number of lines
// seldom; a label asked for its size lays its whole text out, so this one measures itself again
// only when the text has more lines, or a longer line, than when it was last measured.
class StatisticsLabel : public QLabel
{
    Q_OBJECT

public:
    explicit StatisticsLabel(QWidget *parent = nullptr);

    void setStatistics(const QString &text);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    void measure();

    QSize m_sizeHint;
    QSize m_minimumSizeHint;
    qsizetype m_measuredLines = -1;
    qsizetype m_measuredLongestLine = -1;
};
