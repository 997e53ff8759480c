#include "commandbuffer.h"

#include "platform/errors.h"

QStringList takeCompleteLines(QString &buffer, const QString &terminator)
{
    QStringList lines;
    if (!terminator.isEmpty()) {
        qsizetype start = 0;
        for (qsizetype found = buffer.indexOf(terminator, start); found >= 0;
             found = buffer.indexOf(terminator, start)) {
            // The position of a terminator counts from the front of what is still waiting.
            if (found - start + 1 > kMaximumBufferedCommand)
                throw platform::RuntimeError(platform::ErrorNumber::Overflow);
            lines << buffer.mid(start, found - start);
            start = found + terminator.size();
        }
        buffer.remove(0, start);
    }
    if (buffer.size() > kMaximumBufferedCommand)
        throw platform::RuntimeError(platform::ErrorNumber::Overflow);
    return lines;
}
