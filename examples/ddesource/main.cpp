#include "frmSource.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ddesource"));

    frmSource window;
    window.show();
    return QApplication::exec();
}
