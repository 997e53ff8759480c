#include "frmDestination.h"

#include "terminationsignals.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ostrel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/ostrel.png")));

    frmDestination window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
