// Benchmark of the instrument under an unresponsive or hostile peer, run against a live frmMain
// in this process (offscreen, with the real message boxes). The instrument streams 1000 lines
// a second of 100 points to its serial port (one end of a pseudo-terminal pair) and to a TCP
// client, while a DDE client on a thread of its own sends one EXECUTE every few milliseconds
// and times each acknowledgement. Prints, per phase, the DDE round trip median and p99 and the
// p99 as a ratio to the undisturbed phase, the reports raised and resident memory:
//  - undisturbed: the TCP client and the serial far end read everything;
//  - a TCP client that stops reading;
//  - a serial far end that stops reading;
//  - 30 MB without a terminator on the serial line.

#include "frmMain.h"
#include "messagebox.h"
#include "support/blockingddeclient.h"
#include "support/processstats.h"
#include "support/serialline.h"

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRate = 1000;
constexpr int kPointsPerLine = 100;
constexpr auto kPhase = std::chrono::seconds(10);
constexpr auto kExecuteSpacing = std::chrono::milliseconds(5);
constexpr long kFloodBytes = 30L * 1000 * 1000;

// Reads and discards everything arriving on a descriptor while `reading` is set.
void drain(int descriptor, const std::atomic<bool> &reading, const std::atomic<bool> &stop)
{
    char chunk[65536];
    while (!stop) {
        if (!reading) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        pollfd ready{descriptor, POLLIN, 0};
        if (::poll(&ready, 1, 1) > 0 && ::read(descriptor, chunk, sizeof chunk) <= 0)
            return;
    }
}

int connectTcp(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (;;) {
        const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            return descriptor;
        ::close(descriptor);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Runs work on a thread of its own while the window thread serves.
void onClientThread(const std::function<void()> &work)
{
    QEventLoop loop;
    std::thread client([&] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    client.join();
}

struct Phase
{
    double median = 0;
    double p99 = 0;
    double worst = 0;
    int unanswered = 0;
};

// Times EXECUTE round trips for one phase on a thread of its own while the window thread
// serves; `attack` runs beside it on another thread.
Phase measure(bench::DdeClient &client, const std::function<void(const std::atomic<bool> &)> &attack)
{
    QList<double> samples;
    int unanswered = 0;
    std::atomic<bool> phaseOver = false;
    std::thread attacker([&] { attack(phaseOver); });
    onClientThread([&] {
        const auto end = Clock::now() + kPhase;
        while (Clock::now() < end) {
            const auto start = Clock::now();
            // ON while analyzing is refused: a command that changes nothing.
            if (client.ask("EXECUTE ON").empty())
                ++unanswered;
            else
                samples << std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            std::this_thread::sleep_for(kExecuteSpacing);
        }
        phaseOver = true;
    });
    attacker.join();
    if (samples.isEmpty())
        return {0, 0, 0, unanswered};
    return {bench::percentile(samples, 50), bench::percentile(samples, 99), bench::percentile(samples, 100),
            unanswered};
}

// What the open boxes say: how many are open, and how often their texts were raised again.
QString openReports()
{
    QStringList reports;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (auto *box = qobject_cast<QMessageBox *>(window); box && box->isVisible()) {
            reports << QStringLiteral("\"%1\" (+%2 repeats)")
                           .arg(box->text().left(60))
                           .arg(platform::repeatsOfOpenMessage(box->text()));
            box->done(QMessageBox::Ok);
        }
    }
    return reports.isEmpty() ? QStringLiteral("none") : reports.join(QStringLiteral("; "));
}

void printPhase(const char *name, const Phase &phase, const Phase &undisturbed)
{
    std::printf("%-40s DDE execute median %6.2f ms, p99 %6.2f ms (%.2f x undisturbed), worst %7.2f ms, "
                "unanswered %d; RSS %ld kB; reports: %s\n",
                name, phase.median, phase.p99, undisturbed.p99 > 0 ? phase.p99 / undisturbed.p99 : 0.0, phase.worst,
                phase.unanswered, bench::residentKiB(), qPrintable(openReports()));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    const int farEnd = bench::mapSerialPortOneToPty();
    if (farEnd < 0)
        return 1;

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrin"));
    frmMain window;
    const quint16 port = bench::freeServerPort();
    window.setNetworkEnabled(true);
    window.setServerPort(qint16(port));
    window.findChild<QLineEdit *>(QStringLiteral("txtFrequency"))->setText(QString::number(kRate));
    window.findChild<QLineEdit *>(QStringLiteral("txtPtsPerLine"))->setText(QString::number(kPointsPerLine));
    window.ExecuteCommand(QStringLiteral("ON"));

    std::atomic<bool> serialReading = true;
    std::atomic<bool> stop = false;
    std::thread serialDrain([&] { drain(farEnd, serialReading, stop); });
    std::atomic<bool> tcpReading = true;
    const int reader = connectTcp(port);
    std::thread tcpDrain([&] { drain(reader, tcpReading, stop); });

    window.ExecuteCommand(QStringLiteral("ANALYZE"));
    bench::DdeClient client(runtime.filePath(QStringLiteral("dde/kestrin")));
    std::string reply;
    onClientThread([&] { reply = client.ask("INITIATE Kestrin"); });
    if (reply != "ACK") {
        std::fprintf(stderr, "the instrument refused the DDE conversation: \"%s\"\n", reply.c_str());
        stop = true;
        serialDrain.join();
        tcpDrain.join();
        return 1;
    }
    std::printf("%d lines/s of %d points to a TCP client and a serial far end; one DDE EXECUTE every %lld ms, "
                "phases of %lld s\n",
                kRate, kPointsPerLine, static_cast<long long>(kExecuteSpacing.count()),
                static_cast<long long>(kPhase.count()));

    const auto idle = [](const std::atomic<bool> &) {};
    const Phase undisturbed = measure(client, idle);
    printPhase("undisturbed", undisturbed, undisturbed);

    tcpReading = false;
    printPhase("TCP client stops reading", measure(client, idle), undisturbed);

    serialReading = false;
    printPhase("serial far end stops reading", measure(client, idle), undisturbed);
    serialReading = true;

    const long beforeFlood = bench::residentKiB();
    long flooded = 0;
    ::fcntl(farEnd, F_SETFL, ::fcntl(farEnd, F_GETFL) | O_NONBLOCK);
    const Phase flood = measure(client, [&](const std::atomic<bool> &phaseOver) {
        const std::string piece(4096, 'A');
        while (flooded < kFloodBytes && !phaseOver) {
            pollfd writable{farEnd, POLLOUT, 0};
            if (::poll(&writable, 1, 1) > 0) {
                const ssize_t written = ::write(farEnd, piece.data(), piece.size());
                flooded += written > 0 ? written : 0;
            }
        }
    });
    printPhase("serial flood without terminator", flood, undisturbed);
    std::printf("the flood: %ld bytes in the phase; resident memory %+ld kB\n", flooded,
                bench::residentKiB() - beforeFlood);

    stop = true;
    serialDrain.join();
    tcpDrain.join();
    ::close(reader);
    return 0;
}
