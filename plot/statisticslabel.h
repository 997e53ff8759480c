#pragma once

#include "plotsymbols.h"

#include <QLabel>

#include <QList>

// The plot's legend: the statistics line per trace, each led by its trace's symbol, and a line
// per kind of marker shown, led by the marker's symbol. Its text changes a
// few times a second, its number of lines seldom; a label asked for its size lays its whole
// text out, so this one measures itself again only when the text has more lines, or a longer
// line, than when it was last measured.
class StatisticsLabel : public QLabel
{
    Q_OBJECT

public:
    explicit StatisticsLabel(QWidget *parent = nullptr);

    // symbols.at(i) leads line i of the text.
    void setStatistics(const QString &text, const QList<PlotSymbol> &symbols);

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

    QList<PlotSymbol> m_symbols;

    QSize m_sizeHint;
    QSize m_minimumSizeHint;
    qsizetype m_measuredLines = -1;
    qsizetype m_measuredLongestLine = -1;
};
