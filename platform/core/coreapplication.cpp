#include "coreapplication.h"

#include "errors.h"

#include <QLoggingCategory>

namespace platform {

namespace {
Q_LOGGING_CATEGORY(lcCoreApplication, "platform.application", QtWarningMsg)
} // namespace

CoreApplication::CoreApplication(int &argc, char **argv)
    : QCoreApplication(argc, argv)
{
}

bool CoreApplication::notify(QObject *receiver, QEvent *event)
{
    Error escaped;
    try {
        return QCoreApplication::notify(receiver, event);
    } catch (const RuntimeError &failure) {
        escaped = failure.error();
    } catch (const std::exception &failure) {
        escaped = Error{0, QString::fromLocal8Bit(failure.what())};
    }
    const QString name = receiver->objectName().isEmpty() ? QString::fromLatin1(receiver->metaObject()->className())
                                                          : receiver->objectName();
    qCCritical(lcCoreApplication).noquote()
        << "unhandled in an event handler:" << escaped.message(QStringLiteral("Error (%1) ").arg(name));
    return false;
}

} // namespace platform
