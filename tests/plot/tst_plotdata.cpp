// The plot's data: how an update is read, what the window keeps, and its statistics and how
// they are shown.

#include "lineparser.h"
#include "ringbuffer.h"
#include "statisticslabel.h"
#include "stripchart.h"
#include "tracestatistics.h"

#include <QImage>
#include <cmath>
#include <limits>
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
    void statisticsLinesShowTheirTracesColours_data();
    void statisticsLinesShowTheirTracesColours();
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
    const QRgb trace = StripChart::traceColor(0).rgb();
    int drawn = 0;
    for (int y = 0; y < size.height(); ++y)
        drawn += picture.pixel(0, y) == trace;
    QVERIFY(drawn > 0);
}

void tst_PlotData::statisticsLinesShowTheirTracesColours_data()
{
    QTest::addColumn<int>("traces");
    QTest::newRow("one trace") << 1;
    QTest::newRow("three traces") << 3;
    QTest::newRow("colours repeat after eight") << 10;
}

// Each line of the statistics is led by a swatch of its trace's colour, level with the line's
// text.
void tst_PlotData::statisticsLinesShowTheirTracesColours()
{
    QFETCH(int, traces);
    QList<TraceStatistics> statistics(traces, {10, 1.5, 0.25, -1, 4});
    QList<QColor> colors;
    for (int trace = 0; trace < traces; ++trace)
        colors.append(StripChart::traceColor(trace));
    StatisticsLabel label;
    label.setStatistics(statisticsText(statistics), colors);
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
    QCOMPARE(lines.size(), traces);

    for (int trace = 0; trace < traces; ++trace) {
        const QRect swatch = label.swatchRect(trace);
        QVERIFY(swatch.right() < label.contentsRect().left());
        QCOMPARE(QColor(picture.pixel(swatch.center())), colors.at(trace));
        QVERIFY2(swatch.top() >= lines.at(trace).first && swatch.bottom() <= lines.at(trace).second,
                 qPrintable(QStringLiteral("swatch %1 at %2 to %3, its line's text at %4 to %5")
                                .arg(trace)
                                .arg(swatch.top())
                                .arg(swatch.bottom())
                                .arg(lines.at(trace).first)
                                .arg(lines.at(trace).second)));
    }
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
