// The serial port control: its settings text, the device map, opening and the text it carries.

#include "ptypair.h"

#include "platform/serial/devicemap.h"
#include "platform/serial/serialportcontrol.h"
#include "platform/serial/serialsettings.h"
#include "support/errorcapture.h"

#include <QCoreApplication>
#include <QTest>

using platform::SerialPortControl;

namespace {

// Port 1 on a pseudo-terminal pair, at the start-up settings; the test opens it.
struct PortOnPty
{
    PortOnPty()
    {
        qputenv("KESTRIN_COM1", line.deviceName().toLocal8Bit());
        port.setSettings(QStringLiteral("19200,N,8,1"));
    }

    PtyPair line;
    SerialPortControl port;
};

} // namespace

class tst_Rs232Port : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void settingsText_data();
    void settingsText();
    void refusedSettingsText_data();
    void refusedSettingsText();

    void deviceMap_data();
    void deviceMap();

    void openingAppliesSettings_data();
    void openingAppliesSettings();
    void failedOpening_data();
    void failedOpening();
    void settingsChangeOnOpenPort();

    void textIsOneBytePerCharacter();
    void receivedCharactersNotify();
    void vanishedDeviceIsClosed();
    void outputToSilentLineIsBounded();
};

void tst_Rs232Port::init()
{
    // No suite may reach a real serial port.
    qputenv("KESTRIN_COM1", "/nonexistent/kestrin-com1");
    qputenv("KESTRIN_COM2", "/nonexistent/kestrin-com2");
}

void tst_Rs232Port::settingsText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("baudRate");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("stopBits");

    QTest::newRow("start-up") << "19200,N,8,1" << 19200 << int(QSerialPort::NoParity) << 8 << int(QSerialPort::OneStop);
    QTest::newRow("even, one and a half")
        << "9600,E,7,1.5" << 9600 << int(QSerialPort::EvenParity) << 7 << int(QSerialPort::OneAndHalfStop);
    QTest::newRow("mark, lower case, blanks")
        << " 1200 , m , 5 , 2 " << 1200 << int(QSerialPort::MarkParity) << 5 << int(QSerialPort::TwoStop);
    QTest::newRow("odd") << "2400,O,6,1" << 2400 << int(QSerialPort::OddParity) << 6 << int(QSerialPort::OneStop);
    QTest::newRow("space, four data bits")
        << "14400,S,4,2" << 14400 << int(QSerialPort::SpaceParity) << 4 << int(QSerialPort::TwoStop);
}

void tst_Rs232Port::settingsText()
{
    QFETCH(QString, text);
    const platform::SerialSettings settings = platform::parseSerialSettings(text);
    QTEST(settings.baudRate, "baudRate");
    QTEST(int(settings.parity), "parity");
    QTEST(settings.dataBits, "dataBits");
    QTEST(int(settings.stopBits), "stopBits");
}

void tst_Rs232Port::refusedSettingsText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("named");

    QTest::newRow("empty") << "" << "separated by commas";
    QTest::newRow("three fields") << "19200,N,8" << "separated by commas";
    QTest::newRow("five fields") << "19200,N,8,1,1" << "separated by commas";
    QTest::newRow("baud not a number") << "fast,N,8,1" << "baud rate";
    QTest::newRow("baud zero") << "0,N,8,1" << "baud rate";
    QTest::newRow("baud negative") << "-9600,N,8,1" << "baud rate";
    QTest::newRow("baud beyond 32 bits") << "99999999999,N,8,1" << "baud rate";
    QTest::newRow("unknown parity") << "19200,X,8,1" << "parity";
    QTest::newRow("parity word") << "19200,None,8,1" << "parity";
    QTest::newRow("three data bits") << "19200,N,3,1" << "data bits";
    QTest::newRow("nine data bits") << "19200,N,9,1" << "data bits";
    QTest::newRow("three stop bits") << "19200,N,8,3" << "stop bits";
    QTest::newRow("stop bits with zero decimals") << "19200,N,8,1.0" << "stop bits";
}

void tst_Rs232Port::refusedSettingsText()
{
    QFETCH(QString, text);
    QFETCH(QString, named);
    QString description;
    QCOMPARE(errorNumberOf([&] { platform::parseSerialSettings(text); }, &description),
             platform::ErrorNumber::InvalidPropertyValue);
    QVERIFY2(description.contains(named), qPrintable(description));
    QVERIFY2(description.contains(QLatin1Char('"') + text + QLatin1Char('"')), qPrintable(description));
}

void tst_Rs232Port::deviceMap_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("mapped");
    QTest::addColumn<QString>("device");

    QTest::newRow("port 1 unmapped") << 1 << QByteArray() << "/dev/ttyS0";
    QTest::newRow("port 2 unmapped") << 2 << QByteArray() << "/dev/ttyS1";
    QTest::newRow("port 1 on an adapter") << 1 << QByteArray("/dev/ttyUSB0") << "/dev/ttyUSB0";
    QTest::newRow("port 2 on a pty, blanks") << 2 << QByteArray(" /dev/pts/7 ") << "/dev/pts/7";
    QTest::newRow("empty variable") << 1 << QByteArray("") << "/dev/ttyS0";
    QTest::newRow("no port 0") << 0 << QByteArray("/dev/ttyUSB0") << "";
}

void tst_Rs232Port::deviceMap()
{
    QFETCH(int, port);
    QFETCH(QByteArray, mapped);
    const QByteArray variable = "KESTRIN_COM" + QByteArray::number(port);
    if (mapped.isNull())
        qunsetenv(variable.constData());
    else
        qputenv(variable.constData(), mapped);
    QTEST(platform::serialDeviceForPort(port), "device");
}

void tst_Rs232Port::openingAppliesSettings_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<speed_t>("speed");
    QTest::addColumn<tcflag_t>("flags");

    // A pseudo-terminal keeps 8 data bits without parity whatever it is told, so only the
    // baud rate and the stop bits can be checked on it.
    QTest::newRow("start-up") << "19200,N,8,1" << speed_t(B19200) << tcflag_t(CS8);
    QTest::newRow("two stop bits") << "9600,N,8,2" << speed_t(B9600) << tcflag_t(CS8 | CSTOPB);
    QTest::newRow("slowest") << "1200,N,8,1" << speed_t(B1200) << tcflag_t(CS8);
    // B0: a rate without a standard code, set through the driver's custom divisor.
    QTest::newRow("rate without a standard code") << "14400,N,8,1" << speed_t(B0) << tcflag_t(CS8);
}

void tst_Rs232Port::openingAppliesSettings()
{
    QFETCH(QString, settings);
    QFETCH(speed_t, speed);
    QFETCH(tcflag_t, flags);
    PtyPair line;
    QVERIFY(line.isValid());
    qputenv("KESTRIN_COM2", line.deviceName().toLocal8Bit());

    SerialPortControl port;
    port.setCommPort(2);
    port.setSettings(settings);
    port.setPortOpen(true);
    QVERIFY(port.PortOpen());
    QCOMPARE(port.deviceName(), line.deviceName());

    const termios applied = line.deviceSettings();
    const tcflag_t checked = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    QCOMPARE(applied.c_cflag & checked, flags);
    if (speed != B0)
        QCOMPARE(::cfgetospeed(&applied), speed);
    // Raw line: no echo, no translation of carriage returns.
    QCOMPARE(applied.c_lflag & (ECHO | ICANON), tcflag_t(0));
    QCOMPARE(applied.c_iflag & ICRNL, tcflag_t(0));

    port.setPortOpen(false);
    QVERIFY(!port.PortOpen());
}

void tst_Rs232Port::failedOpening_data()
{
    QTest::addColumn<bool>("onPty");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("named");

    QTest::newRow("missing device") << false << "19200,N,8,1" << int(SerialPortControl::kDeviceUnavailable)
                                    << "KESTRIN_COM1";
    QTest::newRow("bad settings text") << true << "19200,N,8" << int(platform::ErrorNumber::InvalidPropertyValue)
                                       << "separated by commas";
    QTest::newRow("four data bits") << true << "19200,N,4,1" << int(platform::ErrorNumber::InvalidPropertyValue)
                                    << "4 data bits";
    QTest::newRow("one and a half stop bits")
        << true << "9600,N,8,1.5" << int(platform::ErrorNumber::InvalidPropertyValue) << "1.5 stop bits";
    QTest::newRow("data bits the driver refuses")
        << true << "9600,E,7,1" << int(platform::ErrorNumber::InvalidPropertyValue) << "7 data bits";
}

void tst_Rs232Port::failedOpening()
{
    QFETCH(bool, onPty);
    QFETCH(QString, settings);
    QFETCH(QString, named);
    PtyPair line;
    if (onPty)
        qputenv("KESTRIN_COM1", line.deviceName().toLocal8Bit());

    SerialPortControl port;
    port.setSettings(settings);
    QString description;
    QTEST(errorNumberOf([&] { port.setPortOpen(true); }, &description), "number");
    QVERIFY2(description.contains(named), qPrintable(description));
    QVERIFY(!port.PortOpen());
}

void tst_Rs232Port::settingsChangeOnOpenPort()
{
    PortOnPty f;
    f.port.setPortOpen(true);

    f.port.setSettings(QStringLiteral("2400,N,8,2"));
    const termios applied = f.line.deviceSettings();
    QCOMPARE(::cfgetospeed(&applied), speed_t(B2400));
    QCOMPARE(applied.c_cflag & CSTOPB, tcflag_t(CSTOPB));

    QCOMPARE(errorNumberOf([&] { f.port.setSettings(QStringLiteral("2400,N,8")); }),
             platform::ErrorNumber::InvalidPropertyValue);
    QCOMPARE(f.port.Settings(), QStringLiteral("2400,N,8,2"));
    QVERIFY(f.port.PortOpen());
}

void tst_Rs232Port::textIsOneBytePerCharacter()
{
    PortOnPty f;
    f.port.setPortOpen(true);

    QByteArray everyByte;
    for (int value = 1; value < 256; ++value)
        everyByte.append(char(value));
    everyByte.append('\0');

    QVERIFY(f.line.send(everyByte));
    QString received;
    QVERIFY(QTest::qWaitFor([&] {
        received += f.port.Input();
        return received.size() >= everyByte.size();
    }));
    QCOMPARE(received, QString::fromLatin1(everyByte));

    f.port.setOutput(received);
    QCOMPARE(f.line.receiveUntil(QByteArray(1, '\0')), everyByte);
}

void tst_Rs232Port::receivedCharactersNotify()
{
    PortOnPty f;
    QList<qint16> reasons;
    QString received;
    connect(&f.port, &SerialPortControl::OnComm, this, [&] {
        reasons << f.port.CommEvent();
        received += f.port.Input();
    });
    f.port.setPortOpen(true);

    QVERIFY(f.line.send("A"));
    QTRY_COMPARE(received, QStringLiteral("A"));
    QVERIFY(f.line.send("B"));
    QTRY_COMPARE(received, QStringLiteral("AB"));
    QCOMPARE(reasons, (QList<qint16>{SerialPortControl::Receive, SerialPortControl::Receive}));
    QCOMPARE(f.port.CommEvent(), qint16(SerialPortControl::NoEvent));
}

void tst_Rs232Port::vanishedDeviceIsClosed()
{
    PortOnPty f;
    QList<qint16> reasons;
    connect(&f.port, &SerialPortControl::OnComm, this, [&] { reasons << f.port.CommEvent(); });
    f.port.setPortOpen(true);

    f.line.closeFarEnd();
    QTRY_VERIFY(!f.port.PortOpen());
    QVERIFY(reasons.contains(SerialPortControl::DeviceError));
    QVERIFY(!reasons.contains(SerialPortControl::Receive));
    QCOMPARE(errorNumberOf([&] { f.port.setOutput(QStringLiteral("OK\r")); }),
             int(SerialPortControl::kDeviceUnavailable));
}

void tst_Rs232Port::outputToSilentLineIsBounded()
{
    PortOnPty f; // the far end never reads
    f.port.setPortOpen(true);

    const QString chunk(4096, QLatin1Char('x'));
    const qint64 chunksBeyondBound = 2 * SerialPortControl::kMaximumQueuedOutput / chunk.size();
    QString description;
    int number = 0;
    for (qint64 i = 0; i < chunksBeyondBound && number == 0; ++i) {
        number = errorNumberOf([&] { f.port.setOutput(chunk); }, &description);
        QCoreApplication::processEvents();
    }
    QCOMPARE(number, int(SerialPortControl::kDeviceIoError));
    QVERIFY2(description.contains(QLatin1String("not reading")), qPrintable(description));
    QVERIFY(f.port.PortOpen());
}

QTEST_GUILESS_MAIN(tst_Rs232Port)
#include "tst_rs232port.moc"
