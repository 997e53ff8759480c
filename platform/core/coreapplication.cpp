#include "coreapplication.h"

#include <QLoggingCategory>

namespace platform {

namespace {
Q_LOGGING_CATEGORY(lcApplication, "platform.application", QtWarningMsg)
} // namespace

QString logEscapedError(const QObject *receiver, const Error &escaped)
{
    const QString name = receiver->objectName().isEmpty() ? QString::fromLatin1(receiver->metaObject()->className())
                                                          : receiver->objectName();
    const QString message = escaped.message(QStringLiteral("Error (%1) ").arg(name));
    qCCritical(lcApplication).noquote() << "unhandled in an event handler:" << message;
    return message;
}

CoreApplication::CoreApplication(int &argc, char **argv)
    : QCoreApplication(argc, argv)
{
}

bool CoreApplication::notify(QObject *receiver, QEvent *event)
{
    bool delivered = false;
    if (const std::optional<Error> escaped =
            escapedFrom([&] { return QCoreApplication::notify(receiver, event); }, delivered))
        logEscapedError(receiver, *escaped);
    return delivered;
}

} // namespace platform
