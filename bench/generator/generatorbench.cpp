// Measures the data generator of the real instrument window: lines produced against the
// clock, tick-to-tick jitter, processor time and memory, beside a plain precise QTimer.
//
//   QT_QPA_PLATFORM=offscreen build/bench/generator/bench_generator [seconds per rate]

#include "core/frmMain.h"
#include "support/processstats.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kDefaultSecondsPerRate = 10;
constexpr int kMemoryLines = 100000;
const QList<int> kRates{2, 10, 100, 500, 1000};

struct Figures
{
    qint64 lines = 0;
    double ratio = 0;
    double medianJitter = 0;
    double p99Jitter = 0;
    double cpuPerSecond = 0;
    long rssBefore = 0;
    long rssAfter = 0;
};

// Runs the event loop for the given time while arrivals() records when each line came.
template<typename Start, typename Stop>
Figures measure(int rate, int seconds, QObject *source, void (QLineEdit::*signal)(const QString &), Start start,
                Stop stop)
{
    Figures figures;
    QList<qint64> arrivals;
    arrivals.reserve(rate * seconds + 16);
    QElapsedTimer clock;
    const QMetaObject::Connection connection = QObject::connect(
        static_cast<QLineEdit *>(source), signal, source,
        [&](const QString &text) {
            if (text != QLatin1String("OK"))
                arrivals << clock.nsecsElapsed();
        });

    figures.rssBefore = bench::residentKiB();
    const double cpuStart = bench::processorSeconds();
    clock.start();
    start();
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double elapsed = double(clock.nsecsElapsed()) / 1e9;
    stop();
    const double cpu = bench::processorSeconds() - cpuStart;
    figures.rssAfter = bench::residentKiB();
    QObject::disconnect(connection);

    figures.lines = arrivals.size();
    // Lines per period between the first and the last line: a lost or extra tick shows, the
    // phase of the measuring window does not.
    if (arrivals.size() > 1)
        figures.ratio = double(arrivals.size() - 1) / (double(arrivals.last() - arrivals.first()) * rate / 1e9);
    QList<double> deviations;
    const double period = 1e9 / rate;
    for (qsizetype i = 1; i < arrivals.size(); ++i)
        deviations << std::abs(double(arrivals.at(i) - arrivals.at(i - 1)) - period) / 1e6;
    figures.medianJitter = bench::percentile(deviations, 50);
    figures.p99Jitter = bench::percentile(deviations, 99);
    figures.cpuPerSecond = cpu / elapsed;
    return figures;
}

void print(const char *what, int rate, const Figures &f)
{
    std::printf("%-10s %5d lines/s  lines %7lld  ratio %.4f  jitter median %.3f ms  p99 %.3f ms  "
                "cpu %.2f %%  rss %ld -> %ld KiB\n",
                what, rate, static_cast<long long>(f.lines), f.ratio, f.medianJitter, f.p99Jitter,
                100.0 * f.cpuPerSecond, f.rssBefore, f.rssAfter);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrin"));
    const int seconds = argc > 1 ? QByteArray(argv[1]).toInt() : kDefaultSecondsPerRate;

    frmMain window;
    window.show();
    auto *output = window.findChild<QLineEdit *>(QStringLiteral("txtOutput"));
    auto *frequency = window.findChild<QLineEdit *>(QStringLiteral("txtFrequency"));
    // The generator is measured, not a serial line: with the port on, each line would also wait
    // for a UART.
    window.setCommEnabled(false);
    window.ExecuteCommand(QStringLiteral("ON"));

    std::printf("Generator of the instrument window against a precise QTimer, %d s per rate\n", seconds);
    for (const int rate : kRates) {
        frequency->setText(QString::number(rate));
        print("kestrin", rate, measure(rate, seconds, output, &QLineEdit::textChanged,
                                       [&] { window.ExecuteCommand(QStringLiteral("ANALYZE")); },
                                       [&] { window.ExecuteCommand(QStringLiteral("ABORT")); }));

        QLineEdit sink;
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(1000 / rate);
        qint64 count = 0;
        QObject::connect(&timer, &QTimer::timeout, &sink, [&sink, &count] { sink.setText(QString::number(++count)); });
        print("QTimer", rate, measure(rate, seconds, &sink, &QLineEdit::textChanged, [&] { timer.start(); },
                                      [&] { timer.stop(); }));
    }

    // Memory over many lines: drive the generator's ticks directly.
    frequency->setText(QStringLiteral("0.1"));
    window.ExecuteCommand(QStringLiteral("ANALYZE"));
    auto *timer = window.findChild<QObject *>(QStringLiteral("tmrDataGen"));
    const long before = bench::residentKiB();
    for (int line = 0; line < kMemoryLines; ++line)
        QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection);
    QApplication::processEvents();
    std::printf("memory over %d lines: rss %ld -> %ld KiB\n", kMemoryLines, before, bench::residentKiB());
    window.ExecuteCommand(QStringLiteral("ABORT"));
    return 0;
}
