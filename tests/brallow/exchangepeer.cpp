// The other program of the exchange tests, run as a separate process:
//   exchangepeer hold ofd|posix <path>   lock the file as another program would, print "held",
//                                        keep it until a line or the end of the input arrives
//   exchangepeer send <path> <count>     send <count> race records through clsFileComm
//   exchangepeer receive <path> <count>  receive until <count> race records came, print them
#include "clsFileComm.h"
#include "exchangerecords.h"

#include "messagebox.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

constexpr int kUsageError = 64;
constexpr int kFailure = 1;

int hold(const QString &lockKind, const QString &path)
{
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (descriptor < 0) {
        std::perror("open");
        return kFailure;
    }
    int locked = -1;
    if (lockKind == QLatin1String("ofd")) {
        struct flock region
        {
        };
        region.l_type = F_WRLCK;
        region.l_whence = SEEK_SET;
        locked = ::fcntl(descriptor, F_OFD_SETLK, &region);
    } else {
        locked = ::lockf(descriptor, F_TLOCK, 0);
    }
    if (locked != 0) {
        std::perror("lock");
        return kFailure;
    }
    std::cout << "held" << std::endl;
    std::string line;
    std::getline(std::cin, line);
    ::close(descriptor);
    return 0;
}

int send(const QString &path, int count)
{
    clsFileComm comm;
    comm.setOutFile(path);
    for (int number = 0; number < count; ++number)
        comm.SendData(raceRecord(number));
    return 0;
}

int receive(const QString &path, int count)
{
    clsFileComm comm;
    comm.setInFile(path);
    QString received;
    while (received.count(QLatin1Char('\r')) < count)
        received += comm.GetData();
    std::cout << received.toLatin1().constData() << std::flush;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    platform::setMessageHandler([](const QString &, const QString &text) {
        std::cerr << text.toLocal8Bit().constData() << std::endl;
        std::exit(kFailure);
    });

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 4 && arguments.at(1) == QLatin1String("hold"))
        return hold(arguments.at(2), arguments.at(3));
    if (arguments.size() == 4 && arguments.at(1) == QLatin1String("send"))
        return send(arguments.at(2), arguments.at(3).toInt());
    if (arguments.size() == 4 && arguments.at(1) == QLatin1String("receive"))
        return receive(arguments.at(2), arguments.at(3).toInt());
    std::cerr << "usage: exchangepeer hold ofd|posix <path> | send <path> <count> | receive <path> <count>"
              << std::endl;
    return kUsageError;
}
