#pragma once

#include "errors.h"

#include <QObject>
#include <QString>

class CommandLineBuffer;
class Instrument;

// What the instrument's command channels share: they turn what their peers send into command
// lines for the instrument, deliver its replies (and, where they stream, its data lines), and
// tell the window what to show. Each event a channel handles is one error boundary: a failure
// that escapes the handler's own handling is reported as a message, once, and the channel
// goes on.
class CommandChannel : public QObject
{
    Q_OBJECT

public:
    explicit CommandChannel(Instrument &instrument, QObject *parent = nullptr);

signals:
    // Each complete command line, as it arrives and before it is executed (the Input box).
    void lineReceived(const QString &line);
    void statusMessage(const QString &text);
    // A message for the user: what failed, its number and why, in one line.
    void problemReported(const QString &message);

protected:
    // Appends received text to `buffer` and returns the last complete line in it (every
    // complete line is shown in turn, only the last one is executed), or an empty text.
    QString TakeReceivedCommand(CommandLineBuffer &buffer, const QString &received, const QString &errorPrefix);
    // Reports "<errorPrefix><number>: <description>".
    void reportError(const platform::Error &error, const QString &errorPrefix);
    // Runs one event's handling inside the channel's error boundary.
    template<typename Handler>
    void guarded(const QString &errorPrefix, Handler &&handler);

    Instrument &m_instrument;
};

template<typename Handler>
void CommandChannel::guarded(const QString &errorPrefix, Handler &&handler)
{
    try {
        handler();
    } catch (const platform::RuntimeError &failure) {
        reportError(failure.error(), errorPrefix);
    }
}
