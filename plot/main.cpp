#include "plotwindow.h"

#include "application.h"
#include "terminationsignals.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    platform::Application application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrin-plot"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kestrin-plot.png")));

    PlotWindow window;
    window.show();
    platform::closeOnTerminationSignals(&window);
    return QApplication::exec();
}
