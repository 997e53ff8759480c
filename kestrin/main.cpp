#include "frmMain.h"

#include "application.h"
#include "terminationsignals.h"

#include <QIcon>

int main(int argc, char *argv[])
{
    platform::Application application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrin"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kestrin.png")));

    frmMain window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
