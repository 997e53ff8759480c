#include "commandbuffer.h"

#include <QTest>

class tst_CommandBuffer : public QObject
{
    Q_OBJECT

private slots:
    void cutsAtTerminator_data();
    void cutsAtTerminator();
    void overLongLines_data();
    void overLongLines();
};

void tst_CommandBuffer::cutsAtTerminator_data()
{
    QTest::addColumn<QStringList>("arrivals");
    QTest::addColumn<QString>("terminator");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("leftEmpty");

    QTest::newRow("one line") << QStringList{"ON\r"} << "\r" << QStringList{"ON"} << true;
    QTest::newRow("partial line stays") << QStringList{"ANALY"} << "\r" << QStringList{} << false;
    QTest::newRow("two lines, partial third")
        << QStringList{"PAUSE\rRESUME\rAB"} << "\r" << QStringList{"PAUSE", "RESUME"} << false;
    QTest::newRow("lone terminator") << QStringList{"\r"} << "\r" << QStringList{""} << true;
    QTest::newRow("spaces kept") << QStringList{"  ON \r"} << "\r" << QStringList{"  ON "} << true;
    QTest::newRow("CR LF client, CR terminator")
        << QStringList{"ON\r\nOFF\r\n"} << "\r" << QStringList{"ON", "\nOFF"} << false;
    QTest::newRow("CR LF terminator keeps a lone CR") << QStringList{"A\rB\r\n"} << "\r\n"
                                                      << QStringList{"A\rB"} << true;
    QTest::newRow("CR LF terminator split over arrivals") << QStringList{"ON\r", "\nPAU", "SE\r\n"} << "\r\n"
                                                          << QStringList{"ON", "PAUSE"} << true;
    QTest::newRow("a character at a time") << QStringList{"O", "N", "\r", "X"} << "\r" << QStringList{"ON"} << false;
    QTest::newRow("case-sensitive terminator") << QStringList{"onXoffx"} << "x" << QStringList{"onXoff"} << true;
    QTest::newRow("empty terminator cuts nothing") << QStringList{"ON\rOFF\r"} << "" << QStringList{} << false;
}

void tst_CommandBuffer::cutsAtTerminator()
{
    QFETCH(QStringList, arrivals);
    QFETCH(QString, terminator);
    CommandLineBuffer buffer;
    QStringList lines;
    for (const QString &arrival : arrivals) {
        const CommandLineBuffer::Cut cut = buffer.append(arrival, terminator);
        QVERIFY(!cut.overflowed);
        lines += cut.lines;
    }
    QTEST(lines, "lines");
    QTEST(buffer.isEmpty(), "leftEmpty");
}

void tst_CommandBuffer::overLongLines_data()
{
    QTest::addColumn<QStringList>("arrivals");
    QTest::addColumn<QString>("terminator");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("overflows");

    const QString longest(kMaximumBufferedCommand - 1, QLatin1Char('A'));
    const QString tooLong = longest + "AA";
    QTest::newRow("terminator at the last position")
        << QStringList{longest + "\r"} << "\r" << QStringList{longest} << 0;
    QTest::newRow("positions count from the line's start")
        << QStringList{"PAUSE\r" + longest + "\r"} << "\r" << QStringList{"PAUSE", longest} << 0;
    QTest::newRow("unterminated text at the limit") << QStringList{longest + "A"} << "\r" << QStringList{} << 0;
    QTest::newRow("terminator one beyond, line dropped whole")
        << QStringList{"PAUSE\r" + longest + "A\rON\r"} << "\r" << QStringList{"PAUSE", "ON"} << 1;
    // Once the limit is passed, nothing up to the next terminator is a command, however it
    // arrives.
    QTest::newRow("tail of an over-long line never runs")
        << QStringList{tooLong, "OFF\r", "ON\r"} << "\r" << QStringList{"ON"} << 1;
    QTest::newRow("tail in the same arrival") << QStringList{tooLong + "OFF\rON\r"} << "\r" << QStringList{"ON"} << 1;
    QTest::newRow("long flood in pieces, reported once")
        << QStringList{tooLong, tooLong, tooLong, "\rPAUSE\r"} << "\r" << QStringList{"PAUSE"} << 1;
    QTest::newRow("terminator split across the discarding") << QStringList{tooLong + "OFF\r", "\nON\r\n"} << "\r\n"
                                                            << QStringList{"ON"} << 1;
    QTest::newRow("complete line before, partial after")
        << QStringList{"PAUSE\r" + tooLong, "x\rRES", "UME\r"} << "\r" << QStringList{"PAUSE", "RESUME"} << 1;
    QTest::newRow("two over-long lines") << QStringList{tooLong + "\r", tooLong, "\rON\r"} << "\r" << QStringList{"ON"}
                                         << 2;
    QTest::newRow("no terminator at all") << QStringList{tooLong, "ON\r"} << "" << QStringList{} << 1;
}

void tst_CommandBuffer::overLongLines()
{
    QFETCH(QStringList, arrivals);
    QFETCH(QString, terminator);
    CommandLineBuffer buffer;
    QStringList lines;
    int overflows = 0;
    for (const QString &arrival : arrivals) {
        const CommandLineBuffer::Cut cut = buffer.append(arrival, terminator);
        overflows += cut.overflowed ? 1 : 0;
        lines += cut.lines;
    }
    QTEST(lines, "lines");
    QTEST(overflows, "overflows");
}

QTEST_APPLESS_MAIN(tst_CommandBuffer)
#include "tst_commandbuffer.moc"
