#include "core/frmMain.h"

#include "terminationsignals.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrin"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kestrin.png")));

    frmMain window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
