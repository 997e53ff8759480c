#include "gaussiansource.h"

#include <QTest>
#include <cmath>

class TestGaussianSource : public QObject
{
    Q_OBJECT

private slots:
    void polarMethodAgainstFixedUniforms()
    {
        // (0.5, 0.5) gives s = 0 and (0.99, 0.99) lies outside the circle: both are drawn
        // again. (0.75, 0.25) gives x = 0.5, y = -0.5, s = 0.5.
        const QList<float> uniforms{0.5f, 0.5f, 0.99f, 0.99f, 0.75f, 0.25f};
        qsizetype drawn = 0;
        const GaussianSource::Uniform next = [&] { return uniforms.at(drawn++); };

        GaussianSource source;
        const float f = float(std::sqrt(-2.0 * std::log(0.5) / 0.5));
        QCOMPARE(source.next(next), f * -0.5f);
        QCOMPARE(drawn, uniforms.size());
        QVERIFY(source.hasSpare());
        // The spare deviate comes next, without drawing.
        QCOMPARE(source.next(next), f * 0.5f);
        QCOMPARE(drawn, uniforms.size());
        QVERIFY(!source.hasSpare());
    }

    void uniformSourceStaysInUnitInterval()
    {
        UniformSource uniform;
        double sum = 0;
        constexpr int kDraws = 100000;
        for (int i = 0; i < kDraws; ++i) {
            const float u = uniform.next();
            QVERIFY(u >= 0.0f && u < 1.0f);
            sum += u;
        }
        QVERIFY(std::abs(sum / kDraws - 0.5) < 0.01);
    }

    void deviatesAreStandardNormal()
    {
        UniformSource uniform;
        GaussianSource source;
        constexpr int kDraws = 200000;
        double sum = 0;
        double squares = 0;
        for (int i = 0; i < kDraws; ++i) {
            const double value = source.next([&] { return uniform.next(); });
            sum += value;
            squares += value * value;
        }
        const double mean = sum / kDraws;
        QVERIFY(std::abs(mean) < 0.02);
        QVERIFY(std::abs(squares / kDraws - mean * mean - 1.0) < 0.02);
    }
};

QTEST_GUILESS_MAIN(TestGaussianSource)
#include "tst_gaussiansource.moc"
