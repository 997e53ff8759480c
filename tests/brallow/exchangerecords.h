#pragma once

#include <QString>
#include <QStringList>

// The records the race tests and their peer process exchange: numbered, of varying length,
// with characters above 127 so that one byte per character is checked too.
inline QString raceRecord(int number)
{
    return QStringLiteral("record %1 ").arg(number, 4, 10, QLatin1Char('0'))
           + QString(number % 97, QChar(0xE0 + number % 32));
}

// Text received as records: each ends with a CR; a last piece without one is torn.
inline QStringList splitRecords(const QString &received, bool *torn)
{
    QStringList records = received.split(QLatin1Char('\r'));
    *torn = !records.constLast().isEmpty();
    records.removeLast();
    return records;
}
