// The plot's data: how an update is read, what the window keeps, and its statistics.

#include "lineparser.h"
#include "ringbuffer.h"
#include "tracestatistics.h"

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

QTEST_APPLESS_MAIN(tst_PlotData)
#include "tst_plotdata.moc"
