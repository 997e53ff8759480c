// The serial port control: its settings text, the device map, opening and the text it carries,
// on a mapped device and on a virtual port of its own.

#include "support/ptypair.h"

#include "devicemap.h"
#include "linepace.h"
#include "serialportcontrol.h"
#include "serialsettings.h"
#include "support/errorcapture.h"
#include "support/logcapture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QScopeGuard>
#include <QTest>
#include <memory>
#include <sys/stat.h>

using platform::SerialPortControl;

namespace {

// The names the instrument gives its ports, as the suites' environment maps them.
const platform::DeviceMap kDevices(QStringLiteral("KESTRIN_COM"), QStringLiteral("kestrin"));

// Port 1 on a pseudo-terminal pair, at the start-up settings; the test opens it.
struct PortOnPty
{
    PortOnPty()
    {
        qputenv("KESTRIN_COM1", line.deviceName().toLocal8Bit());
        port.setSettings(QStringLiteral("19200,N,8,1"));
    }

    PtyPair line;
    SerialPortControl port{kDevices};
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
    void virtualPortInUseOrStale();
    void virtualPortClientsComeAndGo();
    void virtualPortQuickWriter_data();
    void virtualPortQuickWriter();
    void virtualPortTakesInputAtLineSpeed_data();
    void virtualPortTakesInputAtLineSpeed();

    void textIsOneBytePerCharacter();
    void receivedCharactersNotify();
    void vanishedDeviceIsClosed();
    void outputToSilentLineIsBounded_data();
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

    QTest::newRow("empty") << ""
                           << "separated by commas";
    QTest::newRow("three fields") << "19200,N,8"
                                  << "separated by commas";
    QTest::newRow("five fields") << "19200,N,8,1,1"
                                 << "separated by commas";
    QTest::newRow("baud not a number") << "fast,N,8,1"
                                       << "baud rate";
    QTest::newRow("baud zero") << "0,N,8,1"
                               << "baud rate";
    QTest::newRow("baud negative") << "-9600,N,8,1"
                                   << "baud rate";
    QTest::newRow("baud beyond 32 bits") << "99999999999,N,8,1"
                                         << "baud rate";
    QTest::newRow("unknown parity") << "19200,X,8,1"
                                    << "parity";
    QTest::newRow("parity word") << "19200,None,8,1"
                                 << "parity";
    QTest::newRow("three data bits") << "19200,N,3,1"
                                     << "data bits";
    QTest::newRow("nine data bits") << "19200,N,9,1"
                                    << "data bits";
    QTest::newRow("three stop bits") << "19200,N,8,3"
                                     << "stop bits";
    QTest::newRow("stop bits with zero decimals") << "19200,N,8,1.0"
                                                  << "stop bits";
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
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("mapped");
    QTest::addColumn<QString>("device");

    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString prefix = QStringLiteral("KESTRIN_COM");
    const QString folder = QStringLiteral("kestrin");
    QTest::newRow("port 1 virtual") << prefix << folder << 1 << QByteArray() << runtime + "/kestrin/COM1";
    QTest::newRow("port 2 virtual") << prefix << folder << 2 << QByteArray() << runtime + "/kestrin/COM2";
    QTest::newRow("port 1 on an adapter") << prefix << folder << 1 << QByteArray("/dev/ttyUSB0") << "/dev/ttyUSB0";
    QTest::newRow("port 2 on a pty, blanks") << prefix << folder << 2 << QByteArray(" /dev/pts/7 ") << "/dev/pts/7";
    QTest::newRow("empty variable") << prefix << folder << 1 << QByteArray("") << runtime + "/kestrin/COM1";
    QTest::newRow("no port 0") << prefix << folder << 0 << QByteArray("/dev/ttyUSB0") << "";
    // Another program's names: its own variables and its own folder, none of the instrument's.
    QTest::newRow("other program, virtual") << "OTHER_PORT"
                                            << "other" << 1 << QByteArray() << runtime + "/other/COM1";
    QTest::newRow("other program, mapped") << "OTHER_PORT"
                                           << "other" << 2 << QByteArray("/dev/ttyS1") << "/dev/ttyS1";
}

void tst_Rs232Port::deviceMap()
{
    QFETCH(QString, prefix);
    QFETCH(QString, folder);
    QFETCH(int, port);
    QFETCH(QByteArray, mapped);
    const QByteArray variable = prefix.toLatin1() + QByteArray::number(port);
    if (mapped.isNull())
        qunsetenv(variable.constData());
    else
        qputenv(variable.constData(), mapped);
    // init() maps the instrument's ports: another program's map must not read its variables.
    QTEST(platform::DeviceMap(prefix, folder).deviceForPort(port), "device");
}

void tst_Rs232Port::openingAppliesSettings_data()
{
    QTest::addColumn<bool>("virtualPort");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<speed_t>("speed");
    QTest::addColumn<tcflag_t>("flags");

    // A pseudo-terminal keeps 8 data bits without parity whatever it is told, so only the
    // baud rate and the stop bits can be checked on it.
    for (const bool virtualPort : {false, true}) {
        const char *kind = virtualPort ? "virtual" : "pty pair";
        QTest::addRow("%s, start-up", kind) << virtualPort << "19200,N,8,1" << speed_t(B19200) << tcflag_t(CS8);
        QTest::addRow("%s, two stop bits", kind)
            << virtualPort << "9600,N,8,2" << speed_t(B9600) << tcflag_t(CS8 | CSTOPB);
        QTest::addRow("%s, slowest", kind) << virtualPort << "1200,N,8,1" << speed_t(B1200) << tcflag_t(CS8);
        // B0: a rate without a standard code, set through the driver's custom divisor.
        QTest::addRow("%s, rate without a standard code", kind)
            << virtualPort << "14400,N,8,1" << speed_t(B0) << tcflag_t(CS8);
    }
}

void tst_Rs232Port::openingAppliesSettings()
{
    QFETCH(bool, virtualPort);
    QFETCH(QString, settings);
    QFETCH(speed_t, speed);
    QFETCH(tcflag_t, flags);
    PtyPair line;
    QVERIFY(line.isValid());
    if (virtualPort)
        qunsetenv("KESTRIN_COM2");
    else
        qputenv("KESTRIN_COM2", line.deviceName().toLocal8Bit());

    SerialPortControl port(kDevices);
    port.setCommPort(2);
    port.setSettings(settings);
    port.setPortOpen(true);
    QVERIFY(port.PortOpen());
    const QString device = virtualPort ? kDevices.virtualPortPath(2) : line.deviceName();
    QCOMPARE(port.deviceName(), device);

    std::unique_ptr<PortClient> client;
    if (virtualPort) {
        // Published as a link to the terminal of this opening, in a private folder.
        QVERIFY(QFileInfo(device).isSymLink());
        QVERIFY2(QFileInfo(device).symLinkTarget().startsWith(QLatin1String("/dev/pts/")), qPrintable(device));
        struct stat folder
        {
        };
        QCOMPARE(::lstat(QFile::encodeName(QFileInfo(device).path()).constData(), &folder), 0);
        QCOMPARE(folder.st_mode & 0777, mode_t(0700));
        client = std::make_unique<PortClient>(device);
        QVERIFY(client->isOpen());
    }
    const termios applied = virtualPort ? client->settings() : line.deviceSettings();
    const tcflag_t checked = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    QCOMPARE(applied.c_cflag & checked, flags);
    if (speed != B0)
        QCOMPARE(::cfgetospeed(&applied), speed);
    // Raw line: no echo, no translation of carriage returns.
    QCOMPARE(applied.c_lflag & (ECHO | ICANON), tcflag_t(0));
    QCOMPARE(applied.c_iflag & ICRNL, tcflag_t(0));

    port.setPortOpen(false);
    QVERIFY(!port.PortOpen());
    // Closing takes the link away, once no reset has opened the port again.
    QTRY_VERIFY(!QFileInfo(device).isSymLink());
}

void tst_Rs232Port::failedOpening_data()
{
    QTest::addColumn<QString>("device");    // "missing", "pty" (pair) or "virtual"
    QTest::addColumn<mode_t>("folderMode"); // of the virtual ports' runtime folder
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("named");

    const int refused = platform::ErrorNumber::InvalidPropertyValue;
    QTest::newRow("missing device") << "missing" << mode_t(0700) << "19200,N,8,1"
                                    << int(SerialPortControl::kDeviceUnavailable) << "KESTRIN_COM1";
    QTest::newRow("bad settings text") << "pty" << mode_t(0700) << "19200,N,8" << refused << "separated by commas";
    QTest::newRow("four data bits") << "pty" << mode_t(0700) << "19200,N,4,1" << refused << "4 data bits";
    QTest::newRow("one and a half stop bits") << "pty" << mode_t(0700) << "9600,N,8,1.5" << refused << "1.5 stop bits";
    QTest::newRow("data bits the driver refuses") << "pty" << mode_t(0700) << "9600,E,7,1" << refused << "7 data bits";
    QTest::newRow("virtual, parity") << "virtual" << mode_t(0700) << "9600,E,8,1" << refused
                                     << "carries 8 data bits without parity";
    QTest::newRow("virtual, one and a half stop bits")
        << "virtual" << mode_t(0700) << "9600,N,8,1.5" << refused << "1.5 stop bits";
    QTest::newRow("virtual, folder open to others")
        << "virtual" << mode_t(0755) << "19200,N,8,1" << int(platform::ErrorNumber::PermissionDenied)
        << "is open to group or others (mode 0755)";
}

void tst_Rs232Port::failedOpening()
{
    QFETCH(QString, device);
    QFETCH(mode_t, folderMode);
    QFETCH(QString, settings);
    QFETCH(QString, named);
    PtyPair line;
    if (device == QLatin1String("pty"))
        qputenv("KESTRIN_COM1", line.deviceName().toLocal8Bit());
    if (device == QLatin1String("virtual"))
        qunsetenv("KESTRIN_COM1");
    const QByteArray folder = QFile::encodeName(QFileInfo(kDevices.virtualPortPath(1)).path());
    ::mkdir(folder.constData(), 0700);
    QCOMPARE(::chmod(folder.constData(), folderMode), 0);
    const auto restoreFolder = qScopeGuard([&folder] { ::chmod(folder.constData(), 0700); });

    SerialPortControl port(kDevices);
    port.setSettings(settings);
    QString description;
    QTEST(errorNumberOf([&] { port.setPortOpen(true); }, &description), "number");
    QVERIFY2(description.contains(named), qPrintable(description));
    QVERIFY(!port.PortOpen());
    QVERIFY(!QFileInfo(kDevices.virtualPortPath(1)).isSymLink());
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

void tst_Rs232Port::virtualPortInUseOrStale()
{
    qunsetenv("KESTRIN_COM1");
    SerialPortControl live(kDevices);
    live.setPortOpen(true);
    const QString path = live.deviceName();
    const QString terminal = QFileInfo(path).symLinkTarget();

    // A second instrument finds the port of a live one in use, as a locked device.
    SerialPortControl second(kDevices);
    QString description;
    QCOMPARE(errorNumberOf([&] { second.setPortOpen(true); }, &description),
             int(platform::ErrorNumber::PermissionDenied));
    QVERIFY2(description.contains(path + QLatin1String(" is in use")), qPrintable(description));
    QCOMPARE(QFileInfo(path).symLinkTarget(), terminal);

    // A killed instrument leaves its link but no lock: the next one replaces the link.
    live.setPortOpen(false);
    QTRY_VERIFY(!QFileInfo(path).isSymLink());
    QVERIFY(QFile::link(QStringLiteral("/dev/pts/left-by-a-killed-instrument"), path));
    second.setPortOpen(true);
    QVERIFY(QFileInfo(path).symLinkTarget().startsWith(QLatin1String("/dev/pts/")));
    QVERIFY(QFileInfo::exists(path));
}

void tst_Rs232Port::virtualPortClientsComeAndGo()
{
    qunsetenv("KESTRIN_COM1");
    SerialPortControl port(kDevices);
    QList<qint16> reasons;
    QString received;
    connect(&port, &SerialPortControl::OnComm, this, [&] {
        reasons << port.CommEvent();
        received += port.Input();
    });
    LogCapture log("platform.serial");
    port.setPortOpen(true);
    port.setOutput(QStringLiteral("before any client\r"));

    const auto attach = [&port] {
        auto client = std::make_unique<PortClient>(port.deviceName());
        return client->isOpen() && QTest::qWaitFor([&port] { return port.clientAttached(); }) ? std::move(client)
                                                                                              : nullptr;
    };
    std::unique_ptr<PortClient> first = attach();
    QVERIFY(first);
    QVERIFY(first->send("ON\r"));
    QTRY_COMPARE(received, QStringLiteral("ON\r"));
    port.setOutput(QStringLiteral("OK\r"));
    QCOMPARE(first->receiveUntil("\r"), QByteArray("OK\r"));

    // Left unread by the first client, and sent while nobody listens: neither reaches the next.
    port.setOutput(QStringLiteral("unread\r"));
    first->closeFarEnd();
    QTRY_VERIFY(!port.clientAttached());
    port.setOutput(QStringLiteral("while unplugged\r"));
    std::unique_ptr<PortClient> second = attach();
    QVERIFY(second);
    port.setOutput(QStringLiteral("fresh\r"));
    QCOMPARE(second->receiveUntil("\r"), QByteArray("fresh\r"));

    QVERIFY(port.PortOpen());
    QCOMPARE(reasons, (QList<qint16>{SerialPortControl::CarrierDetect, SerialPortControl::Receive,
                                     SerialPortControl::CarrierDetect, SerialPortControl::CarrierDetect}));

    // Each drop once, with its count, naming the port and its terminal.
    const QString device = QRegularExpression::escape(port.deviceName()) + QStringLiteral(" \\(/dev/pts/\\d+\\)");
    const struct
    {
        QString drop;
        QString line;
    } drops[] = {
        {QStringLiteral("written before the first client"),
         QStringLiteral("^%1: 1 writes \\(18 bytes\\) of output dropped while no client had the port open$")},
        {QStringLiteral("left unread by the first client"),
         QStringLiteral("^the client of %1 left: 0 bytes queued for it and 7 bytes it left unread dropped$")},
        {QStringLiteral("written while unplugged"),
         QStringLiteral("^%1: 1 writes \\(16 bytes\\) of output dropped while no client had the port open$")},
    };
    for (const auto &drop : drops)
        QVERIFY2(log.count(drop.line.arg(device)) == 1, qPrintable(drop.drop + QLatin1Char('\n') + log.all()));
    QVERIFY2(log.lines.size() == 3, log.all());
}

void tst_Rs232Port::virtualPortQuickWriter_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<bool>("echoBack");

    // As printf 'ANALYZE 3\r' > COM1 writes: open, write, close, all before the port looks
    // for clients again.
    QTest::newRow("a command") << QByteArray("ANALYZE 3\r") << false;
    QTest::newRow("more than the line carries at once") << QByteArray(300, 'A') + '\r' << false;
    QTest::newRow("echo turned on first") << QByteArray("ANALYZE 3\r") << true;
}

void tst_Rs232Port::virtualPortQuickWriter()
{
    QFETCH(QByteArray, command);
    QFETCH(bool, echoBack);
    qunsetenv("KESTRIN_COM1");
    SerialPortControl port(kDevices);
    QString received;
    bool attachedWhenAnswered = true;
    QList<qint16> reasons;
    connect(&port, &SerialPortControl::OnComm, this, [&] {
        reasons << port.CommEvent();
        if (port.CommEvent() != SerialPortControl::Receive)
            return;
        received += port.Input();
        if (received.endsWith(QLatin1Char('\r'))) {
            attachedWhenAnswered = port.clientAttached();
            port.setOutput(QStringLiteral("OK\r"));
        }
    });
    port.setPortOpen(true);
    {
        PortClient writer(port.deviceName());
        QVERIFY(writer.isOpen());
        if (echoBack)
            QVERIFY(writer.echoBack());
        QVERIFY(writer.sendAtOnce(command));
    }

    // Read although its writer is gone, all at once, and then the writer's leaving is told;
    // the reply goes nowhere.
    QTRY_COMPARE(reasons, (QList<qint16>{SerialPortControl::Receive, SerialPortControl::CarrierDetect}));
    QCOMPARE(received, QString::fromLatin1(command));
    QVERIFY(!attachedWhenAnswered);

    // The next client finds the line as the port set it, and nothing meant for another.
    PortClient next(port.deviceName());
    QVERIFY(next.isOpen());
    QCOMPARE(next.settings().c_lflag & ECHO, tcflag_t(0));
    QTRY_VERIFY(port.clientAttached());
    port.setOutput(QStringLiteral("fresh\r"));
    QCOMPARE(next.receiveUntil("\r"), QByteArray("fresh\r"));
}

void tst_Rs232Port::virtualPortTakesInputAtLineSpeed_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<double>("charactersPerSecond"); // a start bit, 8 data bits, the stop bits

    QTest::newRow("start-up") << "19200,N,8,1" << 1920.0;
    QTest::newRow("two stop bits") << "9600,N,8,2" << 9600 / 11.0;
    QTest::newRow("115200") << "115200,N,8,1" << 11520.0;
}

void tst_Rs232Port::virtualPortTakesInputAtLineSpeed()
{
    QFETCH(QString, settings);
    QFETCH(double, charactersPerSecond);
    qunsetenv("KESTRIN_COM1");
    SerialPortControl port(kDevices);
    port.setSettings(settings);
    QString received;
    connect(&port, &SerialPortControl::OnComm, this, [&] { received += port.Input(); });
    port.setPortOpen(true);
    PortClient client(port.deviceName());
    QTRY_VERIFY(port.clientAttached());

    // Half a second of the line's characters, far more than it holds for the taking at once.
    const QByteArray sent(qsizetype(charactersPerSecond / 2), 'x');
    const double heldAtOnce = charactersPerSecond * platform::LinePace::kSavedMilliseconds / 1000;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(client.send(sent));
    QTRY_COMPARE(received.size(), sent.size());
    const double earliestMilliseconds = 1000 * (sent.size() - heldAtOnce) / charactersPerSecond;
    QVERIFY2(
        clock.elapsed() >= qint64(earliestMilliseconds * 0.9),
        qPrintable(QStringLiteral("%1 ms, at the line's pace %2 ms").arg(clock.elapsed()).arg(earliestMilliseconds)));
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

void tst_Rs232Port::outputToSilentLineIsBounded_data()
{
    QTest::addColumn<bool>("virtualPort");
    QTest::newRow("pty pair") << false;
    QTest::newRow("virtual, client not reading") << true;
}

void tst_Rs232Port::outputToSilentLineIsBounded()
{
    QFETCH(bool, virtualPort);
    PortOnPty f; // the far end never reads
    if (virtualPort)
        qunsetenv("KESTRIN_COM1");
    LogCapture log("platform.serial");
    f.port.setPortOpen(true);
    std::unique_ptr<PortClient> client;
    if (virtualPort) {
        client = std::make_unique<PortClient>(f.port.deviceName());
        QVERIFY(QTest::qWaitFor([&f] { return f.port.clientAttached(); }));
    }

    const QString chunk(4096, QLatin1Char('x'));
    const qint64 chunksBeyondBound = 2 * SerialPortControl::kMaximumQueuedOutput / chunk.size();
    QString description;
    int number = 0;
    qint64 accepted = 0;
    QElapsedTimer sinceFirstOutput;
    sinceFirstOutput.start();
    for (qint64 i = 0; i < chunksBeyondBound && number == 0; ++i) {
        number = errorNumberOf([&] { f.port.setOutput(chunk); }, &description);
        accepted += number == 0 ? chunk.size() : 0;
        QCoreApplication::processEvents();
    }
    QCOMPARE(number, int(SerialPortControl::kDeviceIoError));
    // Held up to the bound (beside what the terminal itself holds), never beyond.
    QVERIFY2(accepted >= SerialPortControl::kMaximumQueuedOutput
                 && accepted <= SerialPortControl::kMaximumQueuedOutput + SerialPortControl::kMaximumQueuedOutput / 4,
             qPrintable(QString::number(accepted)));
    // A full queue alone does not make a far end "not reading"; a while without progress does.
    if (!description.contains(QLatin1String("not reading"))) {
        QVERIFY2(description.contains(QLatin1String("as fast as they come")), qPrintable(description));
        QVERIFY(QTest::qWaitFor([&] {
            errorNumberOf([&] { f.port.setOutput(chunk); }, &description);
            return description.contains(QLatin1String("not reading"));
        }));
    }
    QVERIFY(sinceFirstOutput.elapsed() >= SerialPortControl::kStalledOutputMilliseconds);
    QVERIFY(f.port.PortOpen());
    // The jam and the run of drops start once each, however many writes were refused.
    const QString device = QRegularExpression::escape(f.port.deviceName());
    QVERIFY2(QTest::qWaitFor([&] {
                 return log.count(QStringLiteral("^output to %1 jammed: \\d+ bytes have not moved for %2 ms; the far "
                                                 "end does not read$")
                                      .arg(device)
                                      .arg(SerialPortControl::kStalledOutputMilliseconds))
                        == 1;
             }),
             log.all());
    // A far end that takes a little now and then ends a run and starts the next one: each run is
    // told at its start and its end, never per write.
    const int runs = log.count(QStringLiteral("^dropping output to %1: \\d+ bytes wait, the most the queue holds "
                                              "\\(error %2: Device I/O error: the far end of %1 .*\\)$")
                                   .arg(device)
                                   .arg(SerialPortControl::kDeviceIoError));
    const int runsEnded = log.count(QStringLiteral("^output to %1 no longer dropped \\(the queue has room again\\): "
                                                   "[1-9]\\d* writes \\([1-9]\\d* bytes\\) were dropped$")
                                        .arg(device));
    QVERIFY2(runs >= 1 && runsEnded == runs - 1, log.all());
    QVERIFY2(log.lines.size() == 1 + runs + runsEnded, log.all());
    if (virtualPort) {
        // The jam ends with the client that caused it; without a client output goes nowhere.
        QSignalSpy drained(&f.port, &SerialPortControl::outputDrained);
        client->closeFarEnd();
        QVERIFY(drained.wait());
        QCOMPARE(errorNumberOf([&] { f.port.setOutput(chunk); }), 0);
        // Ended with their counts: the queue that went with the client, and the run of drops.
        QVERIFY2(log.count(QStringLiteral("^the client of %1 \\(/dev/pts/\\d+\\) left: [1-9]\\d* bytes queued for it "
                                          "and \\d+ bytes it left unread dropped$")
                               .arg(device))
                     == 1,
                 log.all());
        QVERIFY2(log.count(QStringLiteral("^output to %1 no longer jammed after \\d+ ms: the client left, and its "
                                          "queue with it$")
                               .arg(device))
                     == 1,
                 log.all());
        QVERIFY2(log.count(QStringLiteral("^output to %1 no longer dropped \\(the queue is empty\\): [1-9]\\d* writes "
                                          "\\([1-9]\\d* bytes\\) were dropped$")
                               .arg(device))
                     == 1,
                 log.all());
        QVERIFY2(log.lines.size() == 1 + runs + runsEnded + 3, log.all());
    }
}

QTEST_GUILESS_MAIN(tst_Rs232Port)
#include "tst_rs232port.moc"
