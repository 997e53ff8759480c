#include "frmSource.h"

#include "application.h"
#include "terminationsignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    platform::Application application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ddesource"));

    frmSource window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
