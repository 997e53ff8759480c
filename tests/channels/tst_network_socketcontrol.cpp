#include "networktestsupport.h"

#include "socketcontrol.h"
#include "support/errorcapture.h"

#include <QNetworkInterface>
#include <QSignalSpy>
#include <QTest>
#include <memory>

using platform::SocketControl;

class tst_NetworkSocketControl : public QObject
{
    Q_OBJECT

private slots:
    void listenRefusesPorts_data();
    void listenRefusesPorts();
    void operationsNeedTheirState();
    void unacceptedRequestIsClosedAtOnce();
    void acceptedConnectionCarriesBytes();
    void peerHangUpRaisesClosed();
    void finishedClientKeepsReading();
    void stalledReaderIsDropped();
    void closingWhileTheClientSendsEndsInOrder();
    void servesIPv6Clients();

private:
    // Listens on a free port and connects a client whose request it accepts.
    template<typename Client = TestClient>
    std::unique_ptr<Client> acceptOne(SocketControl &control);
};

void tst_NetworkSocketControl::listenRefusesPorts_data()
{
    QTest::addColumn<qint32>("port");
    QTest::newRow("zero, a port the system would pick") << 0;
    QTest::newRow("negative") << -1234;
    QTest::newRow("beyond 65535") << 65536;
}

void tst_NetworkSocketControl::listenRefusesPorts()
{
    QFETCH(qint32, port);
    SocketControl control;
    control.setLocalPort(port);
    QCOMPARE(errorNumberOf([&] { control.Listen(); }), SocketControl::kInvalidPort);
    QCOMPARE(control.State(), SocketControl::Closed);
}

void tst_NetworkSocketControl::operationsNeedTheirState()
{
    SocketControl control;
    QCOMPARE(errorNumberOf([&] { control.SendData(QStringLiteral("x")); }), SocketControl::kWrongState);
    QCOMPARE(errorNumberOf([&] { control.GetData(); }), SocketControl::kWrongState);
    QCOMPARE(errorNumberOf([&] { control.Accept(1); }), platform::ErrorNumber::InvalidArgument);

    control.setLocalPort(freeServerPort());
    control.Listen();
    QCOMPARE(control.State(), SocketControl::Listening);
    QCOMPARE(errorNumberOf([&] { control.Listen(); }), SocketControl::kWrongState);
    QCOMPARE(errorNumberOf([&] { control.SendData(QStringLiteral("x")); }), SocketControl::kWrongState);

    // The port in use by a second control.
    SocketControl other;
    other.setLocalPort(control.LocalPort());
    QCOMPARE(errorNumberOf([&] { other.Listen(); }),
             SocketControl::kNetworkErrorBase + QAbstractSocket::AddressInUseError);

    control.Close();
    control.Close();
    QCOMPARE(control.State(), SocketControl::Closed);
}

void tst_NetworkSocketControl::unacceptedRequestIsClosedAtOnce()
{
    SocketControl control;
    control.setLocalPort(freeServerPort());
    control.Listen();
    QSignalSpy requests(&control, &SocketControl::connectionRequested);

    TestClient client(qint16(control.LocalPort()));
    QVERIFY(requests.wait());
    QVERIFY(client.waitDisconnected());
    QCOMPARE(control.State(), SocketControl::Listening);
}

template<typename Client>
std::unique_ptr<Client> tst_NetworkSocketControl::acceptOne(SocketControl &control)
{
    control.setLocalPort(freeServerPort());
    control.Listen();
    connect(&control, &SocketControl::connectionRequested, &control, [&control](qint32 requestId) {
        control.Close();
        control.Accept(requestId);
    });
    auto client = std::make_unique<Client>(qint16(control.LocalPort()));
    if (!client->waitConnected() || !QTest::qWaitFor([&] { return control.State() == SocketControl::Connected; }))
        qWarning("client not accepted");
    return client;
}

void tst_NetworkSocketControl::acceptedConnectionCarriesBytes()
{
    SocketControl control;
    auto client = acceptOne(control);

    // While one connection is carried, nobody else can connect.
    TestClient second(qint16(control.LocalPort()));
    QVERIFY(second.waitDisconnected());
    QCOMPARE(second.socket.error(), QAbstractSocket::ConnectionRefusedError);

    // One byte per character, both ways.
    QString arrived;
    connect(&control, &SocketControl::dataArrived, &control, [&] { arrived += control.GetData(); });
    client->socket.write(QByteArray("ANALYZE 5\r\xe9\x01", 12));
    QTRY_COMPARE(arrived, QStringLiteral("ANALYZE 5\r\u00e9\u0001"));
    control.SendData(QStringLiteral("OK\r\u00b5"));
    QTRY_COMPARE(client->received.toLatin1(), QByteArray("OK\r\xb5"));
}

void tst_NetworkSocketControl::peerHangUpRaisesClosed()
{
    SocketControl control;
    auto client = acceptOne(control);
    QSignalSpy closed(&control, &SocketControl::closed);
    QSignalSpy errors(&control, &SocketControl::errorOccurred);

    client.reset();
    QVERIFY(closed.wait());
    QCOMPARE(control.State(), SocketControl::Closing);
    QVERIFY(errors.isEmpty());
    control.Close();
    QCOMPARE(control.State(), SocketControl::Closed);
}

void tst_NetworkSocketControl::finishedClientKeepsReading()
{
    SocketControl control;
    auto client = acceptOne(control);
    QSignalSpy closed(&control, &SocketControl::closed);
    QSignalSpy idle(&control, &SocketControl::finishedClientIdle);

    client->finishSending();
    QVERIFY(closed.wait());
    QCOMPARE(control.State(), SocketControl::Closing);
    QVERIFY(control.hasReader());

    // The owner listens again; output still reaches the finished client.
    control.Close();
    control.Listen();
    control.SendData(QStringLiteral("line\r"));
    QTRY_COMPARE(client->received, QStringLiteral("line\r"));

    QVERIFY(idle.wait());
    QVERIFY(control.hasReader());
    control.releaseFinishedClient();
    QVERIFY(client->waitDisconnected());
    QVERIFY(!control.hasReader());
    QCOMPARE(errorNumberOf([&] { control.SendData(QStringLiteral("x")); }), SocketControl::kWrongState);
    QCOMPARE(control.State(), SocketControl::Listening);
}

void tst_NetworkSocketControl::stalledReaderIsDropped()
{
    SocketControl control;
    auto client = acceptOne(control);
    client->stopReading();
    QSignalSpy closed(&control, &SocketControl::closed);
    // The client reads nothing while the loop runs (no events are handled), so the output
    // fills the system's buffers and then the control's queue.
    const QString line(1000, QLatin1Char('x'));
    int number = 0;
    for (int sent = 0; sent < 64 * 1024 && number == 0; ++sent)
        number = errorNumberOf([&] { control.SendData(line); });
    QCOMPARE(number, SocketControl::kNetworkErrorBase + QAbstractSocket::SocketResourceError);
    // Let go at once, so nothing more is queued for it; its owner hears of it afterwards.
    QVERIFY(!control.hasReader());
    QVERIFY(closed.isEmpty());
    QVERIFY(closed.wait());
    QCOMPARE(control.State(), SocketControl::Closing);
}

void tst_NetworkSocketControl::closingWhileTheClientSendsEndsInOrder()
{
    SocketControl control;
    auto client = acceptOne<StreamClient>(control);
    // Input left unread at the close would make the system end the connection with a
    // reset, which throws away what the client has not received yet.
    QVERIFY(client->sendUntilFull() > 0);
    const QByteArray reply = "Error 2: Illegal Command - XXXX\r";
    control.SendData(QString::fromLatin1(reply));
    control.Close();
    QVERIFY(!control.hasReader());

    QVERIFY(QTest::qWaitFor([&] { return client->read() != StreamClient::Ending::Open; }));
    QCOMPARE(client->read(), StreamClient::Ending::EndOfStream);
    QCOMPARE(client->received(), reply);
}

void tst_NetworkSocketControl::servesIPv6Clients()
{
    bool hasIPv6Loopback = false;
    for (const QHostAddress &address : QNetworkInterface::allAddresses())
        hasIPv6Loopback = hasIPv6Loopback || address == QHostAddress::LocalHostIPv6;
    if (!hasIPv6Loopback)
        QSKIP("this machine has no IPv6 loopback");

    SocketControl control;
    control.setLocalPort(freeServerPort());
    control.Listen();
    QSignalSpy requests(&control, &SocketControl::connectionRequested);
    TestClient client(qint16(control.LocalPort()), QHostAddress::LocalHostIPv6);
    QVERIFY(requests.wait());
}

QTEST_GUILESS_MAIN(tst_NetworkSocketControl)
#include "tst_network_socketcontrol.moc"
