#include "frmTovrask.h"

#include "platform/terminationsignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tovrask"));

    frmTovrask window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
