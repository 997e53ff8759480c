#pragma once

#include "errors.h"

#include <QSerialPort>
#include <QString>
#include <QtGlobal>

namespace platform {

// The line settings of a serial port as one text, "baud,parity,data,stop" ("19200,N,8,1",
// "9600,E,7,1.5"): a baud rate, a parity letter (E even, M mark, N none, O odd, S space),
// 4 to 8 data bits and 1, 1.5 or 2 stop bits.
struct SerialSettings
{
    qint32 baudRate = 19200;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    int dataBits = 8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// Reads a settings text; blanks around each field are allowed and the parity letter may be
// lower case. Throws RuntimeError 380 (invalid property value), naming the faulty field,
// when the text does not have that shape. Whether a port can take the settings is decided
// only when they are applied to it.
SerialSettings parseSerialSettings(const QString &text);

// The failure of a port that cannot take a setting: RuntimeError 380 naming the setting, the
// device and why.
RuntimeError settingRefused(const QString &what, const QString &device, const QString &reason);

} // namespace platform
