#include "frmDestination.h"

#include "application.h"
#include "terminationsignals.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    platform::Application application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ostrel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/ostrel.png")));

    frmDestination window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
