#include "frmTovrask.h"

#include "application.h"
#include "terminationsignals.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    platform::Application application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tovrask"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tovrask.png")));

    frmTovrask window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
