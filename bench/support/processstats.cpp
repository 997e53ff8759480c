#include "processstats.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <algorithm>
#include <cmath>
#include <ctime>

namespace bench {

namespace {

// VmRSS of /proc/<process>/status, where process is a number or "self".
long residentKiBFromStatus(const QString &process)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(process));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    // Files under /proc report no size, so read them whole rather than testing for the end.
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

} // namespace

long residentKiB()
{
    return residentKiBFromStatus(QStringLiteral("self"));
}

long residentKiBOf(qint64 pid)
{
    return residentKiBFromStatus(QString::number(pid));
}

double processorSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double percentile(QList<double> &values, double p)
{
    if (values.isEmpty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = qsizetype(std::ceil(p / 100.0 * double(values.size()))) - 1;
    return values.at(std::clamp<qsizetype>(index, 0, values.size() - 1));
}

quint16 freeServerPort()
{
    constexpr quint32 kLowest = 20000;
    constexpr quint32 kAboveHighest = 32768;
    for (;;) {
        const auto port = quint16(QRandomGenerator::global()->bounded(kLowest, kAboveHighest));
        QTcpServer probe;
        if (probe.listen(QHostAddress::Any, port))
            return port;
    }
}

} // namespace bench
