// The RS-232 channel of the instrument window: commands cut from the received characters,
// replies and data lines written back, the port following the instrument and its settings,
// on a mapped device and on the instrument's own virtual port.

#include "support/rs232fixture.h"

#include "commandbuffer.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QRegularExpression>

// How a client of the virtual port leaves what it sent behind.
enum class DepartedClient {
    Unseen,  // opens, writes and closes between two looks for clients
    Seen,    // seen coming, writes, closes
    Echoing, // closes with the echo of a run's lines still coming in
};
Q_DECLARE_METATYPE(DepartedClient)

class tst_Rs232 : public QObject
{
    Q_OBJECT

private slots:
    void receivedCommands_data();
    void receivedCommands();
    void dataLinesFollowReplies();
    void offOverThePortClosesIt();
    void partialCommandLostAtReset_data();
    void partialCommandLostAtReset();
    void overLongLineIsNeverExecuted();
    void floodWithoutTerminatorLeavesOtherChannelsServing();
    void farEndThatStopsReadingLosesLines_data();
    void farEndThatStopsReadingLosesLines();
    void virtualPortClientReopensMidRun();
    void catchUpBurstReachesAReadingFarEnd_data();
    void catchUpBurstReachesAReadingFarEnd();
    void nothingADepartedClientLeftReachesTheNext_data();
    void nothingADepartedClientLeftReachesTheNext();
    void echoingFarEndCostsWhatTheLineCarries();
    void portNumbers_data();
    void portNumbers();
    void failedOpeningKeepsInstrumentUsable_data();
    void failedOpeningKeepsInstrumentUsable();
    void hungUpLineClosesPort();
};

void tst_Rs232::receivedCommands_data()
{
    QTest::addColumn<QString>("terminator");
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<InstrumentState>("state");
    QTest::addColumn<QString>("input");

    QTest::newRow("characters one at a time")
        << "\r" << QByteArrayList{"O", "N", "\r"} << QByteArray("OK\r") << InstrumentState::Idle << "ON";
    QTest::newRow("two commands in one read, only the last executed")
        << "\r" << QByteArrayList{"ON\rPAUSE\r"} << QByteArray("Error 2: Illegal Command - PAUSE\r")
        << InstrumentState::Off << "PAUSE";
    QTest::newRow("lone terminator") << "\r" << QByteArrayList{"\r"} << QByteArray() << InstrumentState::Off << "";
    QTest::newRow("spaces only answered by the terminator alone")
        << "\r" << QByteArrayList{"   \r"} << QByteArray("\r") << InstrumentState::Off << "   ";
    QTest::newRow("partial line waits for the rest")
        << "\r" << QByteArrayList{"ANALY", "ZE 3\r"} << QByteArray("Error 2: Illegal Command - ANALYZE\r")
        << InstrumentState::Off << "ANALYZE";
    QTest::newRow("CR LF terminal, CR terminator")
        << "\r" << QByteArrayList{"ANALYZE\r\n", "ON\r\n"}
        << QByteArray("Error 2: Illegal Command - ANALYZE\rError 2: Illegal Command - \nON\r") << InstrumentState::Off
        << "\nON";
    QTest::newRow("CR LF terminator split over reads")
        << "\r\n"
        << QByteArrayList{"ON\r", "\n", "PAUSE\r\n"} << QByteArray("OK\r\nOK\r\n") << InstrumentState::Idle << "PAUSE";
    QTest::newRow("one byte per character both ways")
        << "\r" << QByteArrayList{"\xe9t\xe9\r"} << QByteArray("Error 2: Illegal Command - \xc9T\xc9\r")
        << InstrumentState::Off << QString::fromLatin1("\xc9T\xc9");
}

void tst_Rs232::receivedCommands()
{
    QFETCH(QString, terminator);
    QFETCH(QByteArrayList, chunks);
    Rs232Fixture f;
    f.window->setLineTerm(terminator);
    // Applying the settings opens the port while the instrument is Off.
    f.window->ResetRS232Port();
    QVERIFY(f.port->PortOpen());

    for (const QByteArray &chunk : chunks)
        QVERIFY(f.sendChunk(chunk));
    QTEST(f.input(), "input");
    QTEST(f.window->instrumentState(), "state");
    QTEST(f.repliesSoFar(terminator.toLatin1()), "replies");
    QCOMPARE(f.recorder.messages, QStringList());
}

void tst_Rs232::dataLinesFollowReplies()
{
    Rs232Fixture f;
    QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ON")), QStringLiteral("OK"));
    QVERIFY(f.port->PortOpen());

    QVERIFY(f.line.send("ANALYZE 3\r"));
    QCOMPARE(f.line.receiveUntil("\r"), QByteArray("OK\r"));
    const QByteArray dataLine = f.line.receiveUntil("\r");
    static const QRegularExpression kThreeValues(QStringLiteral("^\\d+\\.\\d{1,5},\\d+\\.\\d{1,5},\\d+\\.\\d{1,5}\r$"));
    QVERIFY2(kThreeValues.match(QString::fromLatin1(dataLine)).hasMatch(), dataLine.constData());
    // The run of one line ends by itself; nothing more is written.
    QTRY_COMPARE(f.window->instrumentState(), InstrumentState::Idle);
    QCOMPARE(f.repliesSoFar(), QByteArray());
}

void tst_Rs232::offOverThePortClosesIt()
{
    Rs232Fixture f;
    f.window->ExecuteCommand(QStringLiteral("ON"));
    QVERIFY(f.sendChunk("OFF\r"));
    QCOMPARE(f.window->instrumentState(), InstrumentState::Off);
    QVERIFY(!f.port->PortOpen());

    // ON from the front panel opens the port again; the reply to OFF was never written.
    f.window->ExecuteCommand(QStringLiteral("ON"));
    QVERIFY(f.port->PortOpen());
    QCOMPARE(f.repliesSoFar(), QByteArray());
}

void tst_Rs232::partialCommandLostAtReset_data()
{
    QTest::addColumn<bool>("portOpen");
    // Open, the reset empties the command buffer; closed, what arrives meanwhile is dropped.
    QTest::newRow("sent while open") << true;
    QTest::newRow("sent while closed") << false;
}

void tst_Rs232::partialCommandLostAtReset()
{
    QFETCH(bool, portOpen);
    Rs232Fixture f;
    if (portOpen)
        f.window->ResetRS232Port();
    QVERIFY(portOpen ? f.sendChunk("ON") : f.line.send("ON"));
    f.window->ResetRS232Port();
    QVERIFY(f.sendChunk("\r"));
    QCOMPARE(f.window->instrumentState(), InstrumentState::Off);
    QCOMPARE(f.repliesSoFar(), QByteArray());
}

void tst_Rs232::overLongLineIsNeverExecuted()
{
    Rs232Fixture f;
    f.window->ResetRS232Port();
    // The tail of the line would switch the instrument on if it were taken for a command.
    QVERIFY(f.line.send(QByteArray(kMaximumBufferedCommand + 1, 'A') + "ON\r"));
    QTRY_COMPARE(f.recorder.messages.size(), 1);
    QVERIFY2(f.recorder.messages.first().startsWith(QLatin1String("Error (frmMain - GetRS232Command) 6: Overflow")),
             qPrintable(f.recorder.messages.first()));
    QCOMPARE(f.repliesSoFar(), QByteArray());
    QCOMPARE(f.window->instrumentState(), InstrumentState::Off);

    QVERIFY(f.line.send("ON\r"));
    QTRY_COMPARE(f.window->instrumentState(), InstrumentState::Idle);
    QCOMPARE(f.recorder.messages.size(), 1);
}

void tst_Rs232::floodWithoutTerminatorLeavesOtherChannelsServing()
{
    Rs232Fixture f;
    f.setText("txtFrequency", QStringLiteral("100"));
    auto client = f.switchOnWithClient();
    f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
    const QByteArray piece(256 * 1024, 'A');
    for (int i = 0; i < 4; ++i) {
        QVERIFY(f.line.send(piece));
        // The run goes on reaching the TCP client while the serial line floods.
        const qsizetype before = client->received.size();
        QTRY_VERIFY(client->received.size() > before);
    }
    QCOMPARE(f.recorder.messages.size(), 1);
    // The flood ends at its terminator; the line serves again.
    QVERIFY(f.line.send("\rOFF\r"));
    QTRY_COMPARE(f.window->instrumentState(), InstrumentState::Off);
}

void tst_Rs232::farEndThatStopsReadingLosesLines_data()
{
    QTest::addColumn<Rs232Fixture::Ports>("ports");
    QTest::newRow("pty pair") << Rs232Fixture::Ports::Mapped;
    QTest::newRow("virtual port") << Rs232Fixture::Ports::Virtual;
}

void tst_Rs232::farEndThatStopsReadingLosesLines()
{
    QFETCH(Rs232Fixture::Ports, ports);
    Rs232Fixture f(ports);
    f.setText("txtFrequency", QStringLiteral("0.04"));
    f.setText("txtPtsPerLine", QStringLiteral("100"));
    f.window->ExecuteCommand(QStringLiteral("ON"));
    if (ports == Rs232Fixture::Ports::Virtual)
        QVERIFY(f.attachClient());
    f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
    const auto jam = [&] {
        constexpr int kEnoughLines = 10000;
        for (int line = 0; line < kEnoughLines && f.recorder.messages.size() < 2; ++line)
            f.tick();
    };

    jam();
    QCOMPARE(f.recorder.messages.size(), 1);
    QVERIFY2(f.recorder.messages.first().startsWith(QLatin1String("Kestrin Error (frmMain - ReturnRS232Result) 57: ")),
             qPrintable(f.recorder.messages.first()));
    QVERIFY(f.port->PortOpen());

    // Once the far end reads, the queued lines come through: megabytes through a pty, which a
    // machine busy with other work takes seconds to pass on. A reply meanwhile would be
    // dropped with the lines; once the queue is empty it comes through...
    constexpr int kDrainMilliseconds = 30000;
    QSignalSpy drained(f.port, &platform::SerialPortControl::outputDrained);
    QVERIFY(f.farEnd->readUntil([&drained] { return !drained.isEmpty(); }, kDrainMilliseconds));
    QVERIFY(f.farEnd->send("PAUSE\r"));
    QVERIFY(!f.farEnd->receiveUntil("OK\r", kDrainMilliseconds).isEmpty());
    QVERIFY(f.farEnd->send("RESUME\r"));
    QVERIFY(!f.farEnd->receiveUntil("OK\r", kDrainMilliseconds).isEmpty());
    // ... and a new jam is a new episode, reported once more.
    jam();
    QCOMPARE(f.recorder.messages.size(), 2);
}

void tst_Rs232::virtualPortClientReopensMidRun()
{
    Rs232Fixture f(Rs232Fixture::Ports::Virtual);
    f.setText("txtFrequency", QStringLiteral("0.04"));
    f.find<QCheckBox>("chkPointNumber")->setChecked(true);
    // On a machine without serial hardware the first On opens the virtual port, silently.
    QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ON")), QStringLiteral("OK"));
    QVERIFY(f.port->PortOpen());
    QVERIFY(f.attachClient());
    QVERIFY(f.client->send("ANALYZE\r"));
    QCOMPARE(f.client->receiveUntil("\r"), QByteArray("OK\r"));
    f.tick();
    QVERIFY(f.client->receiveUntil("\r").startsWith("1,"));

    f.tick(); // left unread by the client
    QVERIFY(f.detachClient());
    f.tick(2); // sent while nobody listens
    QVERIFY(f.attachClient());
    // The run is the departed client's: its lines do not greet the next one ...
    f.tick();
    QCOMPARE(f.repliesSoFar(), QByteArray());
    // ... until the client makes it its own.
    QVERIFY(f.client->send("PAUSE\r"));
    QCOMPARE(f.client->receiveUntil("\r"), QByteArray("OK\r"));
    QVERIFY(f.client->send("RESUME\r"));
    QCOMPARE(f.client->receiveUntil("\r"), QByteArray("OK\r"));
    f.tick();
    const QByteArray first = f.client->receiveUntil("\r");
    QVERIFY2(first.startsWith("6,"), first.constData());
    QVERIFY(f.client->send("ABORT\r"));
    QCOMPARE(f.client->receiveUntil("\r"), QByteArray("OK\r"));

    // A run started on the panel streams to whoever plugs in.
    f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
    QVERIFY(f.detachClient());
    QVERIFY(f.attachClient());
    f.tick();
    QVERIFY2(f.client->receiveUntil("\r").startsWith("1,"), "a panel's run reaches a new client");
    f.window->ExecuteCommand(QStringLiteral("ABORT"));

    // Settings applied while the instrument is Off open the port; ON over it resets the port,
    // which keeps the terminal, so the client stays and receives the reply.
    f.window->ExecuteCommand(QStringLiteral("OFF"));
    f.window->ResetRS232Port();
    QVERIFY(f.attachClient());
    QVERIFY(f.client->send("ON\r"));
    QCOMPARE(f.client->receiveUntil("\r"), QByteArray("OK\r"));
    QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
    QCOMPARE(f.recorder.messages, QStringList());
}

void tst_Rs232::catchUpBurstReachesAReadingFarEnd_data()
{
    QTest::addColumn<Rs232Fixture::Ports>("ports");
    QTest::newRow("pty pair") << Rs232Fixture::Ports::Mapped;
    QTest::newRow("virtual port") << Rs232Fixture::Ports::Virtual;
}

void tst_Rs232::catchUpBurstReachesAReadingFarEnd()
{
    QFETCH(Rs232Fixture::Ports, ports);
    Rs232Fixture f(ports);
    f.setText("txtFrequency", QStringLiteral("0.04"));
    f.setText("txtPtsPerLine", QStringLiteral("100"));
    f.find<QCheckBox>("chkPointNumber")->setChecked(true);
    f.window->ExecuteCommand(QStringLiteral("ON"));
    if (ports == Rs232Fixture::Ports::Virtual)
        QVERIFY(f.attachClient());
    f.window->ExecuteCommand(QStringLiteral("ANALYZE"));

    // A second of lines at 1000 a second, made at once, as the generator makes up for a
    // window thread that was busy; the far end reads all along.
    constexpr int kBurstLines = 1000;
    f.tick(kBurstLines);
    for (int line = 1; line <= kBurstLines; ++line) {
        const QByteArray received = f.farEnd->receiveUntil("\r");
        QVERIFY2(received.startsWith(QByteArray::number(line) + ','),
                 qPrintable(QStringLiteral("line %1: %2").arg(line).arg(QString::fromLatin1(received.left(20)))));
    }
    QCOMPARE(f.recorder.messages, QStringList());
}

void tst_Rs232::nothingADepartedClientLeftReachesTheNext_data()
{
    QTest::addColumn<DepartedClient>("leaving");
    QTest::addColumn<bool>("echo"); // as stty -F COM1 echo -echoctl turns it on
    QTest::addColumn<QByteArray>("left");

    QByteArray burst;
    for (int command = 0; command < 50; ++command)
        burst += "ANALYZE 3\r";
    // As printf ... > COM1 writes: open, write, close, all before the port looks for clients.
    QTest::newRow("burst of commands, writer gone unseen") << DepartedClient::Unseen << false << burst;
    QTest::newRow("burst of commands, writer seen") << DepartedClient::Seen << false << burst;
    QTest::newRow("endless run") << DepartedClient::Seen << false << QByteArray("ANALYZE\r");
    QTest::newRow("echo turned on") << DepartedClient::Seen << true << QByteArray();
    QTest::newRow("echo turned on, command, gone unseen") << DepartedClient::Unseen << true << QByteArray("ABORT\r");
    QTest::newRow("echo of a run's lines") << DepartedClient::Echoing << true << QByteArray("ANALYZE\r");
    QTest::newRow("partial line") << DepartedClient::Seen << false << QByteArray("PAU");
    QTest::newRow("line fed, as echo ends it") << DepartedClient::Unseen << false << QByteArray("PAUSE\n");
}

void tst_Rs232::nothingADepartedClientLeftReachesTheNext()
{
    QFETCH(DepartedClient, leaving);
    QFETCH(bool, echo);
    QFETCH(QByteArray, left);
    Rs232Fixture f(Rs232Fixture::Ports::Virtual);
    f.setText("txtFrequency", QStringLiteral("0.04"));
    f.window->ExecuteCommand(QStringLiteral("ON"));
    // A slow line, so that what is left would take seconds to come in at the line's pace.
    f.port->setSettings(QStringLiteral("1200,N,8,1"));
    int departures = 0;
    QObject::connect(f.port, &platform::SerialPortControl::OnComm, f.port, [&] {
        departures += f.port->CommEvent() == platform::SerialPortControl::CarrierDetect && !f.port->clientAttached();
    });

    if (leaving == DepartedClient::Unseen) {
        PortClient first(f.port->deviceName());
        QVERIFY(!echo || first.echoBack());
        QVERIFY(first.sendAtOnce(left));
    } else {
        QVERIFY(f.attachClient());
        QVERIFY(!echo || f.client->echoBack());
        QVERIFY(f.client->send(left));
        // Every line sent comes back as a command, faster than the line carries it.
        if (leaving == DepartedClient::Echoing) {
            QVERIFY(!f.client->receiveUntil("OK\r").isEmpty());
            f.tick(50);
        }
        f.client->closeFarEnd();
    }
    // Seen at once, however much the line's pace still holds back.
    QVERIFY(QTest::qWaitFor([&] { return departures > 0; }, 1000));

    QVERIFY(f.attachClient());
    QCOMPARE(f.client->settings().c_lflag & ECHO, tcflag_t(0));
    // The lines of a run the departed client started go to nobody.
    for (int tick = 0; tick < 2 && f.window->instrumentState() == InstrumentState::Analyzing; ++tick)
        f.tick();
    QVERIFY(f.client->send("PAUSE\r"));
    QCOMPARE(f.client->receiveUntil("\r"), QByteArray("OK\r"));
    QCOMPARE(f.repliesSoFar(), QByteArray());
    QCOMPARE(f.recorder.messages, QStringList());
}

void tst_Rs232::echoingFarEndCostsWhatTheLineCarries()
{
    Rs232Fixture f(Rs232Fixture::Ports::Virtual);
    auto tcpClient = f.switchOnWithClient();
    QVERIFY(f.attachClient());
    QVERIFY(f.client->echoBack());
    // Each reply comes back as a command whose reply comes back, as on a cable to a far end
    // that echoes: the loop goes on, at the pace of the line (19200 baud, 1920 characters a
    // second each way).
    QVERIFY(f.client->send("PAUSE\r"));
    constexpr double kLineCharactersPerSecond = 1920;
    constexpr qsizetype kLooped = qsizetype(kLineCharactersPerSecond);
    QElapsedTimer clock;
    clock.start();
    const QByteArray looped = f.client->receiveCount(kLooped, 10000);
    QVERIFY2(looped.contains("Error 2: Illegal Command - ERROR\r"), looped.left(80).constData());
    QVERIFY2(clock.elapsed() >= qint64(1000 * kLooped / kLineCharactersPerSecond / 2),
             qPrintable(QStringLiteral("%1 characters in %2 ms").arg(kLooped).arg(clock.elapsed())));

    // Meanwhile the other channels and the panel are served.
    QVERIFY(f.sendPiece(*tcpClient, QStringLiteral("PAUSE\r")));
    QTRY_COMPARE(tcpClient->received, QStringLiteral("OK\r"));
    QCOMPARE(f.window->ExecuteCommand(QStringLiteral("PAUSE")), QStringLiteral("OK"));
    QVERIFY(!f.client->receiveCount(kLooped / 4).isEmpty());
}

void tst_Rs232::portNumbers_data()
{
    QTest::addColumn<QList<qint16>>("ports");
    QTest::addColumn<int>("expectedLine");

    QTest::newRow("start-up port") << QList<qint16>{} << 1;
    QTest::newRow("port 2") << QList<qint16>{2} << 2;
    QTest::newRow("back to port 1") << QList<qint16>{2, 1} << 1;
    QTest::newRow("3 ignored") << QList<qint16>{2, 3} << 2;
    QTest::newRow("0 ignored") << QList<qint16>{0} << 1;
    QTest::newRow("-1 ignored") << QList<qint16>{2, -1} << 2;
}

void tst_Rs232::portNumbers()
{
    QFETCH(QList<qint16>, ports);
    QFETCH(int, expectedLine);
    Rs232Fixture f;
    for (const qint16 port : ports)
        f.window->setCommPort(port);
    // The values take effect at the next reset only.
    QVERIFY(!f.port->PortOpen());
    f.window->ResetRS232Port();
    QCOMPARE(f.port->deviceName(), expectedLine == 1 ? f.line.deviceName() : f.secondLine.deviceName());
}

void tst_Rs232::failedOpeningKeepsInstrumentUsable_data()
{
    QTest::addColumn<QByteArray>("device");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("message");

    QTest::newRow("missing device")
        << QByteArray("/nonexistent/ttyKestrin") << "19200,N,8,1"
        << "Error (frmMain - ResetRS232Port) 68: Device unavailable: /nonexistent/ttyKestrin";
    QTest::newRow("settings refused") << QByteArray() << "9600,N,8,1.5"
                                      << "Error (frmMain - ResetRS232Port) 380: Invalid property value: 1.5 stop bits";
}

void tst_Rs232::failedOpeningKeepsInstrumentUsable()
{
    QFETCH(QByteArray, device);
    QFETCH(QString, settings);
    QFETCH(QString, message);
    Rs232Fixture f;
    if (!device.isEmpty())
        qputenv("KESTRIN_COM1", device);
    f.window->setCommSettings(settings);

    QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ON")), QStringLiteral("OK"));
    QCOMPARE(f.recorder.messages.size(), 1);
    QVERIFY2(f.recorder.messages.first().startsWith(message), qPrintable(f.recorder.messages.first()));
    QVERIFY(!f.port->PortOpen());
    QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
    QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ANALYZE 1")), QStringLiteral("OK"));
    QCOMPARE(f.window->ExecuteCommand(QStringLiteral("OFF")), QStringLiteral("OK"));
    QCOMPARE(f.recorder.messages.size(), 1);
}

void tst_Rs232::hungUpLineClosesPort()
{
    Rs232Fixture f;
    f.window->ExecuteCommand(QStringLiteral("ON"));
    QVERIFY(f.port->PortOpen());
    f.line.closeFarEnd();
    QTRY_VERIFY(!f.port->PortOpen());
    // The instrument goes on; nothing is reported for a line event.
    QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
    QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ANALYZE 1")), QStringLiteral("OK"));
    QCOMPARE(f.recorder.messages, QStringList());
}

QTEST_MAIN(tst_Rs232)
#include "tst_rs232.moc"
