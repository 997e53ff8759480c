#include "networktestsupport.h"

#include "core/frmMain.h"
#include "platform/network/socketcontrol.h"
#include "platform/periodictimer.h"
#include "platform/statusbar.h"
#include "support/messagerecorder.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <memory>

using platform::SocketControl;

class tst_Network : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void analyzeRoundTrip();
    void segments_data();
    void segments();
    void refusedWhileOff();
    void secondClientWaitsForTheFirst();
    void offDropsTheClient();
    void dataWithoutClientIsDropped();
    void oversizedLineKeepsServing();
    void finishedClientReceivesItsRun();
    void finishedClientReadsWhileTheRunGoesOn();
    void portThatCannotListen_data();
    void portThatCannotListen();

private:
    // Enables the network on a free port and applies it.
    void enableNetwork();
    std::unique_ptr<TestClient> connectClient();
    SocketControl *socket() const { return m_window->findChild<SocketControl *>(QStringLiteral("sckServer")); }
    QString status() const { return m_window->findChild<platform::StatusBar *>(QStringLiteral("sbrMessage"))->simpleText(); }
    void tick() const { emit m_window->findChild<platform::PeriodicTimer *>(QStringLiteral("tmrDataGen"))->timeout(); }

    std::unique_ptr<MessageRecorder> m_recorder;
    std::unique_ptr<frmMain> m_window;
    qint16 m_port = 0;
};

void tst_Network::init()
{
    m_recorder = std::make_unique<MessageRecorder>();
    m_window = std::make_unique<frmMain>();
    m_window->setCommEnabled(false);
    // One line in 25 s: the tests tick the generator by hand.
    m_window->findChild<QLineEdit *>(QStringLiteral("txtFrequency"))->setText(QStringLiteral("0.04"));
}

void tst_Network::cleanup()
{
    m_window.reset();
    m_recorder.reset();
}

void tst_Network::enableNetwork()
{
    m_port = freeServerPort();
    m_window->setNetworkEnabled(true);
    m_window->setServerPort(m_port);
    m_window->ResetNetworkConnection();
    QCOMPARE(socket()->State(), SocketControl::Listening);
}

std::unique_ptr<TestClient> tst_Network::connectClient()
{
    auto client = std::make_unique<TestClient>(m_port);
    if (!client->waitConnected() || !QTest::qWaitFor([this] { return socket()->State() == SocketControl::Connected; }))
        qWarning("client not accepted");
    return client;
}

void tst_Network::analyzeRoundTrip()
{
    enableNetwork();
    QCOMPARE(m_window->ExecuteCommand(QStringLiteral("ON")), QStringLiteral("OK"));
    QCOMPARE(status(), QStringLiteral("Listening ..."));
    auto client = connectClient();
    QCOMPARE(status(), QStringLiteral("Network connection accepted!"));

    client->send(QStringLiteral("ANALYZE 5\r"));
    QTRY_COMPARE(client->received, QStringLiteral("OK\r"));
    QCOMPARE(m_window->findChild<QLineEdit *>(QStringLiteral("txtInput"))->text(), QStringLiteral("ANALYZE"));

    tick();
    QTRY_VERIFY(client->received.count(QLatin1Char('\r')) == 2);
    const QStringList values = client->received.mid(3).chopped(1).split(QLatin1Char(','));
    QCOMPARE(values.size(), 5);
    for (const QString &value : values)
        QVERIFY2(QRegularExpression(QStringLiteral("^-?\\d+\\.\\d{1,5}$")).match(value).hasMatch(), qPrintable(value));

    // The run of one line is over: the next tick stops it and sends nothing.
    tick();
    QCOMPARE(m_window->instrumentState(), InstrumentState::Idle);
    client->send(QStringLiteral("PAUSE\r"));
    QTRY_VERIFY(client->received.endsWith(QStringLiteral("\rOK\r")));
    QCOMPARE(client->received.count(QLatin1Char('\r')), 3);
}

void tst_Network::segments_data()
{
    QTest::addColumn<QStringList>("segments");
    QTest::addColumn<QString>("received");
    QTest::addColumn<InstrumentState>("state");

    QTest::newRow("command over three segments") << QStringList{"ANA", "LYZE", " 2\r"} << "OK\r" << InstrumentState::Analyzing;
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
    QFETCH(InstrumentState, state);
    enableNetwork();
    m_window->ExecuteCommand(QStringLiteral("ON"));
    auto client = connectClient();

    QSignalSpy arrivals(socket(), &SocketControl::dataArrived);
    for (const QString &segment : segments) {
        const qsizetype before = arrivals.size();
        client->send(segment);
        // Each segment is taken in before the next one leaves.
        QVERIFY(QTest::qWaitFor([&] { return arrivals.size() > before; }));
    }
    QTRY_COMPARE(client->received, received);
    QCOMPARE(m_window->instrumentState(), state);
    QVERIFY(m_recorder->messages.isEmpty());
}

void tst_Network::refusedWhileOff()
{
    enableNetwork();
    QCOMPARE(status(), QStringLiteral("Listening ..."));
    TestClient client(m_port);
    QVERIFY(client.waitDisconnected());
    QCOMPARE(socket()->State(), SocketControl::Listening);
    QCOMPARE(m_window->instrumentState(), InstrumentState::Off);
}

void tst_Network::secondClientWaitsForTheFirst()
{
    enableNetwork();
    m_window->ExecuteCommand(QStringLiteral("ON"));
    auto first = connectClient();

    TestClient refused(m_port);
    QVERIFY(refused.waitDisconnected());

    first.reset();
    QTRY_COMPARE(status(), QStringLiteral("Listening ..."));
    QCOMPARE(socket()->State(), SocketControl::Listening);
    auto second = connectClient();
    second->send(QStringLiteral("PAUSE\r"));
    QTRY_COMPARE(second->received, QStringLiteral("OK\r"));
}

void tst_Network::offDropsTheClient()
{
    enableNetwork();
    m_window->ExecuteCommand(QStringLiteral("ON"));
    auto client = connectClient();
    client->send(QStringLiteral("OFF\r"));
    QVERIFY(client->waitDisconnected());
    QCOMPARE(socket()->State(), SocketControl::Closed);
    QCOMPARE(m_window->instrumentState(), InstrumentState::Off);
    QVERIFY(client->received.isEmpty());
    QVERIFY(m_recorder->messages.isEmpty());
}

void tst_Network::dataWithoutClientIsDropped()
{
    enableNetwork();
    m_window->ExecuteCommand(QStringLiteral("ON"));
    m_window->ExecuteCommand(QStringLiteral("ANALYZE"));
    tick();
    tick();
    QCOMPARE(socket()->State(), SocketControl::Listening);
    QVERIFY2(m_recorder->messages.isEmpty(), qPrintable(m_recorder->messages.join('\n')));

    // A client that connects mid-run gets the lines from then on.
    auto client = connectClient();
    tick();
    QTRY_VERIFY(client->received.endsWith(QLatin1Char('\r')));
}

void tst_Network::oversizedLineKeepsServing()
{
    enableNetwork();
    m_window->ExecuteCommand(QStringLiteral("ON"));
    auto client = connectClient();

    client->send(QString(40000, QLatin1Char('A')));
    QTRY_VERIFY(!m_recorder->messages.isEmpty());
    for (const QString &message : std::as_const(m_recorder->messages))
        QCOMPARE(message, QStringLiteral("Error (frmMain - GetNetworkCommand) 6: Overflow"));

    // Whatever was left of the flood ends at the next terminator; then the channel serves on.
    client->send(QStringLiteral("\r"));
    client->send(QStringLiteral("PAUSE\r"));
    QTRY_VERIFY(client->received.endsWith(QStringLiteral("OK\r")));
    QCOMPARE(socket()->State(), SocketControl::Connected);
}

void tst_Network::finishedClientReceivesItsRun()
{
    enableNetwork();
    m_window->ExecuteCommand(QStringLiteral("ON"));
    auto client = connectClient();

    // As `printf 'ANALYZE 5\r' | nc -q1 host port` does.
    client->send(QStringLiteral("ANALYZE 5\r"));
    client->finishSending();
    QTRY_COMPARE(client->received, QStringLiteral("OK\r"));
    QTRY_COMPARE(status(), QStringLiteral("Listening ..."));
    tick();
    QTRY_COMPARE(client->received.count(QLatin1Char('\r')), 2);
    tick();
    QCOMPARE(m_window->instrumentState(), InstrumentState::Idle);
    // With the run over, the connection ends so that the client can finish.
    QVERIFY(client->waitDisconnected());
    QVERIFY(m_recorder->messages.isEmpty());
}

void tst_Network::finishedClientReadsWhileTheRunGoesOn()
{
    enableNetwork();
    m_window->ExecuteCommand(QStringLiteral("ON"));
    auto reader = connectClient();
    reader->send(QStringLiteral("ANALYZE\r"));
    reader->finishSending();
    QTRY_COMPARE(reader->received, QStringLiteral("OK\r"));

    QSignalSpy idle(socket(), &SocketControl::finishedClientIdle);
    QVERIFY(idle.wait());
    tick();
    QTRY_COMPARE(reader->received.count(QLatin1Char('\r')), 2);

    // A new client takes the place; the finished one is let go.
    auto next = connectClient();
    QVERIFY(reader->waitDisconnected());
    next->send(QStringLiteral("ABORT\r"));
    QTRY_COMPARE(next->received, QStringLiteral("OK\r"));
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
    m_window->ExecuteCommand(QStringLiteral("ON"));
    m_window->setNetworkEnabled(true);
    m_window->setServerPort(qint16(port));
    m_window->ResetNetworkConnection();

    QCOMPARE(m_recorder->messages.size(), 1);
    QVERIFY2(m_recorder->messages.first().startsWith(message), qPrintable(m_recorder->messages.first()));
    QCOMPARE(socket()->State(), SocketControl::Closed);
    QCOMPARE(status(), QString());
    QCOMPARE(m_window->instrumentState(), InstrumentState::Idle);
    QCOMPARE(m_window->ExecuteCommand(QStringLiteral("ANALYZE")), QStringLiteral("OK"));
}

QTEST_MAIN(tst_Network)
#include "tst_network.moc"
