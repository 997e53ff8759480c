// The serial line settings text ("19200,N,8,1"), as typed in the settings dialog or kept in the
// settings file: refused with 380, or read into settings that read the same when written back.
#include "fuzzcheck.h"

#include "serialsettings.h"

#include <QByteArray>
#include <QString>

using platform::SerialSettings;

namespace {

QString parityLetter(QSerialPort::Parity parity)
{
    switch (parity) {
    case QSerialPort::EvenParity: return QStringLiteral("E");
    case QSerialPort::MarkParity: return QStringLiteral("M");
    case QSerialPort::NoParity: return QStringLiteral("N");
    case QSerialPort::OddParity: return QStringLiteral("O");
    case QSerialPort::SpaceParity: return QStringLiteral("S");
    }
    fuzzFailure("a parity the settings text cannot name", __FILE__, __LINE__);
}

QString stopBitsText(QSerialPort::StopBits stopBits)
{
    switch (stopBits) {
    case QSerialPort::OneStop: return QStringLiteral("1");
    case QSerialPort::OneAndHalfStop: return QStringLiteral("1.5");
    case QSerialPort::TwoStop: return QStringLiteral("2");
    }
    fuzzFailure("stop bits the settings text cannot name", __FILE__, __LINE__);
}

QString textOf(const SerialSettings &settings)
{
    return QStringLiteral("%1,%2,%3,%4")
        .arg(settings.baudRate)
        .arg(parityLetter(settings.parity))
        .arg(settings.dataBits)
        .arg(stopBitsText(settings.stopBits));
}

bool operator==(const SerialSettings &left, const SerialSettings &right)
{
    return left.baudRate == right.baudRate && left.parity == right.parity && left.dataBits == right.dataBits
           && left.stopBits == right.stopBits;
}

void check(const QString &text)
{
    SerialSettings settings;
    try {
        settings = platform::parseSerialSettings(text);
    } catch (const platform::RuntimeError &refusal) {
        FUZZ_EXPECT(refusal.number() == platform::ErrorNumber::InvalidPropertyValue);
        FUZZ_EXPECT(refusal.description().contains(text));
        return;
    }
    FUZZ_EXPECT(settings.baudRate > 0);
    FUZZ_EXPECT(settings.dataBits >= 4 && settings.dataBits <= 8);
    FUZZ_EXPECT(text.count(QLatin1Char(',')) == 3);
    FUZZ_EXPECT(platform::parseSerialSettings(textOf(settings)) == settings);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    check(QString::fromLatin1(bytes));
    check(QString::fromUtf8(bytes));
    return 0;
}
