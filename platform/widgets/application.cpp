#include "application.h"

#include "errors.h"
#include "messagebox.h"

#include <QLoggingCategory>

namespace platform {

namespace {

Q_LOGGING_CATEGORY(lcApplication, "platform.application", QtWarningMsg)

QString receiverName(const QObject *receiver)
{
    const QString name = receiver->objectName();
    return name.isEmpty() ? QString::fromLatin1(receiver->metaObject()->className()) : name;
}

} // namespace

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{
}

bool Application::notify(QObject *receiver, QEvent *event)
{
    Error escaped;
    try {
        return QApplication::notify(receiver, event);
    } catch (const RuntimeError &failure) {
        escaped = failure.error();
    } catch (const std::exception &failure) {
        escaped = Error{0, QString::fromLocal8Bit(failure.what())};
    }
    const QString message = escaped.message(QStringLiteral("Error (%1) ").arg(receiverName(receiver)));
    qCCritical(lcApplication).noquote() << "unhandled in an event handler:" << message;
    reportMessage(message);
    return false;
}

} // namespace platform
