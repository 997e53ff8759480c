// Benchmark of the instrument's TCP channel, run against a live frmMain in this process
// (offscreen). The client runs on a thread of its own with blocking sockets, so the window
// thread serves exactly as it does for a remote client. Prints:
//  - command round trip (PAUSE while Idle -> OK), median and p99, beside the same client
//    against a minimal echo server on the same kind of event loop;
//  - stream throughput at 1000 lines per second of 100 points, for 10 s;
//  - resident memory after a megabyte without terminator and after many connections.

#include "frmMain.h"
#include "messagebox.h"
#include "support/processstats.h"

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 10000;
constexpr int kStreamSeconds = 10;
constexpr int kStreamRate = 1000;
constexpr int kPointsPerLine = 100;
constexpr int kFloodBytes = 1000000;
constexpr int kConnectionCycles = 10000;

// A blocking loopback client that reads CR-terminated lines.
class Client
{
public:
    bool connectTo(quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
            return false;
        }
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return true;
    }

    // Retries while the server is between two connections and not listening yet.
    void connectRetrying(quint16 port)
    {
        while (!connectTo(port))
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }

    ~Client() { closeConnection(); }

    void closeConnection()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_buffer.clear();
    }

    void send(const std::string &text)
    {
        size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t n = ::send(m_fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += size_t(n);
        }
    }

    // The next line without its CR; false when the connection ended or the timeout passed.
    bool readLine(std::string &line, int timeoutMilliseconds = 5000)
    {
        for (;;) {
            const size_t end = m_buffer.find('\r');
            if (end != std::string::npos) {
                line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                return true;
            }
            timeval timeout{timeoutMilliseconds / 1000, (timeoutMilliseconds % 1000) * 1000};
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            char chunk[65536];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            m_buffer.append(chunk, size_t(n));
        }
    }

private:
    int m_fd = -1;
    std::string m_buffer;
};

// Runs work on a client thread while the window thread serves.
void runClient(const std::function<void()> &work)
{
    QEventLoop loop;
    std::atomic<bool> done = false;
    std::thread client([&] {
        work();
        done = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    if (!done)
        loop.exec();
    client.join();
}

struct RoundTrips
{
    double median = 0;
    double p99 = 0;
};

RoundTrips measureRoundTrips(quint16 port)
{
    std::vector<double> micros;
    runClient([&] {
        Client client;
        client.connectRetrying(port);
        std::string reply;
        for (int i = 0; i < kRoundTrips / 10; ++i) { // warm-up
            client.send("PAUSE\r");
            client.readLine(reply);
        }
        for (int i = 0; i < kRoundTrips; ++i) {
            const auto start = Clock::now();
            client.send("PAUSE\r");
            if (!client.readLine(reply) || reply != "OK") {
                std::fprintf(stderr, "unexpected reply \"%s\"\n", reply.c_str());
                return;
            }
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    });
    std::sort(micros.begin(), micros.end());
    if (micros.empty())
        return {};
    return {micros[micros.size() / 2], micros[std::min(micros.size() - 1, micros.size() * 99 / 100)]};
}

// The minimal server the instrument is compared with: "OK" and CR for every CR-ended line.
class EchoServer : public QObject
{
public:
    explicit EchoServer(quint16 port)
    {
        m_server.listen(QHostAddress::Any, port);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    const QByteArray received = socket->readAll();
                    for (char c : received)
                        if (c == '\r')
                            socket->write("OK\r");
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

private:
    QTcpServer m_server;
};

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrin"));
    int messages = 0;
    platform::setMessageHandler([&messages](const QString &, const QString &) { ++messages; });

    frmMain window;
    // The serial channel is left closed: this measures the TCP channel alone.
    window.setCommEnabled(false);
    const quint16 port = bench::freeServerPort();
    window.setNetworkEnabled(true);
    window.setServerPort(qint16(port));
    window.ExecuteCommand(QStringLiteral("ON"));

    // Round trips: the instrument, then the echo server, with the same client code.
    const RoundTrips instrument = measureRoundTrips(port);
    RoundTrips echo;
    {
        const quint16 echoPort = bench::freeServerPort();
        EchoServer server(echoPort);
        echo = measureRoundTrips(echoPort);
    }
    std::printf("round trip PAUSE->OK, %d commands: instrument median %.1f us, p99 %.1f us; "
                "echo server median %.1f us, p99 %.1f us; ratio instrument/echo %.2f (median), %.2f (p99)\n",
                kRoundTrips, instrument.median, instrument.p99, echo.median, echo.p99, instrument.median / echo.median,
                instrument.p99 / echo.p99);
    std::fflush(stdout);

    // Stream: point numbers on, so a lost line shows as a gap.
    window.findChild<QLineEdit *>(QStringLiteral("txtFrequency"))->setText(QString::number(kStreamRate));
    window.findChild<QLineEdit *>(QStringLiteral("txtPtsPerLine"))->setText(QString::number(kPointsPerLine));
    window.findChild<QCheckBox *>(QStringLiteral("chkPointNumber"))->setChecked(true);
    long lines = 0;
    long lost = 0;
    long cut = 0;
    double seconds = 0;
    runClient([&] {
        Client client;
        client.connectRetrying(port);
        client.send("ANALYZE\r");
        std::string line;
        client.readLine(line); // OK
        long expected = 1;
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(kStreamSeconds);
        while (Clock::now() < end && client.readLine(line)) {
            ++lines;
            const long number = std::stol(line.substr(0, line.find(',')));
            lost += number - expected;
            expected = number + 1;
            if (std::count(line.begin(), line.end(), ',') != kPointsPerLine)
                ++cut;
        }
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        client.send("ABORT\r");
        while (client.readLine(line, 2000) && line != "OK") {
        }
    });
    const double rate = lines / seconds;
    std::printf(
        "stream %d lines/s of %d points for %.1f s: %ld lines, %.1f lines/s = %.4f of ideal; lost %ld, cut %ld\n",
        kStreamRate, kPointsPerLine, seconds, lines, rate, rate / kStreamRate, lost, cut);
    std::fflush(stdout);

    // Memory: two floods without a terminator, then many short connections. The first flood
    // also brings the heap to its working size; the second shows whether floods accumulate.
    const auto flood = [&] {
        runClient([&] {
            Client client;
            client.connectRetrying(port);
            // In small pieces, so that the client's own memory does not weigh in.
            const std::string piece(4096, 'A');
            for (int sent = 0; sent < kFloodBytes; sent += int(piece.size()))
                client.send(piece.substr(0, size_t(std::min<int>(int(piece.size()), kFloodBytes - sent))));
            client.send("\rPAUSE\r");
            std::string line;
            while (client.readLine(line) && line != "OK") {
            }
        });
    };
    const long before = bench::residentKiB();
    const int messagesBefore = messages;
    flood();
    const long afterFlood = bench::residentKiB();
    flood();
    const long afterSecondFlood = bench::residentKiB();
    const int overflowReports = messages - messagesBefore;
    runClient([&] {
        Client client;
        std::string line;
        for (int i = 0; i < kConnectionCycles; ++i) {
            client.connectRetrying(port);
            client.send("PAUSE\r");
            client.readLine(line);
            client.closeConnection();
        }
    });
    const long afterCycles = bench::residentKiB();
    std::printf("memory: RSS %ld kB; after %d bytes without terminator %ld kB (%+ld kB), after a second such flood "
                "%ld kB (%+ld kB; %d overflow reports for both); after %d connect/disconnect cycles %ld kB "
                "(%+ld kB since the start)\n",
                before, kFloodBytes, afterFlood, afterFlood - before, afterSecondFlood, afterSecondFlood - afterFlood,
                overflowReports, kConnectionCycles, afterCycles, afterCycles - before);
    return 0;
}
