// The front panel without a window: every control an item of the conversation topic, read,
// set with the window's checks, and followed; and the program around it links no widgets.

#include "headlessinstrument.h"
#include "instrument.h"
#include "panelitems.h"
#include "settingchoices.h"

#include "support/networktestsupport.h"
#include "support/ddepeer.h"

#include <QProcess>
#include <QTcpSocket>
#include <QTest>
#include <memory>

namespace {
const QString kApplication = QStringLiteral("Kestrin");
} // namespace

class tst_PanelItems : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void pokes_data();
    void pokes();
    void panelFollowsTheInstrument();
    void settingsReachTheInstrumentAndItsChannels();
    void programLinksNoWidgets();

private:
    QByteArray request(const QByteArray &item) { return m_peer->ask("REQUEST " + item); }

    std::unique_ptr<HeadlessInstrument> m_instrument;
    std::unique_ptr<RawPeer> m_peer;
};

void tst_PanelItems::init()
{
    m_instrument = std::make_unique<HeadlessInstrument>();
    m_peer = std::make_unique<RawPeer>(kApplication);
    // The panel is reached through the conversation, also while the instrument is off.
    QCOMPARE(m_peer->ask("INITIATE Kestrin"), QByteArray("ACK"));
}

void tst_PanelItems::cleanup()
{
    m_peer.reset();
    m_instrument.reset();
}

void tst_PanelItems::pokes_data()
{
    QTest::addColumn<QByteArray>("item");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("reply");
    // Item and value read afterwards: the poked one, or the other of an option pair.
    QTest::addColumn<QByteArray>("readItem");
    QTest::addColumn<QByteArray>("value");

    const QByteArray checkRefused = "NACK A check box reads 1 (ticked) or 0 (clear).";
    QTest::newRow("a box takes any text") << QByteArray("txtFrequency") << QByteArray("fast") << QByteArray("ACK")
                                          << QByteArray("txtFrequency") << QByteArray("fast");
    QTest::newRow("check ticked") << QByteArray("chkAbsVal") << QByteArray("1") << QByteArray("ACK")
                                  << QByteArray("chkAbsVal") << QByteArray("1");
    QTest::newRow("check neither 1 nor 0") << QByteArray("chkPointNumber") << QByteArray("yes") << checkRefused
                                           << QByteArray("chkPointNumber") << QByteArray("0");
    QTest::newRow("option chosen clears its pair")
        << QByteArray("opGaussian") << QByteArray("1") << QByteArray("ACK") << QByteArray("opFlat") << QByteArray("0");
    QTest::newRow("option cleared chooses its pair") << QByteArray("opContinuous") << QByteArray("0")
                                                     << QByteArray("ACK") << QByteArray("opFinite") << QByteArray("1");
    QTest::newRow("option neither 1 nor 0")
        << QByteArray("opFile") << QByteArray("True")
        << QByteArray("NACK An option button reads 1 (chosen) or 0 (the other of its pair chosen).")
        << QByteArray("opRandom") << QByteArray("1");
    QTest::newRow("list entry") << QByteArray("frmCommSettings.cmbParity") << QByteArray("Even") << QByteArray("ACK")
                                << QByteArray("frmCommSettings.cmbParity") << QByteArray("Even");
    QTest::newRow("not an entry of the list") << QByteArray("frmCommSettings.cmbDataBits") << QByteArray("9")
                                              << QByteArray("NACK Not an entry of the list: 4, 5, 6, 7, 8.")
                                              << QByteArray("frmCommSettings.cmbDataBits") << QByteArray("8");
    QTest::newRow("named format") << QByteArray("frmXmitFormats.cmbTokenSep") << QByteArray("<Tab>")
                                  << QByteArray("ACK") << QByteArray("frmXmitFormats.cmbTokenSep")
                                  << QByteArray("<Tab>");
    QTest::newRow("typed format, blanks trimmed")
        << QByteArray("frmXmitFormats.cmbTokenSep") << QByteArray(" ; ") << QByteArray("ACK")
        << QByteArray("frmXmitFormats.cmbTokenSep") << QByteArray(";");
    QTest::newRow("empty terminator keeps the one in force")
        << QByteArray("frmXmitFormats.cmbLineTerm") << QByteArray("  ") << QByteArray("ACK")
        << QByteArray("frmXmitFormats.cmbLineTerm") << QByteArray("<CR>");
    QTest::newRow("server port out of range") << QByteArray("frmNetworkSettings.txtServerPort") << QByteArray("40000")
                                              << "NACK " + SettingChoices::kServerPortRefusal.toLatin1()
                                              << QByteArray("frmNetworkSettings.txtServerPort") << QByteArray("1234");
    QTest::newRow("server port that is no number keeps the port")
        << QByteArray("frmNetworkSettings.txtServerPort") << QByteArray("abc") << QByteArray("ACK")
        << QByteArray("frmNetworkSettings.txtServerPort") << QByteArray("1234");
    QTest::newRow("state label is read-only") << QByteArray("lblState") << QByteArray("Idle")
                                              << QByteArray("NACK refused") << QByteArray("lblState") << QByteArray();
    QTest::newRow("output is read-only") << QByteArray("txtOutput") << QByteArray("OK") << QByteArray("NACK refused")
                                         << QByteArray("txtOutput") << QByteArray();
}

void tst_PanelItems::pokes()
{
    QFETCH(QByteArray, item);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, readItem);
    QTEST(m_peer->ask("POKE " + item + ' ' + text), "reply");
    QFETCH(QByteArray, value);
    QCOMPARE(request(readItem), value.isEmpty() ? QByteArray("DATA") : "DATA " + value);
}

void tst_PanelItems::panelFollowsTheInstrument()
{
    QCOMPARE(request("sbrMessage"), QByteArray("DATA DDE Link Initiated"));
    QCOMPARE(m_peer->ask("ADVISE lblState"), QByteArray("DATA"));
    QCOMPARE(m_peer->ask("EXECUTE ON"), QByteArray("UPDATE lblState Idle"));
    QCOMPARE(m_peer->nextLine(), QByteArray("ACK"));

    // ANALYZE n sets the panel up for a run of one line of n points, as the window shows it.
    QCOMPARE(m_peer->ask("EXECUTE ANALYZE 3"), QByteArray("UPDATE lblState Analyzing ..."));
    QCOMPARE(m_peer->nextLine(), QByteArray("ACK"));
    QCOMPARE(request("txtInput"), QByteArray("DATA ANALYZE"));
    QCOMPARE(request("txtPtsPerLine"), QByteArray("DATA 3"));
    QCOMPARE(request("opFinite"), QByteArray("DATA 1"));
    QCOMPARE(request("txtNumPts"), QByteArray("DATA 1"));
    QCOMPARE(m_instrument->panel().statusText(), QStringLiteral("Running ..."));

    // OFF ends every conversation, as the window's does; the panel is reached again to switch on.
    QCOMPARE(m_peer->ask("EXECUTE OFF"), QByteArray("UPDATE lblState Off"));
    QVERIFY(m_peer->waitForClose());
    RawPeer again(kApplication);
    QCOMPARE(again.ask("INITIATE Kestrin"), QByteArray("ACK"));
    QCOMPARE(again.ask("EXECUTE ON"), QByteArray("ACK"));
    QCOMPARE(m_instrument->instrument().state(), InstrumentState::Idle);
}

void tst_PanelItems::settingsReachTheInstrumentAndItsChannels()
{
    const QByteArray port = QByteArray::number(freeServerPort());
    for (const QByteArray &poke :
         {"POKE frmNetworkSettings.txtServerPort " + port, QByteArray("POKE frmNetworkSettings.chkEnabled 1"),
          QByteArray("POKE frmXmitFormats.cmbTokenSep <Tab>"), QByteArray("POKE chkPointNumber 1"),
          QByteArray("POKE txtPtsPerLine 2"), QByteArray("POKE opFinite 1"), QByteArray("POKE txtNumPts 1")})
        QCOMPARE(m_peer->ask(poke), QByteArray("ACK"));
    QCOMPARE(m_peer->ask("EXECUTE ON"), QByteArray("ACK"));

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port.toUShort());
    QVERIFY(client.waitForConnected(3000));
    client.write("ANALYZE\r");
    QByteArray received;
    QVERIFY(QTest::qWaitFor([&] {
        received += client.readAll();
        return received.count('\r') >= 2;
    }));
    const QList<QByteArray> lines = received.split('\r');
    QCOMPARE(lines.at(0), QByteArray("OK"));
    QVERIFY2(lines.at(1).startsWith("1\t") && lines.at(1).count('\t') == 2, lines.at(1).constData());
}

void tst_PanelItems::programLinksNoWidgets()
{
    const QString program = qEnvironmentVariable("TARVOLIN_PROGRAM_DIR") + QStringLiteral("/kestrin-headless");
    QProcess ldd;
    ldd.start(QStringLiteral("ldd"), {program});
    QVERIFY(ldd.waitForFinished(10000));
    const QByteArray libraries = ldd.readAllStandardOutput();
    QVERIFY2(libraries.contains("libQt6Core"), libraries.constData());
    QVERIFY2(!libraries.contains("libQt6Widgets") && !libraries.contains("libQt6Gui"), libraries.constData());
}

QTEST_GUILESS_MAIN(tst_PanelItems)
#include "tst_panelitems.moc"
