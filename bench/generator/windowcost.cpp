// The window's cost per line. All figures come from this process, on the same X display: first
// the floor, a bare window whose one line edit a precise 1 ms timer sets to a new line once a
// frame (it wakes as often as the instrument's window must, and changes its box as often as the
// Output box must show lines at this rate), then that window setting the same line on every tick
// (waking only) and a new line on every tick (painting each), for scale, then the instrument's
// window streaming 1000 lines/s of
// 10 points to a DDE client linked to txtOutput. The client runs in a child process, so that
// its reading stays out of the figure, and counts every line it receives. Each figure is the
// process's processor time (user and system, every thread) over the measured seconds, after
// a warm-up.

#include "windowcost.h"

#include "channelclients.h"
#include "displaycheck.h"
#include "eventloop.h"
#include "floorwindow.h"
#include "frmMain.h"
#include "periodictimer.h"
#include "support/processstats.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>

namespace bench {

namespace {

constexpr int kLinesPerSecond = 1000;
constexpr int kPointsPerLine = 10;
constexpr int kWarmUpMilliseconds = 1000;
constexpr int kPollMilliseconds = 50;
constexpr int kLinkTimeoutMilliseconds = 10000;
// The client has received all it will once nothing more came for this long.
constexpr int kDrainQuietMilliseconds = 1000;
constexpr double kAimRatio = 2.0;
// Enough different lines that the painted floors never get their own text again.
constexpr int kPaintedLines = 1024;
// Above one line a frame the Output box changes once a frame: every 16th tick at 1000 lines/s.
constexpr int kTicksPerFrame = 16;

struct Cost
{
    qint64 events = 0;
    double seconds = 0;
    double processorSeconds = 0;

    double shareOfCore() const { return seconds > 0 ? 100.0 * processorSeconds / seconds : 0.0; }
    double microsecondsPerEvent() const { return events > 0 ? 1e6 * processorSeconds / double(events) : 0.0; }
};

struct InstrumentRun
{
    Cost cost;
    qint64 generated = 0;
    long received = 0;
};

// The processor time over `seconds` after the warm-up, and how far `count` went meanwhile.
Cost measure(int seconds, const std::function<qint64()> &count)
{
    platform::letEventsRunFor(std::chrono::milliseconds(kWarmUpMilliseconds));
    const qint64 eventsBefore = count();
    const double processorBefore = processorSeconds();
    QElapsedTimer clock;
    clock.start();
    platform::letEventsRunFor(std::chrono::milliseconds(seconds * 1000));
    Cost cost;
    cost.processorSeconds = processorSeconds() - processorBefore;
    cost.seconds = double(clock.nsecsElapsed()) / 1e9;
    cost.events = count() - eventsBefore;
    return cost;
}

Cost measureFloor(int seconds, const QStringList &lines, int ticksPerLine = 1)
{
    FloorWindow window(kLinesPerSecond, lines, ticksPerLine);
    window.show();
    window.start();
    const Cost cost = measure(seconds, [&window] { return window.ticks(); });
    window.stop();
    return cost;
}

void printCost(const char *what, const char *unit, const Cost &cost)
{
    std::printf("%s: %lld %ss  %.2f %% of a core  %.1f us/%s\n", what, static_cast<long long>(cost.events), unit,
                cost.shareOfCore(), cost.microsecondsPerEvent(), unit);
    std::fflush(stdout);
}

bool waitForLink(ChannelClients &client)
{
    QElapsedTimer clock;
    clock.start();
    bool linked = false;
    while (!linked && clock.elapsed() < kLinkTimeoutMilliseconds) {
        platform::letEventsRunFor(std::chrono::milliseconds(kPollMilliseconds));
        client.takeCounts(&linked);
    }
    return linked;
}

// The lines the client receives until it has all `expected` or nothing more comes.
long drain(ChannelClients &client, qint64 expected)
{
    long received = 0;
    QElapsedTimer quiet;
    quiet.start();
    while (received < expected && quiet.elapsed() < kDrainQuietMilliseconds) {
        platform::letEventsRunFor(std::chrono::milliseconds(kPollMilliseconds));
        const long more = client.takeCounts().dde;
        received += more;
        if (more > 0)
            quiet.restart();
    }
    return received;
}

bool failed(const char *what, const QString &why)
{
    std::fprintf(stderr, "bench_generator --window: %s: %s\n", what, qPrintable(why));
    return false;
}

bool measureInstrument(ChannelClients &client, int seconds, InstrumentRun &run)
{
    frmMain window;
    auto *timer = window.findChild<platform::PeriodicTimer *>(QStringLiteral("tmrDataGen"));
    auto *frequency = window.findChild<QLineEdit *>(QStringLiteral("txtFrequency"));
    auto *pointsPerLine = window.findChild<QLineEdit *>(QStringLiteral("txtPtsPerLine"));
    if (!timer || !frequency || !pointsPerLine)
        return failed("finding the window's controls", QStringLiteral("no tmrDataGen, txtFrequency or txtPtsPerLine"));
    // The timer ticks only while the instrument analyzes, one line a tick.
    QObject::connect(timer, &platform::PeriodicTimer::timeout, &window, [&run] { ++run.generated; });

    window.setCommEnabled(false);
    window.show();
    const QString on = window.ExecuteCommand(QStringLiteral("ON"));
    if (on != QLatin1String("OK"))
        return failed("switching the instrument on", on);
    if (!waitForLink(client))
        return failed("linking the DDE client to txtOutput", QStringLiteral("no link within 10 s"));

    frequency->setText(QString::number(kLinesPerSecond));
    pointsPerLine->setText(QString::number(kPointsPerLine));
    client.takeCounts();
    const QString analyze = window.ExecuteCommand(QStringLiteral("ANALYZE"));
    if (analyze != QLatin1String("OK"))
        return failed("starting the analysis", analyze);
    run.cost = measure(seconds, [&run] { return run.generated; });
    window.ExecuteCommand(QStringLiteral("ABORT"));
    run.received = drain(client, run.generated);
    window.ExecuteCommand(QStringLiteral("OFF"));
    return true;
}

} // namespace

int runWindowCost(int argc, char *argv[], int seconds)
{
    const QByteArray display = qgetenv("DISPLAY");
    const QString problem = xDisplayProblem(display);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "bench_generator --window: no X display to measure on (%s); run it under xvfb-run -a\n",
                     qPrintable(problem));
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    ChannelClients client(-1, 0, runtime.filePath(QStringLiteral("dde/kestrin")).toStdString());

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrin"));
    std::printf("Window cost per line on X display %s, %d lines/s: %.0f s warm-up, then %d s measured; the floors "
                "and then kestrin in this process, the DDE client in a child process; kestrin's serial channel off, "
                "as the floor has no port\n",
                display.constData(), kLinesPerSecond, kWarmUpMilliseconds / 1000.0, seconds);
    std::fflush(stdout);

    // The floor wakes as a window must to keep up with the lines and shows a new one once a
    // frame, as the Output box must; the same window only waking, and painting every line, is
    // printed beside it for scale.
    const Cost floor = measureFloor(seconds, FloorWindow::makeLines(kPaintedLines, kPointsPerLine), kTicksPerFrame);
    printCost("floor    bare window, precise 1 ms timer, a new pre-made line of 10 numbers every 16th tick", "tick",
              floor);
    const Cost waking = measureFloor(seconds, FloorWindow::makeLines(1, kPointsPerLine));
    printCost("waking   the same window setting one line on every tick, painted once", "tick", waking);
    const Cost painted = measureFloor(seconds, FloorWindow::makeLines(kPaintedLines, kPointsPerLine));
    printCost("painted  the same window given a new line every tick, painted each time", "tick", painted);

    InstrumentRun instrument;
    if (!measureInstrument(client, seconds, instrument))
        return 1;
    printCost("kestrin  window shown, 1000 lines/s of 10 points, DDE client linked to txtOutput", "line",
              instrument.cost);
    std::printf("DDE client received %ld of %lld lines generated\n", instrument.received,
                static_cast<long long>(instrument.generated));
    // Per line against per tick: the floor's timer skips the ticks it is late for (it fires
    // some 900 times a second here), while the instrument's catches up to every line.
    const double ratio =
        floor.microsecondsPerEvent() > 0 ? instrument.cost.microsecondsPerEvent() / floor.microsecondsPerEvent() : 0.0;
    const double shareRatio = floor.shareOfCore() > 0 ? instrument.cost.shareOfCore() / floor.shareOfCore() : 0.0;
    const double wakingRatio = waking.microsecondsPerEvent() > 0
                                   ? instrument.cost.microsecondsPerEvent() / waking.microsecondsPerEvent()
                                   : 0.0;
    std::printf("ratio kestrin/floor %.2f per line (aim <= %.1f); %.2f in share of a core; %.2f per line against the "
                "window only waking\n",
                ratio, kAimRatio, shareRatio, wakingRatio);
    return 0;
}

} // namespace bench
