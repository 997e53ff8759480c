// The instrument's DDE command channel: conversations with frmMain as "Kestrin|Kestrin",
// executes as commands, and the item txtOutput following every reply and data line.

#include "support/ddepeer.h"

#include "support/networktestsupport.h"
#include "support/instrumentwindow.h"
#include "ddedirectory.h"
#include "ddeerrors.h"
#include "ddeprotocol.h"
#include "ddesource.h"
#include "ddetextbox.h"
#include "support/errorcapture.h"
#include "support/messagerecorder.h"

#include <QAction>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <memory>
#include <vector>

using namespace platform;

namespace {

const QString kLinkTopic = QStringLiteral("Kestrin|Kestrin");
const QString kItem = QStringLiteral("txtOutput");

// A client of the instrument that records every update of its box.
struct Client
{
    Client()
    {
        box.setLinkTopic(kLinkTopic);
        box.setLinkItem(kItem);
        QObject::connect(&box, &DdeTextBox::itemUpdated, &box, [this](const QString &text) { updates << text; });
        QObject::connect(&box, &DdeTextBox::LinkError, &box, [this](int code) { linkErrors << code; });
    }
    // The number of the failure, 0 when the call succeeded.
    int link()
    {
        return errorNumberOf([this] { box.setLinkMode(DdeTextBox::kLinkModeAutomatic); });
    }
    int execute(const QString &command)
    {
        return errorNumberOf([&] { box.LinkExecute(command); });
    }

    DdeTextBox box;
    QStringList updates;
    QList<int> linkErrors;
};

} // namespace

class tst_KestrinDde : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void refusedBeforeTheFirstSwitchOn();
    void refusedByThePlatformAfterSwitchOff();
    void executes_data();
    void executes();
    void aRunThatCannotStartIsRefused_data();
    void aRunThatCannotStartIsRefused();
    void everyByteOfACommandReachesTheClients_data();
    void everyByteOfACommandReachesTheClients();
    void offFromOneConversationEndsAll();
    void hundredConversationsReceiveEveryLine();
    void executesWhileARunStreams();
    void killedClientLeavesTheOthersServed();
    void secondInstanceServesNoConversations();
    void itemsAreServedButNotPoked();

private:
    void switchOn();

    std::unique_ptr<MessageRecorder> m_messages;
    std::unique_ptr<PanelInstrument> m_instrument;
};

void tst_KestrinDde::init()
{
    m_messages = std::make_unique<MessageRecorder>();
    m_instrument = std::make_unique<PanelInstrument>();
    // The generator is ticked by hand.
    m_instrument->setText("txtFrequency", QStringLiteral("0.04"));
}

void tst_KestrinDde::cleanup()
{
    m_instrument.reset();
    QVERIFY2(m_messages->messages.isEmpty(), qPrintable(m_messages->messages.join(QLatin1Char('\n'))));
    m_messages.reset();
}

void tst_KestrinDde::switchOn()
{
    m_instrument->click("btnOnOff");
    QCOMPARE(m_instrument->window->instrumentState(), InstrumentState::Idle);
}

void tst_KestrinDde::refusedBeforeTheFirstSwitchOn()
{
    Client client;
    QCOMPARE(client.link(), DdeErrorNumber::NoConversation);
    QCOMPARE(m_instrument->status(), QStringLiteral("DDE Link Initiated"));
    QCOMPARE(client.box.linkMode(), DdeTextBox::kLinkModeNone);

    switchOn();
    QCOMPARE(client.link(), 0);
    QCOMPARE(client.box.text(), QStringLiteral("OK"));
    client.box.setLinkMode(DdeTextBox::kLinkModeNone);
    QTRY_COMPARE(m_instrument->status(), QStringLiteral("DDE Link Terminated"));
}

void tst_KestrinDde::refusedByThePlatformAfterSwitchOff()
{
    switchOn();
    m_instrument->click("btnOnOff");
    m_instrument->control<platform::StatusBar>("sbrMessage")->setSimpleText(QStringLiteral("untouched"));
    Client client;
    QCOMPARE(client.link(), DdeErrorNumber::NoConversation);
    QCOMPARE(m_instrument->status(), QStringLiteral("untouched"));
}

void tst_KestrinDde::executes_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("item");
    QTest::newRow("analyze with a count") << QStringList() << "ANALYZE 5" << 0 << "OK";
    QTest::newRow("resume while idle") << QStringList() << "RESUME" << DdeErrorNumber::Refused
                                       << "Error 2: Illegal Command - RESUME";
    QTest::newRow("a count beyond 16 bits")
        << QStringList() << "ANALYZE 40000" << DdeErrorNumber::Refused << "Error 2: Illegal Command - ANALYZE";
    QTest::newRow("pause in lower case") << QStringList{"ANALYZE"} << "pause" << 0 << "OK";
    QTest::newRow("empty") << QStringList{"ANALYZE"} << "" << DdeErrorNumber::Refused << "OK";
    QTest::newRow("spaces only") << QStringList{"ANALYZE"} << "   " << DdeErrorNumber::Refused << "OK";
    QTest::newRow("unknown word") << QStringList() << "CALIBRATE" << DdeErrorNumber::Refused
                                  << "Error 2: Illegal Command - CALIBRATE";
    QTest::newRow("line break inside") << QStringList() << "ABORT\nON" << DdeErrorNumber::Refused
                                       << "Error 2: Illegal Command - ABORT\nON";
}

void tst_KestrinDde::executes()
{
    QFETCH(QStringList, before);
    QFETCH(QString, command);
    QFETCH(int, number);
    QFETCH(QString, item);

    switchOn();
    Client client;
    QCOMPARE(client.link(), 0);
    for (const QString &earlier : before)
        QCOMPARE(client.execute(earlier), 0);
    const int updatesBefore = client.updates.size();
    QCOMPARE(client.execute(command), number);
    QCOMPARE(m_instrument->text("txtOutput"), item);
    QTRY_COMPARE(client.box.text(), m_instrument->text("txtOutput"));
    // A blank execute gives no reply, so the item is not written at all.
    QCOMPARE(client.updates.size() - updatesBefore, command.trimmed().isEmpty() ? 0 : 1);

    if (command == QLatin1String("ANALYZE 5")) {
        m_instrument->tick();
        QTRY_COMPARE(client.box.text().split(QLatin1Char(',')).size(), 5);
        QCOMPARE(client.box.text(), m_instrument->text("txtOutput"));
    }
}

void tst_KestrinDde::aRunThatCannotStartIsRefused_data()
{
    QTest::addColumn<QString>("frequency");
    QTest::addColumn<QString>("item");
    QTest::newRow("frequency 0") << "0"
                                 << "Error 11: Result code not understood";
    QTest::newRow("interval beyond 16 bits") << "0.001"
                                             << "Error 6: Result code not understood";
}

void tst_KestrinDde::aRunThatCannotStartIsRefused()
{
    QFETCH(QString, frequency);
    QFETCH(QString, item);
    switchOn();
    Client client;
    QCOMPARE(client.link(), 0);
    m_instrument->setText("txtFrequency", frequency);
    // The reply is no "Illegal Command", yet the execute is refused: its code is not 0.
    QCOMPARE(client.execute(QStringLiteral("ANALYZE")), DdeErrorNumber::Refused);
    QCOMPARE(m_instrument->text("txtOutput"), item);
    QCOMPARE(m_instrument->window->instrumentState(), InstrumentState::Idle);
    m_instrument->setText("txtFrequency", QStringLiteral("0.04"));
    QCOMPARE(client.execute(QStringLiteral("ANALYZE")), 0);
}

void tst_KestrinDde::everyByteOfACommandReachesTheClients_data()
{
    QTest::addColumn<bool>("overTcp");
    QTest::addColumn<QString>("command");
    const QString nul(QChar(0));
    const QString commands[][2] = {
        {QStringLiteral("nul alone"), nul},
        {QStringLiteral("nul inside a word"), QStringLiteral("PA") + nul + QStringLiteral("USE")},
        {QStringLiteral("0xff"), QString::fromLatin1("\xff")},
        {QStringLiteral("control bytes"), QString::fromLatin1("\x1b[0M\x07\x7f")},
    };
    for (const auto &[name, command] : commands) {
        QTest::addRow("TCP, %s", qPrintable(name)) << true << command;
        QTest::addRow("DDE, %s", qPrintable(name)) << false << command;
    }
}

void tst_KestrinDde::everyByteOfACommandReachesTheClients()
{
    QFETCH(bool, overTcp);
    QFETCH(QString, command);
    const qint16 port = freeServerPort();
    m_instrument->window->setNetworkEnabled(true);
    m_instrument->window->setServerPort(port);
    switchOn();
    Client linked;
    QCOMPARE(linked.link(), 0);

    // The reply quotes the command byte for byte, and it goes into txtOutput.
    const QString reply = QStringLiteral("Error 2: Illegal Command - ") + command;
    if (overTcp) {
        TestClient terminal(port);
        QVERIFY(terminal.waitConnected());
        terminal.send(command + QLatin1Char('\r'));
        QTRY_COMPARE(m_instrument->text("txtOutput"), reply);
    } else {
        Client commander;
        QCOMPARE(commander.link(), 0);
        QCOMPARE(commander.execute(command), DdeErrorNumber::Refused);
        QCOMPARE(m_instrument->text("txtOutput"), reply);
    }

    QTRY_COMPARE(linked.updates.size(), 2);
    QCOMPARE(linked.updates.last(), reply);
    QCOMPARE(linked.box.linkMode(), DdeTextBox::kLinkModeAutomatic);
    QVERIFY(linked.linkErrors.isEmpty());
    // A link opened while the item holds it works and shows it.
    Client late;
    QCOMPARE(late.link(), 0);
    QCOMPARE(late.box.text(), reply);
    QCOMPARE(late.execute(QStringLiteral("PAUSE")), 0);
    QTRY_COMPARE(linked.updates.last(), QStringLiteral("OK"));
}

void tst_KestrinDde::offFromOneConversationEndsAll()
{
    switchOn();
    std::vector<std::unique_ptr<Client>> clients(10);
    for (auto &client : clients) {
        client = std::make_unique<Client>();
        QCOMPARE(client->link(), 0);
    }
    QCOMPARE(clients.front()->execute(QStringLiteral("OFF")), 0);
    QCOMPARE(m_instrument->window->instrumentState(), InstrumentState::Off);
    // Each got the reply to OFF (after the text at linking), then the terminate.
    for (const auto &client : clients) {
        QTRY_COMPARE(client->box.linkMode(), DdeTextBox::kLinkModeNone);
        QCOMPARE(client->updates, QStringList({"OK", "OK"}));
    }
    // As after OFF from the panel: the ends of the conversations leave no status behind.
    QCOMPARE(m_instrument->status(), QString());
    QCOMPARE(clients.back()->execute(QStringLiteral("ON")), DdeErrorNumber::NoConversation);
    QCOMPARE(clients.back()->link(), DdeErrorNumber::NoConversation);
    QTest::qWait(50);
    for (const auto &client : clients)
        QVERIFY(client->linkErrors.isEmpty());

    // Switched on again from the front panel, clients connect afresh.
    switchOn();
    QCOMPARE(clients.back()->link(), 0);
}

void tst_KestrinDde::hundredConversationsReceiveEveryLine()
{
    constexpr int kClients = 100;
    constexpr int kLines = 40;
    switchOn();
    m_instrument->control<QCheckBox>("chkPointNumber")->setChecked(true);
    std::vector<std::unique_ptr<Client>> clients(kClients);
    for (auto &client : clients) {
        client = std::make_unique<Client>();
        QCOMPARE(client->link(), 0);
    }
    QCOMPARE(clients.front()->execute(QStringLiteral("ANALYZE")), 0);

    QStringList written{QStringLiteral("OK")};
    for (int i = 0; i < kLines; ++i) {
        m_instrument->tick();
        written << m_instrument->text("txtOutput");
    }
    for (const auto &client : clients) {
        QTRY_COMPARE(client->updates.size(), kLines + 2);
        QCOMPARE(client->updates.mid(1), written); // the first is the text at the time of linking
    }
    QVERIFY(written.last().startsWith(QStringLiteral("%1,").arg(kLines)));
}

void tst_KestrinDde::executesWhileARunStreams()
{
    switchOn();
    m_instrument->control<QCheckBox>("chkPointNumber")->setChecked(true);
    m_instrument->setText("txtFrequency", QStringLiteral("200"));
    Client commander;
    Client watcher;
    QCOMPARE(commander.link(), 0);
    QCOMPARE(watcher.link(), 0);
    QCOMPARE(commander.execute(QStringLiteral("ANALYZE")), 0);
    for (int i = 0; i < 20; ++i) {
        QCOMPARE(commander.execute(QStringLiteral("PAUSE")), 0);
        QCOMPARE(commander.execute(QStringLiteral("PAUSE")), DdeErrorNumber::Refused);
        QCOMPARE(commander.execute(QStringLiteral("RESUME")), 0);
        QTest::qWait(5);
    }
    QCOMPARE(commander.execute(QStringLiteral("ABORT")), 0);
    QTRY_COMPARE(watcher.updates.last(), QStringLiteral("OK"));

    // The watcher saw the replies and the data lines in the order they were written: the
    // point numbers of the lines only grow, one by one.
    int lastPoint = 0;
    int lines = 0;
    for (const QString &update : std::as_const(watcher.updates)) {
        bool isLine = false;
        const int point = update.section(QLatin1Char(','), 0, 0).toInt(&isLine);
        if (!isLine)
            continue;
        QCOMPARE(point, lastPoint + 1);
        lastPoint = point;
        ++lines;
    }
    QVERIFY(lines > 0);
    QCOMPARE(watcher.updates, commander.updates);
}

void tst_KestrinDde::killedClientLeavesTheOthersServed()
{
    const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
    if (socat.isEmpty())
        QSKIP("socat is not installed");
    switchOn();
    Client survivor;
    QCOMPARE(survivor.link(), 0);

    QProcess killed;
    killed.start(
        socat, {QStringLiteral("-"), QStringLiteral("UNIX-CONNECT:")
                                         + DdeDirectory::socketPath(DdeDirectory::path(), QStringLiteral("Kestrin"))});
    QVERIFY(killed.waitForStarted());
    killed.write("INITIATE Kestrin\nADVISE txtOutput\nEXECU");
    QByteArray answers;
    QTRY_VERIFY((answers += killed.readAllStandardOutput()).contains("DATA OK"));
    QCOMPARE(answers, QByteArray("ACK\nDATA OK\n"));
    m_instrument->control<platform::StatusBar>("sbrMessage")->setSimpleText(QString());
    killed.kill();
    QVERIFY(killed.waitForFinished());
    QTRY_COMPARE(m_instrument->status(), QStringLiteral("DDE Link Terminated"));
    QCOMPARE(m_instrument->window->findChild<DdeSource *>()->conversationCount(), 1);

    QCOMPARE(survivor.execute(QStringLiteral("ANALYZE 2")), 0);
    m_instrument->tick();
    QTRY_COMPARE(survivor.box.text().count(QLatin1Char(',')), 1);
}

void tst_KestrinDde::secondInstanceServesNoConversations()
{
    switchOn();
    PanelInstrument second;
    QVERIFY2(second.status().contains(QLatin1String("serves no conversations")), qPrintable(second.status()));
    second.click("btnOnOff");
    // Switching on replaces the status text; the reason stays beside it.
    QVERIFY(!second.status().contains(QLatin1String("serves no conversations")));
    const auto *statusBar = second.control<platform::StatusBar>("sbrMessage");
    QVERIFY2(statusBar->notice().contains(QLatin1String("serves no conversations")), qPrintable(statusBar->notice()));
    QVERIFY(!statusBar->findChild<QWidget *>(QStringLiteral("notice"))->isHidden());
    QVERIFY(m_instrument->control<platform::StatusBar>("sbrMessage")->notice().isEmpty());

    Client client;
    QCOMPARE(client.link(), 0);
    QCOMPARE(client.execute(QStringLiteral("ANALYZE")), 0);
    QCOMPARE(m_instrument->window->instrumentState(), InstrumentState::Analyzing);
    QCOMPARE(second.window->instrumentState(), InstrumentState::Idle);
}

void tst_KestrinDde::itemsAreServedButNotPoked()
{
    switchOn();
    RawPeer peer(QStringLiteral("kestrin"));
    QCOMPARE(peer.ask("INITIATE KESTRIN"), QByteArray("ACK"));
    QCOMPARE(peer.ask("REQUEST txtInput"), QByteArray("DATA ON"));
    QCOMPARE(peer.ask("POKE txtOutput forged line"), QByteArray("NACK refused"));
    QCOMPARE(peer.ask("REQUEST txtOutput"), QByteArray("DATA OK"));
    QCOMPARE(peer.ask("EXECUTE analyze"), QByteArray("ACK"));
    QCOMPARE(peer.ask("REQUEST txtInput"), QByteArray("DATA ANALYZE"));

    // The boxes of the settings dialogs are not the window's items.
    m_instrument->window->findChild<QAction *>(QStringLiteral("mnuEditNetworkSettings"))->trigger();
    QVERIFY(m_instrument->window->findChild<QLineEdit *>(QStringLiteral("txtServerPort")));
    QCOMPARE(peer.ask("REQUEST txtServerPort"), QByteArray("NACK no such item"));

    // The reply to the longest execute is too long for a line: it is never sent, not even cut.
    QCOMPARE(peer.ask("ADVISE txtOutput"), QByteArray("DATA OK"));
    const QByteArray longest(DdeProtocol::kMaximumLineBytes - int(qstrlen("EXECUTE ")), 'x');
    QCOMPARE(peer.ask("EXECUTE " + longest), QByteArray("TOOLONG txtOutput"));
    QCOMPARE(peer.nextLine(), QByteArray("NACK refused"));
    QCOMPARE(peer.ask("REQUEST txtOutput"), QByteArray("NACK item too long"));
}

QTEST_MAIN(tst_KestrinDde)
#include "tst_kestrin_dde.moc"
