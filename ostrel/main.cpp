#include "frmDestination.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ostrel"));

    frmDestination window;
    window.show();
    return QApplication::exec();
}
