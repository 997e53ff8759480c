#include "frmFileComm.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brallow"));

    frmFileComm window;
    window.show();
    return QApplication::exec();
}
