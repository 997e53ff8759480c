#include "commandchannel.h"

#include "commandbuffer.h"

#include "instrument.h"

#include "errors.h"

CommandChannel::CommandChannel(Instrument &instrument, QObject *parent)
    : QObject(parent)
    , m_instrument(instrument)
{
}

QString CommandChannel::TakeReceivedCommand(CommandLineBuffer &buffer, const QString &received,
                                            const QString &errorPrefix)
{
    const CommandLineBuffer::Cut cut = buffer.append(received, m_instrument.LineTerm());
    QString command;
    for (const QString &line : cut.lines) {
        command = line;
        emit lineReceived(command);
    }
    // The peer's over-long line is dropped whole; the report does not hold up the channel.
    if (cut.overflowed) {
        const platform::Error overflow{
            platform::ErrorNumber::Overflow,
            QStringLiteral("Overflow: a line longer than %1 characters was discarded up to its terminator")
                .arg(kMaximumBufferedCommand)};
        reportError(overflow, errorPrefix);
    }
    return command;
}

void CommandChannel::reportError(const platform::Error &error, const QString &errorPrefix)
{
    emit problemReported(error.message(errorPrefix));
}
