#include "frmMain.h"

#include "platform/terminationsignals.h"
#include "platform/widgets/application.h"

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
