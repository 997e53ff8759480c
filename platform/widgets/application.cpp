#include "application.h"

#include "coreapplication.h"
#include "messagebox.h"

#include <QByteArray>
#include <QFileInfo>
#include <QMutex>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace platform {

namespace {

struct HeldMessage
{
    QtMsgType type;
    QByteArray category;
    QByteArray file;
    QByteArray function;
    int line;
    QString text;
};

// The toolkit starts on the main thread, but may log from threads of its own meanwhile.
QBasicMutex startUpMutex;
QString startingProgram;
QtMessageHandler handlerAfterStartUp = nullptr;
std::vector<HeldMessage> heldMessages;

QString displayTried()
{
    const QByteArray x11 = qgetenv("DISPLAY");
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    if (x11.isEmpty() && wayland.isEmpty())
        return QStringLiteral("(DISPLAY and WAYLAND_DISPLAY are not set)");
    QStringList tried;
    if (!x11.isEmpty())
        tried << QStringLiteral("\"%1\"").arg(QString::fromLocal8Bit(x11));
    if (!wayland.isEmpty())
        tried << QStringLiteral("Wayland \"%1\"").arg(QString::fromLocal8Bit(wayland));
    return tried.join(QStringLiteral(" or "));
}

// The only fatal message while the toolkit starts is that no platform could be opened; the
// platform plugins have logged why.
[[noreturn]] void reportNoDisplay(const QString &fatalText)
{
    QStringList why;
    for (const HeldMessage &message : heldMessages) {
        if (message.category.startsWith("qt.qpa"))
            why << message.text.simplified();
    }
    if (why.isEmpty())
        why << fatalText.section(QLatin1Char('\n'), 0, 0).simplified();
    const QString line = QStringLiteral("%1: cannot open the display %2: %3")
                             .arg(startingProgram, displayTried(), why.join(QStringLiteral("; ")));
    std::fprintf(stderr, "%s\n", qPrintable(line));
    std::fflush(stderr);
    // Nothing of the half-made application object may run on the way out.
    std::_Exit(Application::kNoDisplayExitCode);
}

void holdStartUpMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const QMutexLocker lock(&startUpMutex);
    if (type == QtFatalMsg)
        reportNoDisplay(text);
    heldMessages.push_back({type, context.category, context.file, context.function, context.line, text});
}

} // namespace

Application::Application(int &argc, char **argv)
    : QApplication(holdStartUpMessages(argc, argv), argv)
{
    releaseStartUpMessages();
}

int &Application::holdStartUpMessages(int &argc, char **argv)
{
    const QMutexLocker lock(&startUpMutex);
    startingProgram = argc > 0 ? QFileInfo(QString::fromLocal8Bit(argv[0])).fileName() : QString();
    handlerAfterStartUp = qInstallMessageHandler(holdStartUpMessage);
    return argc;
}

void Application::releaseStartUpMessages()
{
    std::vector<HeldMessage> held;
    {
        const QMutexLocker lock(&startUpMutex);
        qInstallMessageHandler(handlerAfterStartUp);
        held.swap(heldMessages);
    }
    for (const HeldMessage &message : held) {
        const QMessageLogContext context(message.file.isNull() ? nullptr : message.file.constData(), message.line,
                                         message.function.isNull() ? nullptr : message.function.constData(),
                                         message.category.isNull() ? nullptr : message.category.constData());
        handlerAfterStartUp(message.type, context, message.text);
    }
}

bool Application::notify(QObject *receiver, QEvent *event)
{
    bool delivered = false;
    if (const std::optional<Error> escaped =
            escapedFrom([&] { return QApplication::notify(receiver, event); }, delivered))
        reportMessage(logEscapedError(receiver, *escaped));
    return delivered;
}

} // namespace platform
