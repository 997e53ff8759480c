// Benchmark of the instrument's virtual serial port, run against a live frmMain in this process
// (offscreen) with port 1 left unmapped, in a runtime folder of its own. The client opens the
// published path on a thread of its own with blocking I/O, as a terminal program does, so the
// window thread serves exactly as it does for any client. Prints:
//  - command round trip (PAUSE while Idle -> OK) over the virtual port, median and p99, beside
//    the same client code over the instrument's own TCP channel in the same run, on a line so
//    fast (4000000 baud) that its pace does not count; then at the start-up 19200 baud, where
//    the port takes characters in no faster than the line carries them;
//  - streaming at 1000 lines per second of 10 points for 10 s: lines received, lost, cut and
//    out of order (output leaves as fast as the client reads, whatever the baud rate);
//  - processor use of the whole program with the port open and its client gone, over 10 s;
//  - DDE execute round trip, median and p99, undisturbed and while a client that echoes
//    everything (stty echo -echoctl) keeps the instrument answering its own replies at
//    19200 baud, with the loop's traffic and the processor use of the whole program.

#include "frmMain.h"
#include "messagebox.h"
#include "serialportcontrol.h"
#include "support/blockingddeclient.h"
#include "support/processstats.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 5000;
constexpr int kWarmUp = 200;
constexpr int kBlocks = 10;
constexpr int kStreamSeconds = 10;
constexpr int kStreamRate = 1000;
constexpr int kPointsPerLine = 10;
constexpr int kIdleSeconds = 10;
constexpr int kPacedRoundTrips = 200;
constexpr int kDdeBlocks = 5;
constexpr auto kDdeBlock = std::chrono::seconds(2);
constexpr auto kExecuteSpacing = std::chrono::milliseconds(5);
const QString kFastLine = QStringLiteral("4000000,N,8,1");
const QString kStartUpLine = QStringLiteral("19200,N,8,1");

// Blocking, CR-terminated lines over any file descriptor: a pseudo-terminal or a socket.
class LineClient
{
public:
    explicit LineClient(int fd)
        : m_fd(fd)
    {
    }

    bool send(const std::string &text)
    {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t written = ::write(m_fd, text.data() + done, text.size() - done);
            if (written <= 0)
                return false;
            done += size_t(written);
        }
        return true;
    }

    // One line without its terminator; false when the other side ended.
    bool readLine(std::string &line)
    {
        for (;;) {
            const size_t end = m_buffer.find('\r');
            if (end != std::string::npos) {
                line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                return true;
            }
            char chunk[4096];
            const ssize_t got = ::read(m_fd, chunk, sizeof chunk);
            if (got <= 0)
                return false;
            m_buffer.append(chunk, size_t(got));
        }
    }

private:
    int m_fd;
    std::string m_buffer;
};

// Runs work on a thread of its own while the window thread keeps handling events.
void runBesideEventLoop(const std::function<void()> &work)
{
    QEventLoop loop;
    std::thread worker([&] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
}

struct RoundTrips
{
    std::vector<double> micros;
    int failures = 0;

    double percentile(int percent)
    {
        if (micros.empty())
            return 0;
        std::sort(micros.begin(), micros.end());
        return micros[std::min(micros.size() - 1, micros.size() * size_t(percent) / 100)];
    }
};

// Timed PAUSE -> OK exchanges; the first `warmUp` ones are not counted.
void measureRoundTrips(int fd, int count, int warmUp, RoundTrips &result)
{
    runBesideEventLoop([&] {
        LineClient client(fd);
        std::string reply;
        for (int i = 0; i < warmUp + count; ++i) {
            const auto start = Clock::now();
            if (!client.send("PAUSE\r") || !client.readLine(reply) || reply != "OK") {
                ++result.failures;
                continue;
            }
            if (i >= warmUp)
                result.micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    });
}

int connectToLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Stream
{
    int lines = 0;
    int lost = 0;
    int cut = 0;
    int outOfOrder = 0;
    double seconds = 0;
};

// Reads the data lines of a running analysis for kStreamSeconds. Each line carries its
// point number, so a gap shows a lost line and a step back one out of order; a line without
// all its values is cut.
Stream measureStream(int fd)
{
    Stream result;
    static const QRegularExpression kValue(QStringLiteral("^\\d+\\.\\d{1,5}$"));
    runBesideEventLoop([&] {
        LineClient client(fd);
        std::string line;
        if (!client.send("ANALYZE\r") || !client.readLine(line) || line != "OK") {
            result.cut = -1;
            return;
        }
        long expected = 1;
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(kStreamSeconds);
        while (Clock::now() < end && client.readLine(line)) {
            ++result.lines;
            const QStringList fields = QString::fromLatin1(line.c_str()).split(QLatin1Char(','));
            bool whole = fields.size() == kPointsPerLine + 1;
            for (int i = 1; whole && i < fields.size(); ++i)
                whole = kValue.match(fields.at(i)).hasMatch();
            if (!whole) {
                ++result.cut;
                continue;
            }
            const long number = fields.first().toLong();
            if (number < expected)
                ++result.outOfOrder;
            result.lost += int(std::max(0L, number - expected));
            expected = std::max(expected, number + 1);
        }
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        client.send("ABORT\r");
        while (client.readLine(line) && line != "OK") {
        }
    });
    return result;
}

struct DdePhase
{
    QList<double> milliseconds;
    int unanswered = 0;
};

// Times EXECUTE PAUSE (while Idle: OK, and nothing changes) every few milliseconds for a block.
void measureDde(bench::DdeClient &client, DdePhase &phase)
{
    runBesideEventLoop([&] {
        const auto end = Clock::now() + kDdeBlock;
        while (Clock::now() < end) {
            const auto start = Clock::now();
            if (client.ask("EXECUTE PAUSE") == "ACK")
                phase.milliseconds << std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            else
                ++phase.unanswered;
            std::this_thread::sleep_for(kExecuteSpacing);
        }
    });
}

// Opens the virtual port as a client whose terminal echoes what the instrument sends, as
// `stty -F COM1 echo -echoctl` leaves it; -1 when that fails.
int openEchoingClient(const QByteArray &path)
{
    const int client = ::open(path.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios line{};
    if (client < 0 || ::tcgetattr(client, &line) != 0)
        return -1;
    line.c_lflag |= ECHO;
    line.c_lflag &= ~tcflag_t(ECHOCTL);
    if (::tcsetattr(client, TCSANOW, &line) != 0) {
        ::close(client);
        return -1;
    }
    return client;
}

// Handles events until the condition holds.
void waitFor(const std::function<bool()> &condition)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    check.start(1);
    loop.exec();
}

// Runs the event loop for a while and returns the share of one processor the program used.
double processorShare(std::chrono::seconds period)
{
    const double before = bench::processorSeconds();
    const auto start = Clock::now();
    QEventLoop loop;
    QTimer::singleShot(period, &loop, &QEventLoop::quit);
    loop.exec();
    return (bench::processorSeconds() - before) / std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char *argv[])
{
    // A runtime folder of its own: the bench never meets an instrument the user is running.
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    qunsetenv("KESTRIN_COM1");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrin"));
    QStringList messages;
    platform::setMessageHandler([&messages](const QString &, const QString &text) { messages << text; });

    frmMain window;
    window.setCommSettings(kFastLine);
    const quint16 serverPort = bench::freeServerPort();
    window.setNetworkEnabled(true);
    window.setServerPort(qint16(serverPort));
    window.ExecuteCommand(QStringLiteral("ON"));
    if (!messages.isEmpty()) {
        std::fprintf(stderr, "switching on failed: %s\n", qPrintable(messages.join(QLatin1Char('\n'))));
        return 1;
    }

    const auto *port = window.findChild<platform::SerialPortControl *>(QStringLiteral("comKestrin"));
    const QByteArray path = QFile::encodeName(port->deviceName());
    const int client = ::open(path.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (client < 0) {
        std::fprintf(stderr, "cannot open the virtual port %s: %s\n", path.constData(), std::strerror(errno));
        return 1;
    }

    int tcp = -1;
    runBesideEventLoop([&] { tcp = connectToLoopback(serverPort); });
    if (tcp < 0) {
        std::fprintf(stderr, "no TCP connection to the instrument on port %u\n", serverPort);
        return 1;
    }
    // Serial and TCP take turns in blocks, so both meet the same load of the machine.
    RoundTrips serial;
    RoundTrips network;
    for (int block = 0; block < kBlocks; ++block) {
        const int warmUp = block == 0 ? kWarmUp : 0;
        measureRoundTrips(client, kRoundTrips / kBlocks, warmUp, serial);
        measureRoundTrips(tcp, kRoundTrips / kBlocks, warmUp, network);
    }
    ::close(tcp);

    std::printf("virtual port round trip (PAUSE -> OK, %d commands at %s): "
                "median %.1f us, p99 %.1f us, failures %d\n",
                kRoundTrips, qPrintable(kFastLine), serial.percentile(50), serial.percentile(99), serial.failures);
    std::printf("TCP round trip through the same instrument, same client (loopback): "
                "median %.1f us, p99 %.1f us, failures %d\n",
                network.percentile(50), network.percentile(99), network.failures);
    std::printf("virtual port/TCP: median %.2f, p99 %.2f (target: at most 1.5)\n",
                serial.percentile(50) / network.percentile(50), serial.percentile(99) / network.percentile(99));

    // A reset keeps the terminal and its client, as a real port keeps the cable.
    window.setCommSettings(kStartUpLine);
    window.ResetRS232Port();
    RoundTrips paced;
    const auto pacedStart = Clock::now();
    measureRoundTrips(client, kPacedRoundTrips, 0, paced);
    const double pacedSeconds = std::chrono::duration<double>(Clock::now() - pacedStart).count();
    std::printf("virtual port at %s, %d PAUSE commands one after the other: %.0f commands/s (the line carries "
                "%.0f), median %.1f us, p99 %.1f us, failures %d\n",
                qPrintable(kStartUpLine), kPacedRoundTrips, kPacedRoundTrips / pacedSeconds, 19200 / 10.0 / 6,
                paced.percentile(50), paced.percentile(99), paced.failures);

    window.findChild<QLineEdit *>(QStringLiteral("txtFrequency"))->setText(QString::number(kStreamRate));
    window.findChild<QLineEdit *>(QStringLiteral("txtPtsPerLine"))->setText(QString::number(kPointsPerLine));
    window.findChild<QRadioButton *>(QStringLiteral("opContinuous"))->click();
    window.findChild<QCheckBox *>(QStringLiteral("chkPointNumber"))->setChecked(true);
    const Stream stream = measureStream(client);
    std::printf("virtual port streaming at %d lines/s of %d points for %.1f s: %d lines (%.1f/s), lost %d, cut %d, "
                "out of order %d\n",
                kStreamRate, kPointsPerLine, stream.seconds, stream.lines, stream.lines / stream.seconds, stream.lost,
                stream.cut, stream.outOfOrder);

    ::close(client);
    waitFor([port] { return !port->clientAttached(); });
    std::printf("processor use, instrument On, port open, client gone, over %d s: %.3f %% of one processor "
                "(target: under 1 %%)\n",
                kIdleSeconds, 100 * processorShare(std::chrono::seconds(kIdleSeconds)));

    bench::DdeClient dde(runtime.filePath(QStringLiteral("dde/kestrin")));
    std::string initiated;
    runBesideEventLoop([&] { initiated = dde.ask("INITIATE Kestrin"); });
    if (initiated != "ACK") {
        std::fprintf(stderr, "the instrument refused the DDE conversation: \"%s\"\n", initiated.c_str());
        return 1;
    }
    // Undisturbed and echoing blocks take turns, so both meet the same load of the machine.
    DdePhase undisturbed;
    DdePhase withEcho;
    double loopSeconds = 0;
    double loopProcessorSeconds = 0;
    std::atomic<long> looped = 0;
    for (int block = 0; block < kDdeBlocks; ++block) {
        measureDde(dde, undisturbed);

        const int echoing = openEchoingClient(path);
        if (echoing < 0) {
            std::fprintf(stderr, "cannot open %s as an echoing client: %s\n", path.constData(), std::strerror(errno));
            return 1;
        }
        waitFor([port] { return port->clientAttached(); });
        std::atomic<bool> loopGoesOn = true;
        std::thread reader([&] {
            char chunk[4096];
            while (loopGoesOn) {
                pollfd readable{echoing, POLLIN, 0};
                if (::poll(&readable, 1, 100) <= 0)
                    continue;
                const ssize_t got = ::read(echoing, chunk, sizeof chunk);
                if (got <= 0)
                    return;
                looped += got;
            }
        });
        if (::write(echoing, "PAUSE\r", 6) != 6)
            std::fprintf(stderr, "the echoing client could not send its command: %s\n", std::strerror(errno));
        const double processorBefore = bench::processorSeconds();
        const auto loopStart = Clock::now();
        measureDde(dde, withEcho);
        loopSeconds += std::chrono::duration<double>(Clock::now() - loopStart).count();
        loopProcessorSeconds += bench::processorSeconds() - processorBefore;
        loopGoesOn = false;
        reader.join();
        ::close(echoing);
        waitFor([port] { return !port->clientAttached(); });
    }
    const double loopProcessor = loopProcessorSeconds / loopSeconds;

    const double undisturbedP99 = bench::percentile(undisturbed.milliseconds, 99);
    std::printf("DDE execute round trip, one every %lld ms, %d blocks of %lld s each way: undisturbed median %.3f ms, "
                "p99 %.3f ms, unanswered %d\n",
                static_cast<long long>(kExecuteSpacing.count()), kDdeBlocks, static_cast<long long>(kDdeBlock.count()),
                bench::percentile(undisturbed.milliseconds, 50), undisturbedP99, undisturbed.unanswered);
    std::printf("while an echoing client loops at %s: median %.3f ms, p99 %.3f ms (%.2f x undisturbed; target: at "
                "most 2), unanswered %d; the loop carried %.0f characters/s to the client; processor use of the "
                "whole program %.1f %% of one processor\n",
                qPrintable(kStartUpLine), bench::percentile(withEcho.milliseconds, 50),
                bench::percentile(withEcho.milliseconds, 99),
                bench::percentile(withEcho.milliseconds, 99) / undisturbedP99, withEcho.unanswered,
                double(looped) / loopSeconds, 100 * loopProcessor);

    if (!messages.isEmpty())
        std::fprintf(stderr, "messages: %s\n", qPrintable(messages.join(QLatin1Char('\n'))));
    return 0;
}
