#include "serialline.h"

#include <QByteArray>
#include <QtGlobal>
#include <cstdio>
#include <pty.h>
#include <termios.h>

namespace bench {

int mapSerialPortOneToPty()
{
    termios raw{};
    ::cfmakeraw(&raw);
    int farEnd = -1;
    int deviceEnd = -1;
    char deviceName[128] = {};
    if (::openpty(&farEnd, &deviceEnd, deviceName, &raw, nullptr) != 0) {
        std::perror("openpty");
        return -1;
    }
    qputenv("KESTRIN_COM1", QByteArray(deviceName));
    return farEnd;
}

} // namespace bench
