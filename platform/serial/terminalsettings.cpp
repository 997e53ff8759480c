#include "terminalsettings.h"

#include "serialsettings.h"

// The kernel's own termios2 carries any baud rate; glibc's termios.h knows only the standard
// codes, and the two cannot be included together.
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace platform {

namespace {

struct StandardRate
{
    qint32 rate;
    tcflag_t code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t rateCode(qint32 rate)
{
    for (const StandardRate &standard : kStandardRates) {
        if (standard.rate == rate)
            return standard.code;
    }
    return BOTHER;
}

QString pseudoTerminalOffers()
{
    return QStringLiteral("a pseudo-terminal carries 8 data bits without parity");
}

} // namespace

void applyTerminalSettings(int terminal, const SerialSettings &settings, const QString &device)
{
    if (settings.dataBits != 8)
        throw settingRefused(QStringLiteral("%1 data bits").arg(settings.dataBits), device, pseudoTerminalOffers());
    if (settings.parity != QSerialPort::NoParity)
        throw settingRefused(QStringLiteral("this parity"), device, pseudoTerminalOffers());
    if (settings.stopBits == QSerialPort::OneAndHalfStop)
        throw settingRefused(QStringLiteral("1.5 stop bits"), device, QStringLiteral("it offers 1 or 2"));

    termios2 line{};
    const auto refused = [&device](const char *step) {
        return settingRefused(QStringLiteral("the line settings"), device,
                              QStringLiteral("%1: %2").arg(QLatin1String(step), qt_error_string(errno)));
    };
    if (::ioctl(terminal, TCGETS2, &line) != 0)
        throw refused("reading them failed");
    line.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    line.c_oflag &= ~tcflag_t(OPOST);
    line.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CBAUD | CIBAUD);
    line.c_cflag |= CS8 | CREAD | CLOCAL | rateCode(settings.baudRate);
    if (settings.stopBits == QSerialPort::TwoStop)
        line.c_cflag |= CSTOPB;
    line.c_ispeed = speed_t(settings.baudRate);
    line.c_ospeed = speed_t(settings.baudRate);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    if (::ioctl(terminal, TCSETS2, &line) != 0)
        throw refused("setting them failed");
}

} // namespace platform
