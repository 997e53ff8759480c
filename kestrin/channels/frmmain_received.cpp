// frmMain: received text of the byte-stream channels, cut into command lines.

#include "core/frmMain.h"

#include "channels/commandbuffer.h"

#include "platform/errors.h"
#include "platform/messagebox.h"

#include <QLineEdit>

QString frmMain::TakeReceivedCommand(const QString &errorPrefix, const std::function<QString()> &receive)
{
    QString command;
    try {
        CommandBuffer += receive();
        // Every complete line is shown in turn; only the last one is executed.
        const QStringList lines = takeCompleteLines(CommandBuffer, LineTerm);
        for (const QString &line : lines) {
            command = line;
            txtInput->setText(command);
        }
    } catch (const platform::RuntimeError &failure) {
        // Emptying the buffer keeps the channel serving after an oversized line.
        CommandBuffer.clear();
        platform::showMessage(failure.error().message(errorPrefix));
        return QString();
    }
    return command;
}
