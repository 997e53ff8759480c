#include "support/instrumentwindow.h"

#include "commandbuffer.h"

#include <QRegularExpression>
#include <vector>

using platform::SocketControl;

class tst_Network : public QObject
{
    Q_OBJECT

private slots:
    void analyzeRoundTrip();
    void segments_data();
    void segments();
    void refusedWhileOff();
    void secondClientWaitsForTheFirst();
    void offDropsTheClient();
    void dataWithoutClientIsDropped();
    void overLongLineIsNeverExecuted();
    void clientThatStopsReadingIsDropped();
    void finishedClientReceivesItsRun();
    void finishedClientReadsWhileTheRunGoesOn();
    void finishedClientGetsLinesMadeDuringReset();
    void halfClosedClientsGetTheirRun_data();
    void halfClosedClientsGetTheirRun();
    void portThatCannotListen_data();
    void portThatCannotListen();
};

void tst_Network::analyzeRoundTrip()
{
    NetworkInstrument f;
    f.listenNow();
    QCOMPARE(f.socket()->State(), SocketControl::Listening);
    QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ON")), QStringLiteral("OK"));
    QCOMPARE(f.status(), QStringLiteral("Listening ..."));
    auto client = f.connectClient();
    QCOMPARE(f.status(), QStringLiteral("Network connection accepted!"));

    client->send(QStringLiteral("ANALYZE 5\r"));
    QTRY_COMPARE(client->received, QStringLiteral("OK\r"));
    QCOMPARE(f.input(), QStringLiteral("ANALYZE"));

    f.tick();
    QTRY_VERIFY(client->received.count(QLatin1Char('\r')) == 2);
    const QStringList values = client->received.mid(3).chopped(1).split(QLatin1Char(','));
    QCOMPARE(values.size(), 5);
    for (const QString &value : values)
        QVERIFY2(QRegularExpression(QStringLiteral("^-?\\d+\\.\\d{1,5}$")).match(value).hasMatch(), qPrintable(value));

    // The run of one line is over: the next tick stops it and sends nothing.
    f.tick();
    QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
    client->send(QStringLiteral("PAUSE\r"));
    QTRY_VERIFY(client->received.endsWith(QStringLiteral("\rOK\r")));
    QCOMPARE(client->received.count(QLatin1Char('\r')), 3);
}

void tst_Network::segments_data()
{
    QTest::addColumn<QStringList>("segments");
    QTest::addColumn<QString>("received");
    QTest::addColumn<InstrumentState>("state");

    QTest::newRow("command over three segments")
        << QStringList{"ANA", "LYZE", " 2\r"} << "OK\r" << InstrumentState::Analyzing;
    QTest::newRow("two commands in one segment, only the last runs")
        << QStringList{"ANALYZE\rPAUSE\r"} << "OK\r" << InstrumentState::Idle;
    QTest::newRow("a lone terminator runs nothing") << QStringList{"\r", "PAUSE\r"} << "OK\r" << InstrumentState::Idle;
    QTest::newRow("spaces only get the empty reply") << QStringList{"   \r"} << "\r" << InstrumentState::Idle;
    QTest::newRow("CR LF client: the LF leads the next command")
        << QStringList{"PAUSE\r\n", "PAUSE\r\n"} << "OK\rError 2: Illegal Command - \nPAUSE\r" << InstrumentState::Idle;
}

void tst_Network::segments()
{
    QFETCH(QStringList, segments);
    QFETCH(QString, received);
    NetworkInstrument f;
    auto client = f.switchOnWithClient();

    for (const QString &segment : segments)
        QVERIFY(f.sendPiece(*client, segment));
    QTRY_COMPARE(client->received, received);
    QTEST(f.window->instrumentState(), "state");
    QVERIFY(f.recorder.messages.isEmpty());
}

void tst_Network::refusedWhileOff()
{
    NetworkInstrument f;
    f.listenNow();
    QCOMPARE(f.status(), QStringLiteral("Listening ..."));
    TestClient client(f.serverPort);
    QVERIFY(client.waitDisconnected());
    QCOMPARE(f.socket()->State(), SocketControl::Listening);
    QCOMPARE(f.window->instrumentState(), InstrumentState::Off);
}

void tst_Network::secondClientWaitsForTheFirst()
{
    NetworkInstrument f;
    auto first = f.switchOnWithClient();

    TestClient refused(f.serverPort);
    QVERIFY(refused.waitDisconnected());

    first.reset();
    QTRY_COMPARE(f.status(), QStringLiteral("Listening ..."));
    QCOMPARE(f.socket()->State(), SocketControl::Listening);
    auto second = f.connectClient();
    second->send(QStringLiteral("PAUSE\r"));
    QTRY_COMPARE(second->received, QStringLiteral("OK\r"));
}

void tst_Network::offDropsTheClient()
{
    NetworkInstrument f;
    auto client = f.switchOnWithClient();
    client->send(QStringLiteral("OFF\r"));
    QVERIFY(client->waitDisconnected());
    QCOMPARE(f.socket()->State(), SocketControl::Closed);
    QCOMPARE(f.window->instrumentState(), InstrumentState::Off);
    QVERIFY(client->received.isEmpty());
    QVERIFY(f.recorder.messages.isEmpty());
}

void tst_Network::dataWithoutClientIsDropped()
{
    NetworkInstrument f;
    f.listenNow();
    f.window->ExecuteCommand(QStringLiteral("ON"));
    f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
    f.tick();
    f.tick();
    QCOMPARE(f.socket()->State(), SocketControl::Listening);
    QVERIFY2(f.recorder.messages.isEmpty(), qPrintable(f.recorder.messages.join('\n')));

    // A client that connects mid-run gets the lines from then on.
    auto client = f.connectClient();
    f.tick();
    QTRY_VERIFY(client->received.endsWith(QLatin1Char('\r')));
}

void tst_Network::overLongLineIsNeverExecuted()
{
    NetworkInstrument f;
    auto client = f.switchOnWithClient();

    // The tail of the line would switch the instrument off if it were taken for a command.
    client->send(QString(kMaximumBufferedCommand + 1, QLatin1Char('X')) + QStringLiteral("OFF\r"));
    QTRY_COMPARE(f.recorder.messages.size(), 1);
    QVERIFY2(f.recorder.messages.first().startsWith(QLatin1String("Error (frmMain - GetNetworkCommand) 6: Overflow")),
             qPrintable(f.recorder.messages.first()));
    client->send(QStringLiteral("RESUME\r"));
    QTRY_COMPARE(client->received, QStringLiteral("Error 2: Illegal Command - RESUME\r"));
    QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
    QCOMPARE(f.recorder.messages.size(), 1);
}

void tst_Network::clientThatStopsReadingIsDropped()
{
    NetworkInstrument f;
    f.setText("txtPtsPerLine", QStringLiteral("100"));
    auto stuck = f.switchOnWithClient();
    stuck->stopReading();
    f.window->ExecuteCommand(QStringLiteral("ANALYZE"));

    // Lines fill the system's buffers, then the unread output reaches the cap.
    constexpr int kEnoughLines = 100000;
    for (int line = 0; line < kEnoughLines && f.recorder.messages.isEmpty(); ++line) {
        f.tick();
        QCoreApplication::processEvents();
    }
    QCOMPARE(f.recorder.messages.size(), 1);
    QVERIFY2(
        f.recorder.messages.first().startsWith(QLatin1String("Kestrin Error (frmMain - ReturnNetworkResult) 10004: ")),
        qPrintable(f.recorder.messages.first()));
    QTRY_COMPARE(f.socket()->State(), SocketControl::Listening);

    // The run goes on without a report per line, and the next client is served.
    f.tick(100);
    auto next = f.connectClient();
    QVERIFY(f.sendPiece(*next, QStringLiteral("PAUSE\r")));
    QTRY_VERIFY(next->received.endsWith(QStringLiteral("OK\r")));
    QCOMPARE(f.recorder.messages.size(), 1);
}

void tst_Network::finishedClientReceivesItsRun()
{
    NetworkInstrument f;
    auto client = f.switchOnWithClient();

    // As `printf 'ANALYZE 5\r' | nc -q1 host port` does.
    client->send(QStringLiteral("ANALYZE 5\r"));
    client->finishSending();
    QTRY_COMPARE(client->received, QStringLiteral("OK\r"));
    QTRY_COMPARE(f.status(), QStringLiteral("Listening ..."));
    f.tick();
    QTRY_COMPARE(client->received.count(QLatin1Char('\r')), 2);
    f.tick();
    QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
    // With the run over, the connection ends so that the client can finish.
    QVERIFY(client->waitDisconnected());
    QVERIFY(f.recorder.messages.isEmpty());
}

void tst_Network::finishedClientReadsWhileTheRunGoesOn()
{
    NetworkInstrument f;
    auto reader = f.switchOnWithClient();
    reader->send(QStringLiteral("ANALYZE\r"));
    reader->finishSending();
    QTRY_COMPARE(reader->received, QStringLiteral("OK\r"));

    QSignalSpy idle(f.socket(), &SocketControl::finishedClientIdle);
    QVERIFY(idle.wait());
    f.tick();
    QTRY_COMPARE(reader->received.count(QLatin1Char('\r')), 2);

    // A new client takes the place; the finished one is let go.
    auto next = f.connectClient();
    QVERIFY(reader->waitDisconnected());
    next->send(QStringLiteral("ABORT\r"));
    QTRY_COMPARE(next->received, QStringLiteral("OK\r"));
}

void tst_Network::finishedClientGetsLinesMadeDuringReset()
{
    NetworkInstrument f;
    auto client = f.switchOnWithClient();
    client->send(QStringLiteral("ANALYZE 5\r"));
    client->finishSending();
    QTRY_COMPARE(client->received, QStringLiteral("OK\r"));
    QTRY_COMPARE(f.status(), QStringLiteral("Listening ..."));

    // A tick handled while the reset yields, when the socket reads closed, as happens when
    // the client's end of input arrives at a high rate of lines.
    QMetaObject::invokeMethod(
        f.window.get(), [&f] { f.tick(); }, Qt::QueuedConnection);
    f.window->ResetNetworkConnection();
    QTRY_COMPARE(client->received.count(QLatin1Char('\r')), 2);
    QVERIFY(f.recorder.messages.isEmpty());
}

void tst_Network::halfClosedClientsGetTheirRun_data()
{
    QTest::addColumn<QString>("linesPerSecond");
    QTest::newRow("10 lines/s") << "10";
    QTest::newRow("100 lines/s") << "100";
    QTest::newRow("1000 lines/s") << "1000";
}

void tst_Network::halfClosedClientsGetTheirRun()
{
    QFETCH(QString, linesPerSecond);
    constexpr int kTries = 20;
    static const QRegularExpression kWholeRun(QStringLiteral("^OK\\r-?\\d+\\.\\d{1,5}(,-?\\d+\\.\\d{1,5}){4}\\r$"));
    NetworkInstrument f;
    f.setText("txtFrequency", linesPerSecond);
    f.listenNow();
    f.window->ExecuteCommand(QStringLiteral("ON"));

    // One client after the other, each as soon as the instrument listens again after the
    // last one's run; taking the next client lets the last one go.
    std::vector<std::unique_ptr<StreamClient>> clients;
    for (int attempt = 0; attempt < kTries; ++attempt) {
        QVERIFY(QTest::qWaitFor([&] {
            return f.socket()->State() == SocketControl::Listening
                   && f.window->instrumentState() == InstrumentState::Idle;
        }));
        // As `printf 'ANALYZE 5\r' | socat -t2 - TCP:localhost:port` does.
        clients.push_back(std::make_unique<StreamClient>(f.serverPort));
        StreamClient &client = *clients.back();
        QVERIFY(client.send("ANALYZE 5\r"));
        QVERIFY(client.finishSending());
        QVERIFY(QTest::qWaitFor(
            [&] { return client.read() != StreamClient::Ending::Open || client.received().count('\r') == 2; }));
    }

    int delivered = 0;
    for (const auto &client : clients) {
        QVERIFY(QTest::qWaitFor([&] { return client->read() != StreamClient::Ending::Open; }));
        if (client->read() == StreamClient::Ending::EndOfStream
            && kWholeRun.match(QString::fromLatin1(client->received())).hasMatch())
            ++delivered;
        else
            qWarning("received %s", client->received().toPercentEncoding().constData());
    }
    qInfo("%d of %d half-closed clients received OK and their data line, then the end of the stream", delivered,
          kTries);
    QCOMPARE(delivered, kTries);
    QCOMPARE(f.recorder.messages, QStringList());
}

void tst_Network::portThatCannotListen_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("inUse");
    QTest::addColumn<QString>("message");
    QTest::newRow("zero") << 0 << false << "Error (frmMain - ResetNetworkConnection) 380: ";
    QTest::newRow("negative") << -80 << false << "Error (frmMain - ResetNetworkConnection) 380: ";
    QTest::newRow("in use") << 0 << true << "Error (frmMain - ResetNetworkConnection) 10008: ";
}

void tst_Network::portThatCannotListen()
{
    QFETCH(int, port);
    QFETCH(bool, inUse);
    QFETCH(QString, message);
    QTcpServer occupant;
    if (inUse) {
        port = freeServerPort();
        QVERIFY(occupant.listen(QHostAddress::Any, quint16(port)));
    }
    NetworkInstrument f;
    f.window->ExecuteCommand(QStringLiteral("ON"));
    f.window->setNetworkEnabled(true);
    f.window->setServerPort(qint16(port));
    f.window->ResetNetworkConnection();

    QCOMPARE(f.recorder.messages.size(), 1);
    QVERIFY2(f.recorder.messages.first().startsWith(message), qPrintable(f.recorder.messages.first()));
    QCOMPARE(f.socket()->State(), SocketControl::Closed);
    QCOMPARE(f.status(), QString());
    QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
    QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ANALYZE")), QStringLiteral("OK"));
}

QTEST_MAIN(tst_Network)
#include "tst_network.moc"
