// The serial and TCP channels side by side: what one peer sends, and a reset of one channel,
// never reach a command of the other.

#include "support/rs232fixture.h"

#include "commandbuffer.h"

#include "ddesource.h"

namespace {

enum class Action { Tcp, Serial, ResetSerial, ResetNetwork };

struct Step
{
    Action action;
    QByteArray bytes;
};

Step overTcp(const QByteArray &bytes)
{
    return {Action::Tcp, bytes};
}
Step overSerial(const QByteArray &bytes)
{
    return {Action::Serial, bytes};
}

// More than one command may hold, sent over TCP without a terminator.
const QByteArray kUnterminatedFlood(40000, 'X');

} // namespace

Q_DECLARE_METATYPE(Step)

class tst_CommandChannels : public QObject
{
    Q_OBJECT

private slots:
    void eachChannelCutsItsOwnCommands_data();
    void eachChannelCutsItsOwnCommands();
    void switchingOnOpensTheChannelsInOrder();

private:
    // Everything the TCP client received up to now, taken as Rs232Fixture::repliesSoFar()
    // does on the serial line.
    static QByteArray tcpRepliesSoFar(TestClient &client);
};

QByteArray tst_CommandChannels::tcpRepliesSoFar(TestClient &client)
{
    static const QString markerReply = QStringLiteral("Error 2: Illegal Command - ");
    client.send(QStringLiteral("MARKER\r"));
    if (!QTest::qWaitFor([&] { return client.received.endsWith(QLatin1String("MARKER\r")); }))
        return "(no reply to the marker)";
    return client.received.left(client.received.lastIndexOf(markerReply)).toLatin1();
}

void tst_CommandChannels::eachChannelCutsItsOwnCommands_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<QByteArray>("serialReplies");
    QTest::addColumn<QByteArray>("tcpReplies");
    QTest::addColumn<QString>("message");

    // A client that trickles a byte at a time (one per 100 ms, say) sends between the
    // commands of the other channel.
    QTest::newRow("TCP trickles a word while serial commands run")
        << QList<Step>{overTcp("H"), overSerial("PAUSE\r"), overTcp("E"),   overSerial("PAUSE\r"),
                       overTcp("L"), overSerial("PAUSE\r"), overTcp("LO\r")}
        << QByteArray("OK\rOK\rOK\r") << QByteArray("Error 2: Illegal Command - HELLO\r") << QString();
    QTest::newRow("serial trickles a word while TCP commands run")
        << QList<Step>{overSerial("H"), overTcp("PAUSE\r"), overSerial("I"), overTcp("PAUSE\r"), overSerial("\r")}
        << QByteArray("Error 2: Illegal Command - HI\r") << QByteArray("OK\rOK\r") << QString();
    QTest::newRow("an echoing serial far end leaves a TCP PAUSE alone")
        << QList<Step>{overSerial("O"), overTcp("PAUSE\r"), overSerial("K\r")}
        << QByteArray("Error 2: Illegal Command - OK\r") << QByteArray("OK\r") << QString();
    // The over-long line is dropped on its own channel only. (A serial line carries a flood
    // only at its own pace.)
    QTest::newRow("TCP floods without terminator while serial commands run")
        << QList<Step>{overTcp(kUnterminatedFlood), overSerial("PAUSE\r"), overTcp("\rPAUSE\r"), overSerial("PAUSE\r")}
        << QByteArray("OK\rOK\r") << QByteArray("OK\r") << "Error (frmMain - GetNetworkCommand) 6: Overflow";
    // A reset empties its own channel's partial command only.
    QTest::newRow("serial reset keeps a partial TCP command")
        << QList<Step>{overTcp("PAU"), {Action::ResetSerial, {}}, overTcp("SE\r")} << QByteArray() << QByteArray("OK\r")
        << QString();
    QTest::newRow("network reset keeps a partial serial command")
        << QList<Step>{overSerial("PAU"), {Action::ResetNetwork, {}}, overSerial("SE\r")} << QByteArray("OK\r")
        << QByteArray() << QString();
}

void tst_CommandChannels::eachChannelCutsItsOwnCommands()
{
    QFETCH(QList<Step>, steps);
    QFETCH(QString, message);
    Rs232Fixture f;
    auto client = f.switchOnWithClient();
    QVERIFY(f.port->PortOpen());

    for (const Step &step : std::as_const(steps)) {
        switch (step.action) {
        case Action::Tcp: QVERIFY(f.sendPiece(*client, QString::fromLatin1(step.bytes))); break;
        case Action::Serial: QVERIFY(f.sendChunk(step.bytes)); break;
        case Action::ResetSerial:
            f.window->ResetRS232Port();
            QVERIFY(f.port->PortOpen());
            break;
        case Action::ResetNetwork:
            // The client is dropped; the next one starts afresh.
            f.window->ResetNetworkConnection();
            QVERIFY(client->waitDisconnected());
            QTRY_COMPARE(f.socket()->State(), platform::SocketControl::Listening);
            QCOMPARE(client->received, QString());
            client = f.connectClient();
            break;
        }
    }
    QTEST(f.repliesSoFar(), "serialReplies");
    QTEST(tcpRepliesSoFar(*client), "tcpReplies");
    if (message.isEmpty()) {
        QCOMPARE(f.recorder.messages, QStringList());
    } else {
        QCOMPARE(f.recorder.messages.size(), 1);
        QVERIFY2(f.recorder.messages.first().startsWith(message), qPrintable(f.recorder.messages.first()));
    }
}

void tst_CommandChannels::switchingOnOpensTheChannelsInOrder()
{
    Rs232Fixture f;
    auto *source = f.window->findChild<platform::DdeSource *>();
    QVERIFY(source);
    QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ON")), QStringLiteral("OK"));
    QCOMPARE(f.window->ExecuteCommand(QStringLiteral("OFF")), QStringLiteral("OK"));
    QCOMPARE(source->linkMode(), platform::DdeSource::kLinkModeNone);

    // Runs where the TCP server's reset lets waiting events run during ON.
    struct Seen
    {
        bool ran = false;
        bool serialPortOpen = false;
        int linkMode = -1;
        InstrumentState state = InstrumentState::Idle;
    } seen;
    QMetaObject::invokeMethod(
        f.window.get(),
        [&] {
            seen = {true, f.port->PortOpen(), source->linkMode(), f.window->instrumentState()};
        },
        Qt::QueuedConnection);
    QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ON")), QStringLiteral("OK"));
    QVERIFY(seen.ran);
    QVERIFY2(seen.serialPortOpen, "the serial port is open before the TCP server lets events run");
    QCOMPARE(seen.linkMode, platform::DdeSource::kLinkModeNone);
    QCOMPARE(seen.state, InstrumentState::Off);
    // Conversations are accepted again once the others are up.
    QCOMPARE(source->linkMode(), platform::DdeSource::kLinkModeSource);
    QVERIFY(f.port->PortOpen());
}

QTEST_MAIN(tst_CommandChannels)
#include "tst_commandchannels.moc"
