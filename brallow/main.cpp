#include "frmFileComm.h"

#include "application.h"
#include "terminationsignals.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    platform::Application application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brallow"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/brallow.png")));

    frmFileComm window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
