// Measures the data generator of the real instrument window (not shown): lines produced
// against the clock, tick-to-tick jitter, processor time and memory, beside a plain precise
// QTimer.
//
//   QT_QPA_PLATFORM=offscreen build/bench/generator/bench_generator [seconds per rate]
//
// With --window, the window's cost per line on the display against a bare Qt window at the
// same pace, and the ratio of the two (windowcost.cpp):
//
//   xvfb-run -a build/bench/generator/bench_generator --window [seconds]
//
// With --channels, the window is shown on the display and the lines go to clients on each
// channel, which run in a process of their own; printed per rate: the lines each channel
// delivered as a ratio to ideal, and the instrument's processor time per line and as a share
// of one core, beside a bare QTimer in the same run.
//
//   xvfb-run -a env QT_QPA_PLATFORM=xcb build/bench/generator/bench_generator --channels [seconds]
//
// With --headless, the window shown and then kestrin-headless stream 1000 lines/s of 10 points
// to one DDE client; printed: each one's processor time and the ratio of the two.
//
//   xvfb-run -a env QT_QPA_PLATFORM=xcb build/bench/generator/bench_generator --headless [seconds]

#include "channelclients.h"
#include "eventloop.h"
#include "windowcost.h"
#include "frmMain.h"
#include "headlessinstrument.h"
#include "instrument.h"
#include "panelitems.h"
#include "rs232channel.h"
#include "support/processstats.h"
#include "support/serialline.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <cmath>
#include <functional>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kDefaultSecondsPerRate = 10;
constexpr int kDefaultWindowSeconds = 5;
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
    const QMetaObject::Connection connection =
        QObject::connect(static_cast<QLineEdit *>(source), signal, source, [&](const QString &text) {
            if (text != QLatin1String("OK"))
                arrivals << clock.nsecsElapsed();
        });

    figures.rssBefore = bench::residentKiB();
    const double cpuStart = bench::processorSeconds();
    clock.start();
    start();
    platform::letEventsRunFor(std::chrono::milliseconds(seconds * 1000));
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

// The baseline: a precise QTimer that writes a count into a box that is not shown.
struct BareTimer
{
    explicit BareTimer(int rate)
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(1000 / rate);
        QObject::connect(&timer, &QTimer::timeout, &sink, [this] { sink.setText(QString::number(++count)); });
    }
    QLineEdit sink;
    QTimer timer;
    qint64 count = 0;
};

// A port the instrument's 16-bit server port can hold, found without Qt: the clients are
// forked before the application object exists.
unsigned short freePortBeforeQt()
{
    constexpr unsigned short kLowest = 20000;
    constexpr unsigned short kHighest = 32767;
    for (unsigned short port = kLowest + unsigned(::getpid()) % 10000; port <= kHighest; ++port) {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        const bool free = ::bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        ::close(probe);
        if (free)
            return port;
    }
    return 0;
}

struct WindowRun
{
    int rate;
    int points;
};

// The instrument's processor time while it streams, and what each channel's client received;
// returns the share of a core. `configure` sets the rate and the points per line.
double measureRun(const char *name, const std::function<QString(const QString &)> &execute,
                  const std::function<void(const WindowRun &)> &configure, bench::ChannelClients &clients,
                  const WindowRun &run, int seconds, bool allChannels)
{
    constexpr int kDrainMilliseconds = 300;
    configure(run);
    clients.takeCounts();
    const double cpuStart = bench::processorSeconds();
    QElapsedTimer clock;
    clock.start();
    execute(QStringLiteral("ANALYZE"));
    platform::letEventsRunFor(std::chrono::milliseconds(seconds * 1000));
    execute(QStringLiteral("ABORT"));
    const double elapsed = double(clock.nsecsElapsed()) / 1e9;
    const double cpu = bench::processorSeconds() - cpuStart;
    platform::letEventsRunFor(std::chrono::milliseconds(kDrainMilliseconds));
    const bench::ChannelCounts counts = clients.takeCounts();
    const double ideal = double(run.rate) * elapsed;
    std::printf("%-9s %5d lines/s x %3d points, %s: delivered/ideal DDE %.4f", name, run.rate, run.points,
                allChannels ? "DDE+TCP+serial" : "DDE only      ", double(counts.dde) / ideal);
    if (allChannels)
        std::printf("  TCP %.4f  serial %.4f", double(counts.tcp) / ideal, double(counts.serial) / ideal);
    std::printf("  cpu %.1f us/line  %.2f %% of a core\n", 1e6 * cpu / ideal, 100.0 * cpu / elapsed);
    std::fflush(stdout);
    return cpu / elapsed;
}

double measureWindowRun(frmMain &window, bench::ChannelClients &clients, const WindowRun &run, int seconds,
                        bool allChannels)
{
    return measureRun(
        "kestrin", [&window](const QString &command) { return window.ExecuteCommand(command); },
        [&window](const WindowRun &settings) {
            window.findChild<QLineEdit *>(QStringLiteral("txtFrequency"))->setText(QString::number(settings.rate));
            window.findChild<QLineEdit *>(QStringLiteral("txtPtsPerLine"))->setText(QString::number(settings.points));
        },
        clients, run, seconds, allChannels);
}

void measureBareTimer(int rate, int seconds)
{
    BareTimer bare(rate);
    const double cpuStart = bench::processorSeconds();
    QElapsedTimer clock;
    clock.start();
    bare.timer.start();
    platform::letEventsRunFor(std::chrono::milliseconds(seconds * 1000));
    bare.timer.stop();
    const double elapsed = double(clock.nsecsElapsed()) / 1e9;
    const double cpu = bench::processorSeconds() - cpuStart;
    std::printf("QTimer   %5d ticks/s: ticks/ideal %.4f  cpu %.1f us/tick  %.2f %% of a core\n", rate,
                double(bare.count) / (rate * elapsed), 1e6 * cpu / double(qMax<qint64>(bare.count, 1)),
                100.0 * cpu / elapsed);
    std::fflush(stdout);
}

int runChannelsMode(int argc, char *argv[], int seconds)
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    const int farEnd = bench::mapSerialPortOneToPty();
    if (farEnd < 0)
        return 1;
    const unsigned short port = freePortBeforeQt();
    bench::ChannelClients clients(farEnd, port, runtime.filePath(QStringLiteral("dde/kestrin")).toStdString());

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrin"));
    frmMain window;
    window.show();
    window.setCommEnabled(false);
    window.ExecuteCommand(QStringLiteral("ON"));
    bool linked = false;
    bool connected = false;
    while (!linked) {
        platform::letEventsRunFor(std::chrono::milliseconds(100));
        clients.takeCounts(&linked);
    }
    std::printf("Instrument window on the display (%s), %d s per run; the clients run in a process of their own\n",
                qPrintable(QApplication::platformName()), seconds);
    for (const int rate : {100, 1000})
        measureWindowRun(window, clients, {rate, 10}, seconds, false);

    window.setCommEnabled(true);
    window.ResetRS232Port();
    window.setNetworkEnabled(true);
    window.setServerPort(qint16(port));
    window.ResetNetworkConnection();
    while (!connected) {
        platform::letEventsRunFor(std::chrono::milliseconds(100));
        clients.takeCounts(&linked, &connected);
    }
    for (const WindowRun &run : {WindowRun{100, 10}, WindowRun{1000, 10}, WindowRun{1000, 100}})
        measureWindowRun(window, clients, run, seconds, true);
    for (const int rate : {100, 1000})
        measureBareTimer(rate, seconds);
    window.ExecuteCommand(QStringLiteral("OFF"));
    return 0;
}

// The windowless instrument beside the window, in one run: the same stream to the same DDE
// client, the serial channel off in both.
int runHeadlessMode(int argc, char *argv[], int seconds)
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    bench::ChannelClients clients(-1, 0, runtime.filePath(QStringLiteral("dde/kestrin")).toStdString());
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrin"));
    const auto waitLinked = [&clients] {
        for (bool linked = false; !linked;) {
            platform::letEventsRunFor(std::chrono::milliseconds(100));
            clients.takeCounts(&linked);
        }
    };
    const WindowRun run{1000, 10};
    std::printf("kestrin's window (on %s) and kestrin-headless, %d s each; the DDE client runs in a process of "
                "its own\n",
                qPrintable(QApplication::platformName()), seconds);
    double windowShare = 0;
    {
        frmMain window;
        window.show();
        window.setCommEnabled(false);
        window.ExecuteCommand(QStringLiteral("ON"));
        waitLinked();
        windowShare = measureWindowRun(window, clients, run, seconds, false);
        window.ExecuteCommand(QStringLiteral("OFF"));
    }
    HeadlessInstrument headless;
    headless.rs232().setCommEnabled(false);
    headless.instrument().ExecuteCommand(QStringLiteral("ON"));
    waitLinked();
    const double headlessShare = measureRun(
        "headless", [&headless](const QString &command) { return headless.instrument().ExecuteCommand(command).reply; },
        [&headless](const WindowRun &settings) {
            GenerationSettings generation = headless.panel().generationSettings();
            generation.frequency = QString::number(settings.rate);
            generation.pointsPerLine = QString::number(settings.points);
            headless.panel().setGenerationSettings(generation);
        },
        clients, run, seconds, false);
    std::printf("processor time, kestrin-headless / kestrin's window: %.2f\n", headlessShare / windowShare);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (mode == "--window")
        return bench::runWindowCost(argc, argv, argc > 2 ? QByteArray(argv[2]).toInt() : kDefaultWindowSeconds);
    if (mode == "--channels")
        return runChannelsMode(argc, argv, argc > 2 ? QByteArray(argv[2]).toInt() : kDefaultSecondsPerRate);
    if (mode == "--headless")
        return runHeadlessMode(argc, argv, argc > 2 ? QByteArray(argv[2]).toInt() : kDefaultWindowSeconds);

    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrin"));
    const int seconds = argc > 1 ? QByteArray(argv[1]).toInt() : kDefaultSecondsPerRate;

    // Not shown: the box then takes every line at once, and its textChanged times each line.
    // The window on screen is measured with --window.
    frmMain window;
    auto *output = window.findChild<QLineEdit *>(QStringLiteral("txtOutput"));
    auto *frequency = window.findChild<QLineEdit *>(QStringLiteral("txtFrequency"));
    // The generator is measured, not a serial line: with the port on, each line would also wait
    // for a UART.
    window.setCommEnabled(false);
    window.ExecuteCommand(QStringLiteral("ON"));

    std::printf("Generator of the instrument window against a precise QTimer, %d s per rate\n", seconds);
    for (const int rate : kRates) {
        frequency->setText(QString::number(rate));
        print("kestrin", rate,
              measure(
                  rate, seconds, output, &QLineEdit::textChanged,
                  [&] { window.ExecuteCommand(QStringLiteral("ANALYZE")); },
                  [&] { window.ExecuteCommand(QStringLiteral("ABORT")); }));

        BareTimer bare(rate);
        print("QTimer", rate,
              measure(
                  rate, seconds, &bare.sink, &QLineEdit::textChanged, [&] { bare.timer.start(); },
                  [&] { bare.timer.stop(); }));
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
