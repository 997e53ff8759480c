#include "statisticslabel.h"

#include <QEvent>
#include <QPainter>
#include <QStringTokenizer>
#include <algorithm>

namespace {

constexpr int kSwatchGap = 6; // between a swatch and its line's text

} // namespace

StatisticsLabel::StatisticsLabel(QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    // Lines from the top, so that each line's place is known to its swatch.
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    placeSwatches();
    measure();
}

void StatisticsLabel::placeSwatches()
{
    const QFontMetrics metrics = fontMetrics();
    setContentsMargins(metrics.ascent() + kSwatchGap, 0, 0, 0);
}

QRect StatisticsLabel::swatchRect(int line) const
{
    // A plain label's lines follow one another at the font's line spacing.
    const QFontMetrics metrics = fontMetrics();
    const int side = metrics.ascent() - metrics.descent();
    const int top = contentsRect().top() + line * metrics.lineSpacing() + metrics.ascent() - side;
    return {0, top, side, side};
}

void StatisticsLabel::paintEvent(QPaintEvent *event)
{
    QLabel::paintEvent(event);
    if (m_symbols.isEmpty())
        return;
    QPainter painter(this);
    const QColor outline = palette().color(QPalette::WindowText);
    for (qsizetype line = 0; line < m_symbols.size(); ++line)
        paintSymbol(painter, swatchRect(int(line)), m_symbols.at(line), outline);
}

void StatisticsLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        placeSwatches();
        measure();
    }
}

void StatisticsLabel::setStatistics(const QString &text, const QList<PlotSymbol> &symbols)
{
    if (symbols != m_symbols) {
        m_symbols = symbols;
        update();
    }
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
