#include "headlessinstrument.h"

#include "coreapplication.h"
#include "terminationsignals.h"

int main(int argc, char *argv[])
{
    platform::CoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrin-headless"));

    HeadlessInstrument instrument;
    platform::onTerminationSignals(&instrument, [] { QCoreApplication::quit(); });
    return QCoreApplication::exec();
}
