// The plot's data: how an update is read, what the window keeps, and its statistics and how
// they are shown.

#include "lineparser.h"
#include "plotsymbols.h"
#include "plotwidget.h"
#include "ringbuffer.h"
#include "statisticslabel.h"
#include "stripchart.h"
#include "tracestatistics.h"

#include <QImage>
#include <QPainter>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <QTest>

using Kind = ParsedLine::Kind;
using Values = QList<double>;

class tst_PlotData : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void ringKeepsTheNewestRows();
    void statisticsOfTheWindow();
    void statisticsStayFinite_data();
    void statisticsStayFinite();
    void rangeStaysFinite_data();
    void rangeStaysFinite();
    void legendLinesShowTheirSymbols_data();
    void legendLinesShowTheirSymbols();
    void coloursStayApartForColourBlindReaders_data();
    void coloursStayApartForColourBlindReaders();
    void markersDifferByShape();
    void newestLabelStandsUnderTheNewestLine_data();
    void newestLabelStandsUnderTheNewestLine();
    void markersShowTheirSymbolsAboveTheirLines_data();
    void markersShowTheirSymbolsAboveTheirLines();
    void stripChartDrawsOnlyWhatChanged_data();
    void stripChartDrawsOnlyWhatChanged();
};

void tst_PlotData::parse_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("pointNumbers");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<double>("x");
    QTest::addColumn<Values>("values");

    QTest::newRow("comma") << "0.51,-2.5e1,3" << false << Kind::Data << 0.0 << Values{0.51, -25, 3};
    QTest::newRow("tab") << "1\t2" << false << Kind::Data << 0.0 << Values{1, 2};
    QTest::newRow("semicolon") << "1;2;3;4" << false << Kind::Data << 0.0 << Values{1, 2, 3, 4};
    QTest::newRow("spaces, runs of them") << "  1   2 3 " << false << Kind::Data << 0.0 << Values{1, 2, 3};
    QTest::newRow("comma wins over spaces") << "1, 2, 3" << false << Kind::Data << 0.0 << Values{1, 2, 3};
    QTest::newRow("single value") << "7.25" << false << Kind::Data << 0.0 << Values{7.25};
    QTest::newRow("point number is x") << "12,0.5,0.25" << true << Kind::Data << 12.0 << Values{0.5, 0.25};
    QTest::newRow("point number alone") << "12" << true << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("OK") << "OK" << false << Kind::Accepted << 0.0 << Values{};
    QTest::newRow("OK with point numbers") << "OK" << true << Kind::Accepted << 0.0 << Values{};
    QTest::newRow("Error") << "Error 2: Illegal Command - RESUME" << false << Kind::Refused << 0.0 << Values{};
    QTest::newRow("empty") << "" << false << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("word") << "TOOLONG" << false << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("one bad field") << "1,x,3" << false << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("empty field") << "1,,3" << false << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("decimal comma is not a number") << "1,5;2,5" << false << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("OKAY is not OK") << "OKAY" << false << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("signs and bare points")
        << "+1;-.5;1.;+2e-3" << false << Kind::Data << 0.0 << Values{1, -0.5, 1, 0.002};
    QTest::newRow("two signs") << "+-1" << false << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("not a number") << "1,nan" << false << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("infinite") << "inf,1" << false << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("beyond a double") << "1e400" << false << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("hexadecimal") << "0x10" << false << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("digits of another script") << QString(QChar(0x0663)) << false << Kind::Unparsed << 0.0 << Values{};
    QTest::newRow("longer than the short field")
        << "0." + QString(100, u'0') + "5" << false << Kind::Data << 0.0 << Values{5e-101};
    // A line of 32767 points keeps the window's rows small.
    const QString widest = QStringLiteral("1,").repeated(32766) + QStringLiteral("1");
    QTest::newRow("traces beyond the most kept") << widest << false << Kind::Data << 0.0 << Values(kMaximumTraces, 1.0);
}

void tst_PlotData::parse()
{
    QFETCH(QString, line);
    QFETCH(bool, pointNumbers);

    const ParsedLine parsed = parseLine(line, pointNumbers);

    QTEST(parsed.kind, "kind");
    QTEST(parsed.x, "x");
    QTEST(parsed.values, "values");
}

void tst_PlotData::ringKeepsTheNewestRows()
{
    RingBuffer ring(3);
    for (int i = 0; i < 7; ++i)
        ring.append({Kind::Data, double(i), {}});
    QCOMPARE(ring.size(), 3);
    QCOMPARE(ring.at(0).x, 4.0);
    QCOMPARE(ring.at(2).x, 6.0);

    ring.setCapacity(2);
    QCOMPARE(ring.size(), 2);
    QCOMPARE(ring.at(0).x, 5.0);
    QCOMPARE(ring.at(1).x, 6.0);

    ring.setCapacity(5);
    ring.append({Kind::Data, 7.0, {}});
    QCOMPARE(ring.size(), 3);
    QCOMPARE(ring.at(0).x, 5.0);
    QCOMPARE(ring.at(2).x, 7.0);

    ring.clear();
    QVERIFY(ring.isEmpty());
    QCOMPARE(ring.capacity(), 5);
}

void tst_PlotData::statisticsOfTheWindow()
{
    RingBuffer ring(4);
    ring.append({Kind::Data, 0, {100, 100}}); // pushed out by the four below
    ring.append({Kind::Data, 1, {2, -1}});
    ring.append({Kind::Accepted, 1, {}});
    ring.append({Kind::Data, 2, {4}});
    ring.append({Kind::Data, 3, {9, 1}});

    const QList<TraceStatistics> statistics = traceStatistics(ring);
    QCOMPARE(statistics.size(), 2);
    QCOMPARE(statistics[0].count, 3);
    QCOMPARE(statistics[0].mean, 5.0);
    QCOMPARE(statistics[0].sd, std::sqrt(13.0)); // sample deviation: (9 + 1 + 16) / 2
    QCOMPARE(statistics[0].min, 2.0);
    QCOMPARE(statistics[0].max, 9.0);
    QCOMPARE(statistics[1].count, 2);
    QCOMPARE(statistics[1].mean, 0.0);

    QCOMPARE(statisticsText({{1000, 10.0234, 3.98012, -2.3149, 21.5}, {1, 0, 0, 0, 0}}),
             QStringLiteral("Trace 1: count 1000, mean 10.02, sd 3.98, min -2.315, max 21.5\n"
                            "Trace 2: count 1, mean 0, sd 0, min 0, max 0"));
}

void tst_PlotData::statisticsStayFinite_data()
{
    constexpr double largest = std::numeric_limits<double>::max();
    QTest::addColumn<Values>("values");
    QTest::addColumn<double>("mean");
    QTest::addColumn<double>("sd");

    QTest::newRow("level at 1e20") << Values(50, 1e20) << 1e20 << 0.0;
    QTest::newRow("plus and minus 1e308") << Values{1e308, -1e308} << 0.0 << std::sqrt(2.0) * 1e308;
    QTest::newRow("a spread beyond a double") << Values{largest, -largest} << 0.0 << largest;
    QTest::newRow("level at the largest") << Values(3, largest) << largest << 0.0;
    QTest::newRow("tiny after large") << Values{1e300, 1e-300, 1e300, 1e-300} << 5e299 << std::sqrt(1.0 / 3.0) * 1e300;
    QTest::newRow("subnormal") << Values{4e-320, 2e-320} << 3e-320 << std::sqrt(2.0) * 1e-320;
}

// Whatever finite values come, the window's statistics are finite numbers, and close.
void tst_PlotData::statisticsStayFinite()
{
    QFETCH(Values, values);
    QFETCH(double, mean);
    QFETCH(double, sd);
    RingBuffer ring(int(values.size()));
    for (const double value : std::as_const(values))
        ring.append({Kind::Data, 0, {value}});

    const TraceStatistics statistics = traceStatistics(ring).value(0);
    QCOMPARE(statistics.count, values.size());
    QVERIFY2(std::isfinite(statistics.mean) && std::isfinite(statistics.sd), qPrintable(statisticsText({statistics})));
    QCOMPARE(statistics.mean + 1.0, mean + 1.0); // fuzzy, and exact at 0
    QCOMPARE(statistics.sd + 1.0, sd + 1.0);
}

void tst_PlotData::rangeStaysFinite_data()
{
    constexpr double largest = std::numeric_limits<double>::max();
    QTest::addColumn<Values>("values");
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");

    QTest::newRow("level at 0") << Values{0, 0} << -1.0 << 1.0;
    QTest::newRow("level at 5") << Values{5, 5} << 4.0 << 6.0;
    QTest::newRow("level at 1e20") << Values{1e20, 1e20} << 9e19 << 1.1e20;
    QTest::newRow("level at -1e20") << Values{-1e20, -1e20} << -1.1e20 << -9e19;
    QTest::newRow("plus and minus 1e308") << Values{1e308, -1e308} << -1e308 << 1e308;
    QTest::newRow("plus and minus the largest") << Values{largest, -largest} << -largest << largest;
    QTest::newRow("level at the largest") << Values{largest, largest} << 1.6e308 << largest;
}

// The vertical range is finite and holds every value, so that the axis has numbers and the
// trace is drawn inside the area.
void tst_PlotData::rangeStaysFinite()
{
    QFETCH(Values, values);
    const QSize size(60, 40);
    RingBuffer ring(int(values.size()));
    for (const double value : std::as_const(values))
        ring.append({Kind::Data, 0, {value}});
    StripChart chart;
    chart.update(ring, size, false);
    QTEST(chart.minimum(), "minimum");
    QTEST(chart.maximum(), "maximum");

    // Every value is drawn within the area: the trace's colour is in its first column.
    const QImage picture = chart.picture();
    const QRgb trace = traceSymbol(0).color.rgb();
    int drawn = 0;
    for (int y = 0; y < size.height(); ++y)
        drawn += picture.pixel(0, y) == trace;
    QVERIFY(drawn > 0);
}

void tst_PlotData::legendLinesShowTheirSymbols_data()
{
    QTest::addColumn<int>("traces");
    QTest::addColumn<int>("accepted");
    QTest::addColumn<int>("refused");
    QTest::addColumn<QStringList>("replyLines");

    QTest::newRow("one trace") << 1 << 0 << 0 << QStringList{};
    QTest::newRow("three traces") << 3 << 0 << 0 << QStringList{};
    QTest::newRow("colours repeat after eight") << 10 << 0 << 0 << QStringList{};
    QTest::newRow("two traces and replies of both kinds")
        << 2 << 2 << 1 << QStringList{"OK replies: 2", "Error replies: 1"};
    QTest::newRow("refusals only") << 1 << 0 << 3 << QStringList{"Error replies: 3"};
    QTest::newRow("replies without data") << 0 << 1 << 0 << QStringList{"OK replies: 1"};
}

// Each line of the legend is led by the symbol its trace or marker has on the plot, level with
// the line's text: the traces' statistics first, then a line per kind of marker shown.
void tst_PlotData::legendLinesShowTheirSymbols()
{
    QFETCH(int, traces);
    QFETCH(int, accepted);
    QFETCH(int, refused);
    QFETCH(QStringList, replyLines);
    RingBuffer ring(100);
    if (traces > 0)
        ring.append({Kind::Data, 0, Values(traces, 1.5)});
    for (int i = 0; i < accepted; ++i)
        ring.append({Kind::Accepted, 0, {}});
    for (int i = 0; i < refused; ++i)
        ring.append({Kind::Refused, 0, {}});

    const Legend legend = legendOf(ring);
    const QStringList textLines = legend.text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(textLines.size(), traces + replyLines.size());
    QCOMPARE(textLines.mid(traces), replyLines);
    QList<QColor> colors;
    for (int trace = 0; trace < traces; ++trace)
        colors.append(traceSymbol(trace).color);
    if (accepted > 0)
        colors.append(markerSymbol(Kind::Accepted).color);
    if (refused > 0)
        colors.append(markerSymbol(Kind::Refused).color);
    const int lineCount = int(colors.size());

    StatisticsLabel label;
    label.setStatistics(legend.text, legend.symbols);
    label.resize(label.sizeHint());
    const QImage picture = label.grab().toImage();

    // The rows where text is drawn, in bands of one line each.
    const QRgb background = picture.pixel(picture.width() - 1, picture.height() - 1);
    QList<std::pair<int, int>> lines;
    for (int y = 0; y < picture.height(); ++y) {
        bool ink = false;
        for (int x = label.contentsRect().left(); x < picture.width() && !ink; ++x)
            ink = picture.pixel(x, y) != background;
        if (!ink)
            continue;
        if (!lines.isEmpty() && lines.last().second == y - 1)
            lines.last().second = y;
        else
            lines.append({y, y});
    }
    QCOMPARE(lines.size(), lineCount);

    for (int line = 0; line < lineCount; ++line) {
        const QRect swatch = label.swatchRect(line);
        QVERIFY(swatch.right() < label.contentsRect().left());
        QCOMPARE(QColor(picture.pixel(swatch.center())), colors.at(line));
        QVERIFY2(swatch.top() >= lines.at(line).first && swatch.bottom() <= lines.at(line).second,
                 qPrintable(QStringLiteral("swatch %1 at %2 to %3, its line's text at %4 to %5")
                                .arg(line)
                                .arg(swatch.top())
                                .arg(swatch.bottom())
                                .arg(lines.at(line).first)
                                .arg(lines.at(line).second)));
    }
}

namespace {

// A colour as seen under the colour blindness given by the matrix (rows of three, in linear
// RGB), in CIE L*a*b*.
std::array<double, 3> seenAs(const QColor &color, const Values &blindness)
{
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    const std::array<double, 3> rgb = {linear(color.redF()), linear(color.greenF()), linear(color.blueF())};
    std::array<double, 3> seen{};
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column)
            seen[row] += blindness.at(row * 3 + column) * rgb[column];
        seen[row] = std::clamp(seen[row], 0.0, 1.0);
    }
    const double x = (0.4124 * seen[0] + 0.3576 * seen[1] + 0.1805 * seen[2]) / 0.95047;
    const double y = 0.2126 * seen[0] + 0.7152 * seen[1] + 0.0722 * seen[2];
    const double z = (0.0193 * seen[0] + 0.1192 * seen[1] + 0.9505 * seen[2]) / 1.08883;
    const auto f = [](double t) { return t > 216.0 / 24389.0 ? std::cbrt(t) : (24389.0 / 27.0 * t + 16.0) / 116.0; };
    return {116.0 * f(y) - 16.0, 500.0 * (f(x) - f(y)), 200.0 * (f(y) - f(z))};
}

} // namespace

void tst_PlotData::coloursStayApartForColourBlindReaders_data()
{
    // The full forms of the three colour blindnesses, after Machado, Oliveira and Fernandes (2009).
    QTest::addColumn<Values>("blindness");
    QTest::newRow("protanopia") << Values{0.152286, 1.052583,  -0.204868, 0.114503, 0.786281,
                                          0.099216, -0.003882, -0.048116, 1.051998};
    QTest::newRow("deuteranopia") << Values{0.367322, 0.860646,  -0.227968, 0.280085, 0.672501,
                                            0.047413, -0.011820, 0.042940,  0.968881};
    QTest::newRow("tritanopia") << Values{1.255528, -0.076749, -0.178779, -0.078411, 0.930809,
                                          0.147602, 0.004733,  0.691367,  0.303900};
}

// The two markers and the first four traces (what a plot usually holds) stay clearly apart,
// two by two, for a reader with any of the colour blindnesses.
void tst_PlotData::coloursStayApartForColourBlindReaders()
{
    QFETCH(Values, blindness);
    constexpr double kClearlyApart = 12.0; // CIE76 distance; a just noticeable one is about 2.3
    QList<std::pair<QString, QColor>> colors = {{"OK", markerSymbol(Kind::Accepted).color},
                                                {"Error", markerSymbol(Kind::Refused).color}};
    for (int trace = 0; trace < 4; ++trace)
        colors.append({QStringLiteral("trace %1").arg(trace + 1), traceSymbol(trace).color});
    for (qsizetype a = 0; a < colors.size(); ++a) {
        for (qsizetype b = a + 1; b < colors.size(); ++b) {
            const std::array<double, 3> first = seenAs(colors.at(a).second, blindness);
            const std::array<double, 3> second = seenAs(colors.at(b).second, blindness);
            const double distance = std::hypot(first[0] - second[0], first[1] - second[1], first[2] - second[2]);
            QVERIFY2(distance >= kClearlyApart, qPrintable(QStringLiteral("%1 and %2 are %3 apart")
                                                               .arg(colors.at(a).first, colors.at(b).first)
                                                               .arg(distance)));
        }
    }
}

// Painted in one colour, the trace's square and the two markers' symbols are still told apart.
void tst_PlotData::markersDifferByShape()
{
    constexpr int kSide = 11;
    constexpr int kDifferentPixels = 8;
    const auto silhouette = [](PlotSymbol symbol) {
        QImage image(kSide, kSide, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        symbol.color = Qt::black;
        paintSymbol(painter, QRectF(0, 0, kSide, kSide), symbol, Qt::black);
        painter.end();
        return image;
    };
    const QList<QImage> shapes = {silhouette(traceSymbol(0)), silhouette(markerSymbol(Kind::Accepted)),
                                  silhouette(markerSymbol(Kind::Refused))};
    for (qsizetype a = 0; a < shapes.size(); ++a) {
        for (qsizetype b = a + 1; b < shapes.size(); ++b) {
            int different = 0;
            for (int y = 0; y < kSide; ++y) {
                for (int x = 0; x < kSide; ++x)
                    different += (qGray(shapes.at(a).pixel(x, y)) < 128) != (qGray(shapes.at(b).pixel(x, y)) < 128);
            }
            QVERIFY2(different >= kDifferentPixels,
                     qPrintable(QStringLiteral("shapes %1 and %2 differ in %3 pixels").arg(a).arg(b).arg(different)));
        }
    }
}

namespace {

// The widget showing a window of `lines` after the rows came in bursts, as the window brings them.
struct StreamedPlot
{
    StreamedPlot(int lines, const QList<RingBuffer::Row> &rows)
        : ring(lines)
    {
        constexpr int kBurst = 7;
        widget.setBuffer(&ring);
        widget.resize(400, 200);
        for (qsizetype i = 0; i < rows.size(); ++i) {
            ring.append(rows.at(i));
            if (i % kBurst == 0)
                widget.refresh();
        }
        widget.refresh();
        picture = widget.grab().toImage();
    }

    RingBuffer ring;
    PlotWidget widget;
    QImage picture;
};

QList<RingBuffer::Row> dataRows(int count)
{
    QList<RingBuffer::Row> rows;
    for (int i = 0; i < count; ++i)
        rows.append({Kind::Data, double(i), {i % 2 ? 10.0 : 0.0}});
    return rows;
}

// The columns of the rectangle where a pixel is of the colour, or, without one, is not of the
// colour of the rectangle's top left pixel.
QList<int> columnsHolding(const QImage &picture, const QRect &within, std::optional<QRgb> color = {})
{
    const QRgb background = picture.pixel(within.topLeft());
    QList<int> columns;
    for (int x = within.left(); x <= within.right(); ++x) {
        for (int y = within.top(); y <= within.bottom(); ++y) {
            const QRgb pixel = picture.pixel(x, y);
            if (color ? pixel == *color : pixel != background) {
                columns.append(x);
                break;
            }
        }
    }
    return columns;
}

} // namespace

void tst_PlotData::newestLabelStandsUnderTheNewestLine_data()
{
    QTest::addColumn<int>("lines"); // the window's size
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("labels"); // the newest row's x, and the oldest's when there is room

    QTest::newRow("the first line") << 1000 << 1 << 1;
    QTest::newRow("the second line") << 1000 << 2 << 1;
    QTest::newRow("a few lines") << 1000 << 12 << 1;
    QTest::newRow("a tenth of the window") << 1000 << 100 << 2;
    QTest::newRow("the window full") << 1000 << 1000 << 2;
    QTest::newRow("scrolling") << 100 << 250 << 2;
    QTest::newRow("the first line of a short window") << 100 << 1 << 1;
}

// Under the plot, the newest row's x stands under the newest line, from the first line on.
void tst_PlotData::newestLabelStandsUnderTheNewestLine()
{
    QFETCH(int, lines);
    QFETCH(int, rows);
    const StreamedPlot plot(lines, dataRows(rows));
    const QRect area = plot.widget.plotArea();
    const QList<int> traceColumns = columnsHolding(plot.picture, area, traceSymbol(0).color.rgb());
    QVERIFY(!traceColumns.isEmpty());
    const int newestLine = traceColumns.last();

    // The labels' ink, below the vertical axis's lowest number (level with the area's bottom
    // edge), in runs parted by more than the gaps between a number's digits.
    constexpr int kBelowAxisNumbers = 5;
    constexpr int kGapBetweenLabels = 4;
    QList<std::pair<int, int>> labels;
    const QRect strip(0, area.bottom() + kBelowAxisNumbers, plot.picture.width(),
                      plot.picture.height() - area.bottom() - kBelowAxisNumbers);
    for (const int x : columnsHolding(plot.picture, strip)) {
        if (!labels.isEmpty() && x - labels.last().second <= kGapBetweenLabels)
            labels.last().second = x;
        else
            labels.append({x, x});
    }
    QTEST(int(labels.size()), "labels");
    const auto [left, right] = labels.last();
    QVERIFY2(
        left - 1 <= newestLine && newestLine <= right + 1,
        qPrintable(
            QStringLiteral("the newest line at %1, its label from %2 to %3").arg(newestLine).arg(left).arg(right)));
}

void tst_PlotData::markersShowTheirSymbolsAboveTheirLines_data()
{
    QTest::addColumn<int>("rows");   // in a window of 100
    QTest::addColumn<int>("marker"); // the row that is a marker
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<bool>("shown");

    QTest::newRow("OK while the window fills") << 30 << 10 << Kind::Accepted << true;
    QTest::newRow("Error, the newest row") << 30 << 29 << Kind::Refused << true;
    QTest::newRow("OK while the plot scrolls") << 250 << 200 << Kind::Accepted << true;
    QTest::newRow("Error just pushed out of the window") << 250 << 145 << Kind::Refused << false;
}

// A marker's symbol stands above its dashed line, moves with it as the plot scrolls and goes
// with it.
void tst_PlotData::markersShowTheirSymbolsAboveTheirLines()
{
    QFETCH(int, rows);
    QFETCH(int, marker);
    QFETCH(Kind, kind);
    QFETCH(bool, shown);
    QList<RingBuffer::Row> streamed = dataRows(rows);
    streamed[marker] = {kind, 0, {}};
    const StreamedPlot plot(100, streamed);
    const QRect area = plot.widget.plotArea();
    const QRgb color = markerSymbol(kind).color.rgb();

    const QList<int> line = columnsHolding(plot.picture, area, color);
    const QList<int> symbol = columnsHolding(plot.picture, QRect(0, 0, plot.picture.width(), area.top() - 1), color);
    QCOMPARE(!line.isEmpty(), shown);
    QCOMPARE(!symbol.isEmpty(), shown);
    if (!shown)
        return;
    QCOMPARE(line.size(), 1);
    constexpr int kHalfSymbol = 5;
    QVERIFY2(symbol.first() >= line.first() - kHalfSymbol && symbol.last() <= line.first() + kHalfSymbol,
             qPrintable(QStringLiteral("the line at %1, its symbol from %2 to %3")
                            .arg(line.first())
                            .arg(symbol.first())
                            .arg(symbol.last())));
}

namespace {

bool sameColumn(const QImage &a, int columnA, const QImage &b, int columnB)
{
    for (int y = 0; y < a.height(); ++y) {
        if (a.pixel(columnA, y) != b.pixel(columnB, y))
            return false;
    }
    return true;
}

// Row i of a stream of three traces: values in [0, 10] that keep both ends in every window of
// twenty rows, so the vertical range never changes; every 37th row is a marker, and every
// 11th row lacks its last trace.
RingBuffer::Row streamRow(qint64 i)
{
    if (i % 37 == 36)
        return {i % 2 ? Kind::Accepted : Kind::Refused, 0, {}};
    const double first = i % 20 == 0 ? 0.0 : i % 20 == 10 ? 10.0 : (i * 7919 % 1000) / 100.0;
    Values values{first, (i * 104729 % 1000) / 100.0, (i * 1299709 % 1000) / 100.0};
    if (i % 11 == 5)
        values.removeLast();
    return {Kind::Data, double(i), values};
}

} // namespace

void tst_PlotData::stripChartDrawsOnlyWhatChanged_data()
{
    QTest::addColumn<int>("lines"); // the window's size
    QTest::addColumn<int>("width"); // of the area, in pixels
    QTest::addColumn<int>("rows");  // streamed in all
    QTest::addColumn<int>("burst"); // rows that come between two frames

    QTest::newRow("filling, rows wider than a pixel") << 100 << 301 << 60 << 7;
    QTest::newRow("scrolling, many rows per pixel") << 1000 << 203 << 2600 << 17;
    QTest::newRow("scrolling, a few pixels per row") << 100 << 337 << 450 << 3;
    QTest::newRow("scrolling, a row per frame") << 150 << 150 << 400 << 1;
}

// Between two frames the picture moves left by `scrolled` columns and changes only in the
// columns it reports, so a widget that scrolls what is on screen and repaints those columns
// shows what drawing everything afresh would.
void tst_PlotData::stripChartDrawsOnlyWhatChanged()
{
    QFETCH(int, lines);
    QFETCH(int, width);
    QFETCH(int, rows);
    QFETCH(int, burst);
    const QSize size(width, 80);

    // A trace's line from a row pushed out may reach into the oldest rows held: up to three
    // rows (a marker and a row without the trace may come first) at the left edge.
    const int leftEdge = 3 * ((width - 2) / (lines - 1) + 1) + 1;

    RingBuffer ring(lines);
    StripChart chart;
    int wholeDrawings = 0;
    QImage before = chart.picture();
    for (int sent = 0; sent < rows;) {
        for (int i = 0; i < burst && sent < rows; ++i)
            ring.append(streamRow(sent++));
        const StripChart::Change change = chart.update(ring, size, false);
        const QImage after = chart.picture();
        if (change.whole) {
            // Until both ends of the range came, the range grows and everything is drawn again.
            if (sent > 20)
                ++wholeDrawings;
        } else {
            for (int x = 0; x + change.scrolled < width; ++x) {
                if (x >= change.firstColumn && x <= change.lastColumn)
                    continue;
                QVERIFY2(sameColumn(after, x, before, x + change.scrolled),
                         qPrintable(QStringLiteral("column %1 changed unreported after %2 rows").arg(x).arg(sent)));
            }
        }
        // Nothing of the columns' earlier rounds is left over.
        StripChart fresh;
        fresh.update(ring, size, false);
        const QImage whole = fresh.picture();
        for (int x = leftEdge; x < width; ++x)
            QVERIFY2(sameColumn(after, x, whole, x),
                     qPrintable(QStringLiteral("column %1 differs after %2 rows").arg(x).arg(sent)));
        before = after;
    }
    QCOMPARE(wholeDrawings, 0);
    QCOMPARE(chart.minimum(), 0.0);
    QCOMPARE(chart.maximum(), 10.0);

    // The same rows held as if half a width's worth of windows more had passed draw the same
    // picture, though from other columns of the image, so that it wraps at another place.
    if (ring.size() == lines) {
        RingBuffer shifted(lines);
        const qint64 shift = qint64(width / 2) * (lines - 1);
        while (shifted.firstIndex() + shifted.size() < ring.firstIndex() + shift)
            shifted.append({});
        for (qint64 i = ring.firstIndex(); i < rows; ++i)
            shifted.append(streamRow(i));
        StripChart elsewhere;
        elsewhere.update(shifted, size, false);
        const QImage other = elsewhere.picture();
        for (int x = leftEdge; x < width; ++x)
            QVERIFY2(sameColumn(before, x, other, x), qPrintable(QStringLiteral("column %1 differs").arg(x)));
    }
    StripChart fresh;
    fresh.update(ring, size, false);
    const QImage whole = fresh.picture();
    // Drawn up to the newest row's column, blank after it.
    QImage background(1, size.height(), QImage::Format_RGB32);
    background.fill(Qt::white);
    QVERIFY(!sameColumn(whole, chart.newestColumn(), background, 0));
    for (int x = chart.newestColumn() + 1; x < width; ++x)
        QVERIFY(sameColumn(whole, x, background, 0));
}

QTEST_MAIN(tst_PlotData)
#include "tst_plotdata.moc"
