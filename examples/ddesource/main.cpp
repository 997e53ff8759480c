#include "frmSource.h"

#include "terminationsignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ddesource"));

    frmSource window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
