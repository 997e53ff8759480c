// frmMain: received text of the byte-stream channels, cut into command lines.

#include "core/frmMain.h"

#include "errors.h"
#include "messagebox.h"

#include <QLineEdit>

QString frmMain::TakeReceivedCommand(CommandLineBuffer &buffer, const QString &errorPrefix,
                                     const std::function<QString()> &receive)
{
    const CommandLineBuffer::Cut cut = buffer.append(receive(), LineTerm);
    // Every complete line is shown in turn; only the last one is executed.
    QString command;
    for (const QString &line : cut.lines) {
        command = line;
        txtInput->setText(command);
    }
    // The peer's over-long line is dropped whole; the box does not hold up the channel.
    if (cut.overflowed) {
        const platform::Error overflow{platform::ErrorNumber::Overflow,
                                       QStringLiteral("Overflow: a line longer than %1 characters was discarded "
                                                      "up to its terminator")
                                           .arg(kMaximumBufferedCommand)};
        platform::reportMessage(overflow.message(errorPrefix));
    }
    return command;
}
