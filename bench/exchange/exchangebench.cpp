// Exchange benchmark: two programs trading records through crossed exchange files, and the
// processor time a send costs while the other program holds its file.
//   exchangebench                       run both measurements and print the figures
//   exchangebench party <out> <in> <n>  one side of the exchange (started by the first)
//   exchangebench hold <path> <ms>      hold a file locked for <ms> milliseconds
#include "support/processstats.h"
#include "clsFileComm.h"

#include "messagebox.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kRecordsPerParty = 5000; // two parties: 10 000 records in all
constexpr int kHoldMs = 5000;
constexpr int kTimeoutMs = 300000;

QString record(int number)
{
    return QStringLiteral("record %1 of the exchange benchmark, 0123456789").arg(number, 5, 10, QLatin1Char('0'));
}

struct PartyResult
{
    int received = 0;
    int faults = 0; // records missing, repeated, out of order or torn
    double processor = 0;
};

// Sends `count` records and takes the other side's `count`, checking each as it comes.
PartyResult runParty(const QString &outFile, const QString &inFile, int count)
{
    clsFileComm comm;
    comm.setOutFile(outFile);
    comm.setInFile(inFile);
    PartyResult result;
    QString pending;
    int sent = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    while ((sent < count || result.received < count) && elapsed.elapsed() < kTimeoutMs) {
        if (sent < count)
            comm.SendData(record(sent++));
        pending += comm.GetData();
        qsizetype end = 0;
        while ((end = pending.indexOf(QLatin1Char('\r'))) >= 0) {
            if (pending.left(end) != record(result.received))
                ++result.faults;
            ++result.received;
            pending.remove(0, end + 1);
        }
    }
    if (!pending.isEmpty() || result.received != count)
        ++result.faults;
    result.processor = bench::processorSeconds();
    return result;
}

int party(const QStringList &arguments)
{
    // Both sides start together: this one once the first says so.
    std::printf("ready\n");
    std::fflush(stdout);
    char go[8] = {};
    if (!std::fgets(go, sizeof go, stdin))
        return 1;
    const double processorBefore = bench::processorSeconds();
    const PartyResult result = runParty(arguments.at(2), arguments.at(3), arguments.at(4).toInt());
    std::printf("%d %d %.6f\n", result.received, result.faults, result.processor - processorBefore);
    return 0;
}

int hold(const QStringList &arguments)
{
    const int descriptor = ::open(QFile::encodeName(arguments.at(2)).constData(), O_RDWR | O_CLOEXEC);
    struct flock region
    {
    };
    region.l_type = F_WRLCK;
    region.l_whence = SEEK_SET;
    if (descriptor < 0 || ::fcntl(descriptor, F_OFD_SETLK, &region) != 0) {
        std::perror("hold");
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    QTimer::singleShot(arguments.at(3).toInt(), qApp, &QCoreApplication::quit);
    return QCoreApplication::exec();
}

bool measureExchange(const QTemporaryDir &dir)
{
    const QString aToB = dir.filePath(QStringLiteral("a-to-b"));
    const QString bToA = dir.filePath(QStringLiteral("b-to-a"));
    QProcess other;
    other.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("party"), bToA, aToB, QString::number(kRecordsPerParty)});
    if (!other.waitForReadyRead(kTimeoutMs) || other.readLine().trimmed() != "ready")
        return false;

    QElapsedTimer wall;
    other.write("go\n");
    other.waitForBytesWritten(kTimeoutMs);
    wall.start();
    const double processorBefore = bench::processorSeconds();
    const PartyResult mine = runParty(aToB, bToA, kRecordsPerParty);
    // Its end may already have been noticed while a wait handled events.
    if (other.state() != QProcess::NotRunning && !other.waitForFinished(kTimeoutMs))
        return false;
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    const QStringList theirs = QString::fromLatin1(other.readAllStandardOutput()).split(QLatin1Char(' '));
    if (theirs.size() != 3)
        return false;

    const int records = mine.received + theirs.at(0).toInt();
    const int faults = mine.faults + theirs.at(1).toInt();
    const double processor = (mine.processor - processorBefore) + theirs.at(2).toDouble();
    std::printf("exchange: %d records in %.3f s through crossed files, two processes\n", records, seconds);
    std::printf("  %.0f records/s; processor time %.3f s for both (%.1f us per record)\n", records / seconds, processor,
                processor / records * 1e6);
    std::printf("  records lost, repeated or torn: %d\n", faults);
    return faults == 0;
}

bool measureWait(const QTemporaryDir &dir)
{
    const QString held = dir.filePath(QStringLiteral("held"));
    {
        QFile create(held);
        if (!create.open(QIODevice::WriteOnly))
            return false;
    }
    QProcess holder;
    holder.start(QCoreApplication::applicationFilePath(), {QStringLiteral("hold"), held, QString::number(kHoldMs)});
    if (!holder.waitForReadyRead(kTimeoutMs) || holder.readLine().trimmed() != "held")
        return false;

    clsFileComm comm;
    comm.setOutFile(held);
    QElapsedTimer wall;
    wall.start();
    const double processorBefore = bench::processorSeconds();
    comm.SendData(QStringLiteral("after the wait"));
    const double processor = bench::processorSeconds() - processorBefore;
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    holder.waitForFinished(kTimeoutMs);

    QFile written(held);
    const bool delivered = written.open(QIODevice::ReadOnly) && written.readAll() == "after the wait\r";
    std::printf("waiting: SendData on a file held by another process for %.1f s\n", kHoldMs / 1000.0);
    std::printf("  waited %.3f s using %.3f s of processor time (%.2f %% of one processor); record %s\n", seconds,
                processor, 100.0 * processor / seconds, delivered ? "written after the wait" : "MISSING");
    return delivered;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    platform::setMessageHandler([](const QString &, const QString &text) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        std::exit(1);
    });

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 5 && arguments.at(1) == QLatin1String("party"))
        return party(arguments);
    if (arguments.size() == 4 && arguments.at(1) == QLatin1String("hold"))
        return hold(arguments);

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const bool exchanged = measureExchange(dir);
    const bool waited = measureWait(dir);
    return exchanged && waited ? 0 : 1;
}
