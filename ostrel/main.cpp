#include "frmDestination.h"

#include "platform/terminationsignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ostrel"));

    frmDestination window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
