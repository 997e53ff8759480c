#include "frmFileComm.h"

#include "terminationsignals.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brallow"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/brallow.png")));

    frmFileComm window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
