#pragma once

#include <QLabel>

#include <QColor>
#include <QList>

// The statistics line per trace, each led by a swatch of its trace's colour. Its text changes a
// few times a second, its number of lines seldom; a label asked for its size lays its whole
// text out, so this one measures itself again only when the text has more lines, or a longer
// line, than when it was last measured.
class StatisticsLabel : public QLabel
{
    Q_OBJECT

public:
    explicit StatisticsLabel(QWidget *parent = nullptr);

    // One line per trace; colors.at(i) is the colour of line i's trace.
    void setStatistics(const QString &text, const QList<QColor> &colors);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Where the swatch of a line is drawn.
    QRect swatchRect(int line) const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void measure();
    void placeSwatches();

    QList<QColor> m_colors;

    QSize m_sizeHint;
    QSize m_minimumSizeHint;
    qsizetype m_measuredLines = -1;
    qsizetype m_measuredLongestLine = -1;
};
