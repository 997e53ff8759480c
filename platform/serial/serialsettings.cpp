#include "serialsettings.h"

#include <QStringList>

namespace platform {

namespace {

constexpr int kFieldCount = 4;
constexpr int kFewestDataBits = 4;
constexpr int kMostDataBits = 8;

[[noreturn]] void refuse(const QString &text, const QString &why)
{
    throw RuntimeError(ErrorNumber::InvalidPropertyValue,
                       QStringLiteral("Invalid property value: serial settings \"%1\": %2").arg(text, why));
}

bool isDigits(const QString &field)
{
    if (field.isEmpty())
        return false;
    for (const QChar character : field) {
        if (character < QLatin1Char('0') || character > QLatin1Char('9'))
            return false;
    }
    return true;
}

} // namespace

SerialSettings parseSerialSettings(const QString &text)
{
    QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != kFieldCount)
        refuse(text, QStringLiteral("expected baud rate, parity, data bits and stop bits separated by commas"));
    for (QString &field : fields)
        field = field.trimmed();

    SerialSettings settings;

    bool fits = false;
    settings.baudRate = isDigits(fields[0]) ? fields[0].toInt(&fits) : 0;
    if (!fits || settings.baudRate <= 0)
        refuse(text, QStringLiteral("the baud rate must be a positive whole number"));

    const QString parity = fields[1].toUpper();
    if (parity == QLatin1String("E"))
        settings.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("M"))
        settings.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("N"))
        settings.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("O"))
        settings.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("S"))
        settings.parity = QSerialPort::SpaceParity;
    else
        refuse(text, QStringLiteral("the parity must be one of E, M, N, O, S"));

    settings.dataBits = isDigits(fields[2]) ? fields[2].toInt() : 0;
    if (settings.dataBits < kFewestDataBits || settings.dataBits > kMostDataBits)
        refuse(text, QStringLiteral("the data bits must be 4, 5, 6, 7 or 8"));

    if (fields[3] == QLatin1String("1"))
        settings.stopBits = QSerialPort::OneStop;
    else if (fields[3] == QLatin1String("1.5"))
        settings.stopBits = QSerialPort::OneAndHalfStop;
    else if (fields[3] == QLatin1String("2"))
        settings.stopBits = QSerialPort::TwoStop;
    else
        refuse(text, QStringLiteral("the stop bits must be 1, 1.5 or 2"));

    return settings;
}

RuntimeError settingRefused(const QString &what, const QString &device, const QString &reason)
{
    return RuntimeError(ErrorNumber::InvalidPropertyValue,
                        QStringLiteral("Invalid property value: %1 not supported by the serial driver of %2 (%3)")
                            .arg(what, device, reason));
}

} // namespace platform
