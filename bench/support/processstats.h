#pragma once

#include <QList>
#include <QString>

// Figures the benchmarks print: resident memory, processor time and percentiles.
namespace bench {

// Resident set size of this process, or of another one, in KiB; -1 when it cannot be read.
long residentKiB();
long residentKiBOf(qint64 pid);
// Processor time (user and system) this process has used, in seconds.
double processorSeconds();
// The p-th percentile (0..100) of the values; the list is sorted in place.
double percentile(QList<double> &values, double p);
// A free TCP port that the instrument's 16-bit server port can hold.
quint16 freeServerPort();

} // namespace bench
