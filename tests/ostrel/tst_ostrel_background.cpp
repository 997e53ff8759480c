// The destination window's colour rule: which texts turn it red, which restore the default and
// which leave it alone, compared as 32-bit floats.

#include "backgroundrule.h"

#include <QTest>

Q_DECLARE_METATYPE(std::optional<Background>)

char *toString(const std::optional<Background> &background)
{
    if (!background)
        return qstrdup("unchanged");
    return qstrdup(*background == Background::Red ? "red" : "default");
}

class tst_ostrel_background : public QObject
{
    Q_OBJECT

private slots:
    void backgroundFor_data();
    void backgroundFor();
};

void tst_ostrel_background::backgroundFor_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<std::optional<Background>>("expected");

    const std::optional<Background> red = Background::Red;
    const std::optional<Background> standard = Background::Default;
    const std::optional<Background> unchanged;

    QTest::newRow("above 100") << "150" << red;
    QTest::newRow("exactly 100") << "100" << standard;
    QTest::newRow("negative") << "-5" << standard;
    QTest::newRow("just above 100") << "100.5" << red;
    QTest::newRow("blanks around") << " 101 " << red;
    QTest::newRow("exponent form of 100") << "1e2" << standard;
    QTest::newRow("exponent above 100") << "1.5E2" << red;
    // The step between floats near 100 is about 7.6e-6: below half of it the value is 100.
    QTest::newRow("rounds to 100 as float") << "100.0000038" << standard;
    QTest::newRow("next float above 100") << "100.000004" << red;
    QTest::newRow("beyond float range") << "1e39" << red;
    QTest::newRow("beyond float range, negative") << "-1e39" << standard;
    QTest::newRow("beyond double range") << "1e400" << red;
    QTest::newRow("beyond double range, negative") << " -1e400" << standard;
    QTest::newRow("letters") << "abc" << unchanged;
    QTest::newRow("number with letters") << "150abc" << unchanged;
    QTest::newRow("empty") << "" << unchanged;
    QTest::newRow("blanks only") << "   " << unchanged;
}

void tst_ostrel_background::backgroundFor()
{
    QFETCH(QString, text);
    QFETCH(std::optional<Background>, expected);
    QCOMPARE(::backgroundFor(text), expected);
}

QTEST_APPLESS_MAIN(tst_ostrel_background)
#include "tst_ostrel_background.moc"
