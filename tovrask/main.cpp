#include "frmTovrask.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tovrask"));

    frmTovrask window;
    window.show();
    return QApplication::exec();
}
