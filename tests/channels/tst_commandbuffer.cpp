#include "support/errorcapture.h"

#include "channels/commandbuffer.h"

#include <QTest>

class tst_CommandBuffer : public QObject
{
    Q_OBJECT

private slots:
    void cutsAtTerminator_data();
    void cutsAtTerminator();
    void completesAcrossArrivals();
    void overflow_data();
    void overflow();
};

void tst_CommandBuffer::cutsAtTerminator_data()
{
    QTest::addColumn<QString>("buffer");
    QTest::addColumn<QString>("terminator");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("remainder");

    QTest::newRow("one line") << "ON\r" << "\r" << QStringList{"ON"} << "";
    QTest::newRow("partial line stays") << "ANALY" << "\r" << QStringList{} << "ANALY";
    QTest::newRow("two lines, partial third") << "PAUSE\rRESUME\rAB" << "\r" << QStringList{"PAUSE", "RESUME"} << "AB";
    QTest::newRow("lone terminator") << "\r" << "\r" << QStringList{""} << "";
    QTest::newRow("spaces kept") << "  ON \r" << "\r" << QStringList{"  ON "} << "";
    QTest::newRow("CR LF client, CR terminator") << "ON\r\nOFF\r\n" << "\r" << QStringList{"ON", "\nOFF"} << "\n";
    QTest::newRow("CR LF terminator keeps a lone CR") << "A\rB\r\n" << "\r\n" << QStringList{"A\rB"} << "";
    QTest::newRow("CR LF terminator half arrived") << "ON\r" << "\r\n" << QStringList{} << "ON\r";
    QTest::newRow("case-sensitive terminator") << "onXoffx" << "x" << QStringList{"onXoff"} << "";
    QTest::newRow("empty terminator cuts nothing") << "ON\rOFF\r" << "" << QStringList{} << "ON\rOFF\r";
}

void tst_CommandBuffer::cutsAtTerminator()
{
    QFETCH(QString, buffer);
    QFETCH(QString, terminator);
    QFETCH(QStringList, lines);
    QFETCH(QString, remainder);

    QCOMPARE(takeCompleteLines(buffer, terminator), lines);
    QCOMPARE(buffer, remainder);
}

void tst_CommandBuffer::completesAcrossArrivals()
{
    QString buffer = QStringLiteral("ON\r");
    QVERIFY(takeCompleteLines(buffer, QStringLiteral("\r\n")).isEmpty());
    buffer += QStringLiteral("\nPAU");
    QCOMPARE(takeCompleteLines(buffer, QStringLiteral("\r\n")), QStringList{"ON"});
    buffer += QStringLiteral("SE\r\n");
    QCOMPARE(takeCompleteLines(buffer, QStringLiteral("\r\n")), QStringList{"PAUSE"});
    QVERIFY(buffer.isEmpty());
}

void tst_CommandBuffer::overflow_data()
{
    QTest::addColumn<QString>("buffer");
    QTest::addColumn<bool>("overflows");

    const QString longest(kMaximumBufferedCommand - 1, QLatin1Char('A'));
    QTest::newRow("terminator at the last position") << longest + "\r" << false;
    QTest::newRow("terminator one beyond") << longest + "A\r" << true;
    QTest::newRow("positions count from the line's start") << "PAUSE\r" + longest + "\r" << false;
    QTest::newRow("unterminated text at the limit") << longest + "A" << false;
    QTest::newRow("unterminated text beyond the limit") << longest + "AA" << true;
    QTest::newRow("complete line, then too long a rest") << "PAUSE\r" + longest + "AA" << true;
}

void tst_CommandBuffer::overflow()
{
    QFETCH(QString, buffer);
    QFETCH(bool, overflows);

    QCOMPARE(errorNumberOf([&] { takeCompleteLines(buffer, QStringLiteral("\r")); }),
             overflows ? platform::ErrorNumber::Overflow : 0);
}

QTEST_APPLESS_MAIN(tst_CommandBuffer)
#include "tst_commandbuffer.moc"
