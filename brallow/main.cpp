#include "frmFileComm.h"

#include "platform/terminationsignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brallow"));

    frmFileComm window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
