#include "errors.h"
#include "numbers.h"

#include <QTest>
#include <limits>

using namespace platform;

class TestNumbers : public QObject
{
    Q_OBJECT

private slots:
    void readsAsNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("numeric");
        QTest::newRow("integer") << "25" << true;
        QTest::newRow("blanks around") << "  -4 \t" << true;
        QTest::newRow("leading point") << ".5" << true;
        QTest::newRow("trailing point") << "5." << true;
        QTest::newRow("exponent") << "1.5e-3" << true;
        QTest::newRow("signed exponent") << "+2E+4" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("blank") << "   " << false;
        QTest::newRow("lone point") << "." << false;
        QTest::newRow("grouping") << "1,000" << false;
        QTest::newRow("hexadecimal") << "&H10" << false;
        QTest::newRow("currency") << "$5" << false;
        QTest::newRow("two numbers") << "5 7" << false;
        QTest::newRow("word") << "abc" << false;
        QTest::newRow("exponent without digits") << "1e" << false;
        QTest::newRow("trailing line feed") << "5\n" << false;
        QTest::newRow("trailing carriage return") << "5\r" << false;
    }
    void readsAsNumber()
    {
        QFETCH(QString, text);
        QFETCH(bool, numeric);
        QCOMPARE(platform::readsAsNumber(text), numeric);
    }

    void toInteger16_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("overflows");
        QTest::newRow("half down to even") << "2.5" << 2 << false;
        QTest::newRow("half up to even") << "3.5" << 4 << false;
        QTest::newRow("negative half") << "-2.5" << -2 << false;
        QTest::newRow("port half") << "1234.5" << 1234 << false;
        QTest::newRow("port half up") << "1235.5" << 1236 << false;
        QTest::newRow("largest") << "32767" << 32767 << false;
        QTest::newRow("rounds to largest") << "32767.4" << 32767 << false;
        QTest::newRow("rounds beyond") << "32767.5" << 0 << true;
        QTest::newRow("smallest") << "-32768" << -32768 << false;
        QTest::newRow("below smallest") << "-32769" << 0 << true;
        QTest::newRow("huge exponent") << "1e9" << 0 << true;
        QTest::newRow("beyond double") << "1e999" << 0 << true;
    }
    void toInteger16()
    {
        QFETCH(QString, text);
        QFETCH(int, expected);
        QFETCH(bool, overflows);
        try {
            const qint16 value = platform::toInteger16(text);
            QVERIFY2(!overflows, "expected an overflow");
            QCOMPARE(int(value), expected);
        } catch (const RuntimeError &error) {
            QVERIFY2(overflows, qPrintable(error.description()));
            QCOMPARE(error.number(), ErrorNumber::Overflow);
        }
    }

    void toSingleOverflows()
    {
        QCOMPARE(platform::toSingle(QStringLiteral("3e38")), 3e38f);
        QVERIFY_THROWS_EXCEPTION(RuntimeError, platform::toSingle(QStringLiteral("4e38")));
        QVERIFY_THROWS_EXCEPTION(RuntimeError, platform::toSingle(-1e39));
    }

    void formatNumber_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("expected");
        QTest::newRow("whole") << 1.0 << "0.0####"
                               << "1.0";
        QTest::newRow("half") << 0.5 << "0.0####"
                              << "0.5";
        QTest::newRow("rounded to five") << 0.123456 << "0.0####"
                                         << "0.12346";
        QTest::newRow("negative") << -0.25 << "0.0####"
                                  << "-0.25";
        QTest::newRow("large") << 1234.5 << "0.0####"
                               << "1234.5";
        QTest::newRow("no grouping or exponent") << 12345678.0 << "0.0####"
                                                 << "12345678.0";
        QTest::newRow("tiny") << 0.000004 << "0.0####"
                              << "0.0";
        QTest::newRow("negative rounding to zero") << -0.000004 << "0.0####"
                                                   << "0.0";
        QTest::newRow("zero") << 0.0 << "0.0####"
                              << "0.0";
        QTest::newRow("version") << double(1.3f) << "0.0"
                                 << "1.3";
    }
    void formatNumber()
    {
        QFETCH(double, value);
        QFETCH(QString, pattern);
        QFETCH(QString, expected);
        QCOMPARE(platform::formatNumber(value, pattern), expected);
    }

    void formatDate() { QCOMPARE(platform::formatDate(QDate(1998, 6, 12)), QStringLiteral("06/12/1998")); }

    void errorMessages()
    {
        const RuntimeError overflow(ErrorNumber::Overflow);
        QCOMPARE(overflow.error().message(QStringLiteral("Error (frmMain - GetNetworkCommand) ")),
                 QStringLiteral("Error (frmMain - GetNetworkCommand) 6: Overflow"));
    }
};

QTEST_GUILESS_MAIN(TestNumbers)
#include "tst_numbers.moc"
