// Benchmark of the instrument's DDE channel. The program runs twice: as the instrument (a
// live frmMain, offscreen, switched on, in a child process) and as the clients (this
// process), like kestrin and tovrask. Prints:
//  - execute round trip (PAUSE while Idle, acknowledged) over 10 000 executes of a
//    linked DdeTextBox, median and p99, beside the TCP command round trip (PAUSE while Idle)
//    against the same instrument;
//  - item-update latency: from the write of txtOutput in the instrument to the arrival at a
//    linked client, median and p99;
//  - a run at 1000 lines per second with 10 linked clients for 10 s: lines received by each
//    client, and whether every client got every line in order;
//  - 128 linked clients that never read during a run at 1000 lines per second of 100 points:
//    the instrument's resident memory before they link, at its peak while the source drops
//    them, and 5 s after the last was dropped.

#include "ddedirectory.h"
#include "ddesource.h"
#include "ddetextbox.h"
#include "errors.h"
#include "frmMain.h"
#include "support/processstats.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExecutes = 10000;
constexpr int kLatencySamples = 2000;
constexpr int kStreamClients = 10;
constexpr int kStreamSeconds = 10;
constexpr int kStreamRate = 1000;
constexpr int kStuckClients = 128;
constexpr int kStuckPointsPerLine = 100;
constexpr int kStuckLongestWait = 60000;
constexpr int kMemorySampleInterval = 10;
constexpr int kSettleTime = 5000;
const QString kInstrumentArgument = QStringLiteral("--instrument");

qint64 nowNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct Figures
{
    double median = 0;
    double p99 = 0;
};

Figures figuresOf(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    if (samples.empty())
        return {};
    return {samples[samples.size() / 2], samples[std::min(samples.size() - 1, samples.size() * 99 / 100)]};
}

// --- The instrument side -------------------------------------------------------------------

// A switched-on instrument with its network on `port`. Reads commands on stdin:
// "stamp" writes the clock into txtOutput; "rate <n> [points]" sets the generator to n lines
// per second (of 10 points unless given), continuous, with point numbers; "command <line>"
// executes a command line.
int runInstrument(quint16 port)
{
    frmMain window;
    window.setCommEnabled(false);
    window.setNetworkEnabled(true);
    window.setServerPort(qint16(port));
    window.findChild<QPushButton *>(QStringLiteral("btnOnOff"))->click();
    auto *source = window.findChild<platform::DdeSource *>();
    const QString output = QStringLiteral("txtOutput");
    if (!source || !source->isServing()) {
        std::fprintf(stderr, "instrument does not serve DDE\n");
        return 1;
    }

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &window, [&] {
        char buffer[4096];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, count);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray command = pending.left(end);
            pending.remove(0, end + 1);
            if (command == "stamp") {
                source->writeItem(output, QString::number(nowNanoseconds()));
            } else if (command.startsWith("rate ")) {
                const QList<QByteArray> words = command.split(' ');
                const QByteArray points = words.size() > 2 ? words.at(2) : QByteArray("10");
                window.findChild<QLineEdit *>(QStringLiteral("txtFrequency"))
                    ->setText(QString::fromLatin1(words.at(1)));
                window.findChild<QLineEdit *>(QStringLiteral("txtPtsPerLine"))->setText(QString::fromLatin1(points));
                window.findChild<QCheckBox *>(QStringLiteral("chkPointNumber"))->setChecked(true);
            } else if (command.startsWith("command ")) {
                window.ExecuteCommand(QString::fromLatin1(command.mid(8)));
            }
        }
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return QApplication::exec();
}

// --- The client side -----------------------------------------------------------------------

std::unique_ptr<platform::DdeTextBox> linkedClient()
{
    auto box = std::make_unique<platform::DdeTextBox>();
    box->setLinkTopic(QStringLiteral("Kestrin|Kestrin"));
    box->setLinkItem(QStringLiteral("txtOutput"));
    box->setLinkMode(platform::DdeTextBox::kLinkModeAutomatic);
    return box;
}

Figures executeRoundTrip(platform::DdeTextBox &client)
{
    std::vector<double> samples;
    samples.reserve(kExecutes);
    for (int i = 0; i < kExecutes; ++i) {
        const auto start = Clock::now();
        try {
            client.LinkExecute(QStringLiteral("PAUSE"));
        } catch (const platform::RuntimeError &failure) {
            std::fprintf(stderr, "execute failed: %s\n", failure.what());
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return figuresOf(samples);
}

Figures tcpRoundTrip(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(3000))
        return {};
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    std::vector<double> samples;
    samples.reserve(kExecutes);
    for (int i = 0; i < kExecutes; ++i) {
        const auto start = Clock::now();
        socket.write("PAUSE\r");
        QByteArray reply;
        while (!reply.endsWith('\r') && socket.waitForReadyRead(3000))
            reply += socket.readAll();
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return figuresOf(samples);
}

Figures updateLatency(QProcess &instrument, platform::DdeTextBox &client)
{
    std::vector<double> samples;
    samples.reserve(kLatencySamples);
    qint64 arrival = 0;
    qint64 stamp = 0;
    // Replies still on their way from the round trips carry no time stamp and are skipped.
    QObject::connect(&client, &platform::DdeTextBox::itemUpdated, &client, [&](const QString &value) {
        bool isStamp = false;
        const qint64 written = value.toLongLong(&isStamp);
        if (isStamp) {
            arrival = nowNanoseconds();
            stamp = written;
        }
    });
    for (int i = 0; i < kLatencySamples; ++i) {
        arrival = 0;
        instrument.write("stamp\n");
        // A plain event loop, woken by the arrival: polling would add its own sleep.
        QEventLoop loop;
        QObject::connect(&client, &platform::DdeTextBox::itemUpdated, &loop, [&] {
            if (arrival != 0)
                loop.quit();
        });
        QTimer::singleShot(3000, &loop, &QEventLoop::quit);
        loop.exec();
        if (arrival == 0)
            break;
        samples.push_back(double(arrival - stamp) / 1000.0);
    }
    return figuresOf(samples);
}

struct StreamResult
{
    int fewestLines = 0;
    int mostLines = 0;
    bool everyLineInOrder = true;
    double seconds = 0;
};

StreamResult streamRun(QProcess &instrument)
{
    std::vector<std::unique_ptr<platform::DdeTextBox>> clients;
    std::vector<std::vector<qint64>> points(kStreamClients);
    for (int i = 0; i < kStreamClients; ++i) {
        clients.push_back(linkedClient());
        QObject::connect(clients.back().get(), &platform::DdeTextBox::itemUpdated, clients.back().get(),
                         [&points, i](const QString &line) {
                             bool isLine = false;
                             const qint64 point = line.section(QLatin1Char(','), 0, 0).toLongLong(&isLine);
                             if (isLine && line.contains(QLatin1Char(',')))
                                 points[i].push_back(point);
                         });
    }
    instrument.write(QByteArray("rate ") + QByteArray::number(kStreamRate) + '\n');
    QTest::qWait(200);

    QElapsedTimer clock;
    clock.start();
    clients.front()->LinkExecute(QStringLiteral("ANALYZE"));
    QTest::qWait(kStreamSeconds * 1000);
    clients.front()->LinkExecute(QStringLiteral("ABORT"));
    const double seconds = clock.elapsed() / 1000.0;
    QTest::qWait(500);

    StreamResult result;
    result.seconds = seconds;
    result.fewestLines = int(points.front().size());
    for (const std::vector<qint64> &received : points) {
        result.fewestLines = std::min(result.fewestLines, int(received.size()));
        result.mostLines = std::max(result.mostLines, int(received.size()));
        for (size_t k = 0; k < received.size(); ++k)
            result.everyLineInOrder = result.everyLineInOrder && received[k] == qint64(k) + 1;
        result.everyLineInOrder = result.everyLineInOrder && received.size() == points.front().size();
    }
    return result;
}

// A client that links to txtOutput on a plain socket and never reads after the answers.
class StuckClient
{
public:
    explicit StuckClient(const QString &socketPath)
        : m_socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(socketPath).constData(), sizeof address.sun_path);
        const QByteArray hello = "INITIATE Kestrin\nADVISE txtOutput\n";
        m_connected = ::connect(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                      && ::send(m_socket, hello.constData(), size_t(hello.size()), MSG_NOSIGNAL) == hello.size();
    }
    ~StuckClient() { ::close(m_socket); }
    StuckClient(const StuckClient &) = delete;
    StuckClient &operator=(const StuckClient &) = delete;

    // Reads "ACK" and the "DATA" line; nothing else is written while the instrument is idle.
    bool waitLinked()
    {
        QByteArray answers;
        const bool arrived = m_connected && QTest::qWaitFor([&] {
                                 char buffer[64 * 1024];
                                 ssize_t count;
                                 while ((count = ::recv(m_socket, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
                                     answers.append(buffer, count);
                                 return answers.count('\n') >= 2;
                             });
        return arrived && answers.startsWith("ACK\nDATA");
    }
    bool isCut() const
    {
        pollfd state{m_socket, POLLRDHUP, 0};
        return ::poll(&state, 1, 0) == 1 && (state.revents & (POLLHUP | POLLRDHUP)) != 0;
    }

private:
    int m_socket;
    bool m_connected = false;
};

struct MemoryResult
{
    int linked = 0;
    int dropped = 0;
    double firstDropSeconds = 0;
    double lastDropSeconds = 0;
    long startKiB = 0;
    long peakKiB = 0;
    long settledKiB = 0;
};

MemoryResult stuckRun(QProcess &instrument, const QString &socketPath)
{
    MemoryResult result;
    const qint64 pid = instrument.processId();
    instrument.write(QByteArray("rate ") + QByteArray::number(kStreamRate) + ' '
                     + QByteArray::number(kStuckPointsPerLine) + '\n');
    QTest::qWait(1000);
    result.startKiB = bench::residentKiBOf(pid);
    result.peakKiB = result.startKiB;

    std::vector<std::unique_ptr<StuckClient>> clients;
    for (int i = 0; i < kStuckClients; ++i) {
        clients.push_back(std::make_unique<StuckClient>(socketPath));
        if (clients.back()->waitLinked())
            ++result.linked;
    }

    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, &sampler,
                     [&] { result.peakKiB = std::max(result.peakKiB, bench::residentKiBOf(pid)); });
    sampler.start(kMemorySampleInterval);
    QElapsedTimer clock;
    clock.start();
    instrument.write("command ANALYZE\n");
    const auto dropped = [&] {
        return int(std::count_if(clients.begin(), clients.end(), [](const auto &client) { return client->isCut(); }));
    };
    const bool allDropped = QTest::qWaitFor(
        [&] {
            const int count = dropped();
            if (count > 0 && result.firstDropSeconds == 0)
                result.firstDropSeconds = clock.elapsed() / 1000.0;
            return count == kStuckClients;
        },
        kStuckLongestWait);
    if (!allDropped)
        std::fprintf(stderr, "not every stuck client was dropped within %d s\n", kStuckLongestWait / 1000);
    result.lastDropSeconds = clock.elapsed() / 1000.0;
    result.dropped = dropped();
    QTest::qWait(kSettleTime);
    result.settledKiB = bench::residentKiBOf(pid);
    instrument.write("command ABORT\n");
    return result;
}

int runClients(const QString &program)
{
    const quint16 port = bench::freeServerPort();

    QProcess instrument;
    instrument.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    instrument.start(program, {kInstrumentArgument, QString::number(port)});
    if (!instrument.waitForReadyRead(10000) || !instrument.readLine().startsWith("ready")) {
        std::fprintf(stderr, "the instrument did not start\n");
        return 1;
    }

    auto client = linkedClient();
    const Figures execute = executeRoundTrip(*client);
    const Figures tcp = tcpRoundTrip(port);
    const Figures latency = updateLatency(instrument, *client);
    client.reset();
    const StreamResult stream = streamRun(instrument);
    // The stream's clients have gone once their places are free again.
    QTest::qWait(1000);
    const MemoryResult memory = stuckRun(
        instrument, platform::DdeDirectory::socketPath(platform::DdeDirectory::path(), QStringLiteral("Kestrin")));

    std::printf("DDE execute round trip (PAUSE in Idle, %d executes): median %.1f us, p99 %.1f us\n", kExecutes,
                execute.median, execute.p99);
    std::printf("TCP command round trip (PAUSE in Idle, %d commands): median %.1f us, p99 %.1f us; "
                "DDE/TCP median ratio %.2f\n",
                kExecutes, tcp.median, tcp.p99, tcp.median > 0 ? execute.median / tcp.median : 0.0);
    std::printf("Item-update latency (write of txtOutput to arrival, %d samples): median %.1f us, p99 %.1f us\n",
                kLatencySamples, latency.median, latency.p99);
    std::printf("Run at %d lines/s, %d linked clients, %.1f s: %d to %d lines per client (%.0f lines/s), "
                "every client every line in order: %s\n",
                kStreamRate, kStreamClients, stream.seconds, stream.fewestLines, stream.mostLines,
                stream.fewestLines / stream.seconds, stream.everyLineInOrder ? "yes" : "NO");
    std::printf("%d stuck clients (%d linked) at %d lines/s of %d points: %d dropped, the first after %.2f s, "
                "the last after %.2f s; instrument RSS %.1f MiB before, peak %+.1f MiB, %+.1f MiB %d s after "
                "the last drop\n",
                kStuckClients, memory.linked, kStreamRate, kStuckPointsPerLine, memory.dropped, memory.firstDropSeconds,
                memory.lastDropSeconds, memory.startKiB / 1024.0, (memory.peakKiB - memory.startKiB) / 1024.0,
                (memory.settledKiB - memory.startKiB) / 1024.0, kSettleTime / 1000);

    instrument.closeWriteChannel();
    if (!instrument.waitForFinished(5000))
        instrument.kill();
    return stream.everyLineInOrder ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A DDE directory of our own (inherited by the instrument), so a running kestrin is
    // neither disturbed nor measured.
    const bool isInstrument = argc == 3 && QByteArray(argv[1]) == kInstrumentArgument.toLatin1();
    std::unique_ptr<QTemporaryDir> runtime;
    if (!isInstrument) {
        runtime = std::make_unique<QTemporaryDir>();
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime->path()));
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrin"));
    if (isInstrument)
        return runInstrument(quint16(QByteArray(argv[2]).toUInt()));
    return runClients(QApplication::applicationFilePath());
}
