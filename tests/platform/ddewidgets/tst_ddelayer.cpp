// The DDE conversation layer end to end: a source serving items, text boxes linked to it,
// and raw peers that misbehave on the wire.

#include "support/ddepeer.h"

#include "ddeclient.h"
#include "ddedirectory.h"
#include "ddeerrors.h"
#include "ddeprotocol.h"
#include "ddesource.h"
#include "ddesourcehandler.h"
#include "ddetextbox.h"
#include "errors.h"
#include "support/errorcapture.h"
#include "support/logcapture.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <limits>
#include <memory>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace platform;

namespace {

const QString kApplication = QStringLiteral("TestSource");
const QString kTopic = QStringLiteral("Topic");
const QString kLinkTopic = QStringLiteral("testsource|topic");
// The longest text of txtData that an update line carries, and the longest execute.
const int kLongestUpdate = DdeProtocol::kMaximumLineBytes - int(qstrlen("UPDATE txtData "));
const int kLongestExecute = DdeProtocol::kMaximumLineBytes - int(qstrlen("EXECUTE "));

const QString kData = QStringLiteral("txtData");
const QString kLocked = QStringLiteral("txtLocked");

// A program with one item that takes pokes and one read-only item, served as "TestSource|Topic".
class ServedSource : public QObject, public DdeSourceHandler
{
public:
    explicit ServedSource(const QString &application = kApplication)
    {
        source = new DdeSource(application, this);
        source->addItem(kData, QStringLiteral("start"));
        source->addItem(kLocked);
        source->setItemReadOnly(kLocked, true);
        source->setLinkTopic(kTopic);
        source->setLinkMode(DdeSource::kLinkModeSource);
        source->setHandler(this);
        connect(source, &DdeSource::LinkClose, this, [this] { ++closes; });
    }

    void Form_LinkOpen(bool &cancel) override
    {
        ++opens;
        cancel = refuseOpen;
    }
    void Form_LinkExecute(const QString &command, bool &cancel) override
    {
        executes << command;
        cancel = command.startsWith(QLatin1String("refuse"));
    }
    void Form_LinkPoke(const QString &, const QString &text, bool &cancel) override
    {
        cancel = text == QLatin1String("veto");
    }

    DdeSource *source;
    int opens = 0;
    int closes = 0;
    bool refuseOpen = false;
    QStringList executes;
};

// A box set to a topic and an item, not yet linked.
std::unique_ptr<DdeTextBox> boxFor(const QString &topic, const QString &item = QStringLiteral("txtData"))
{
    auto box = std::make_unique<DdeTextBox>();
    box->setLinkTopic(topic);
    box->setLinkItem(item);
    return box;
}

std::unique_ptr<DdeTextBox> linkedBox(const QString &item = QStringLiteral("txtData"))
{
    auto box = boxFor(kLinkTopic, item);
    box->setLinkMode(DdeTextBox::kLinkModeAutomatic);
    return box;
}

} // namespace

class tst_DdeLayer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void initiate_data();
    void initiate();
    void linkShowsAndFollowsTheItem();
    void everyWriteArrivesAlsoWhenEqual();
    void itemWrites_data();
    void itemWrites();
    void executes_data();
    void executes();
    void pokes_data();
    void pokes();
    void sourceWithoutHandlerAcceptsEverything();
    void badInputOnTheSocket_data();
    void badInputOnTheSocket();
    void killedClientEndsOnlyItsConversation();
    void endedConversationsAreFreed();
    void stuckClientsShareOneBound();
    void connectionsWaitingToCloseAreBounded();
    void sourceListensAgain_data();
    void sourceListensAgain();
    void linkModeNoneEndsEveryConversation();
    void sourceGoingAwayTerminates();
    void sourceVanishingRaisesLinkError6();
    void noRoomRaisesLinkError7();
    void noApplication();
    void staleSocketIsReplaced();
    void fileInTheWayIsKept();
    void liveSocketIsNeverTakenOver();
    void silentSourceTimesOutWithTheLoopRunning();
    void directoryNotPrivate_data();
    void directoryNotPrivate();

private:
    std::unique_ptr<ServedSource> m_served;
};

void tst_DdeLayer::init()
{
    m_served = std::make_unique<ServedSource>();
    QVERIFY2(m_served->source->isServing(), qPrintable(m_served->source->serviceProblem()));
}

void tst_DdeLayer::cleanup()
{
    m_served.reset();
}

void tst_DdeLayer::initiate_data()
{
    QTest::addColumn<int>("linkMode");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<bool>("refuse");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("opens");
    // Why a refusal is logged, after "refused the initiate of connection <n> (pid <n>) on topic".
    QTest::addColumn<QString>("logged");
    QTest::newRow("accepted") << 1 << "Topic" << false << QByteArray("ACK") << 1 << QString();
    QTest::newRow("topic in other case") << 1 << "tOPIC" << false << QByteArray("ACK") << 1 << QString();
    QTest::newRow("handler refuses") << 1 << "Topic" << true << QByteArray("NACK refused") << 1
                                     << QStringLiteral("\"Topic\": the program refused it");
    QTest::newRow("unknown topic") << 1 << "Other" << false << QByteArray("NACK unknown topic") << 0
                                   << QStringLiteral("\"Other\": the topic served is \"Topic\"");
    QTest::newRow("link mode none") << 0 << "Topic" << false << QByteArray("NACK no source") << 0
                                    << QStringLiteral("\"Topic\": the link mode is not source");
}

void tst_DdeLayer::initiate()
{
    QFETCH(int, linkMode);
    QFETCH(QString, topic);
    QFETCH(bool, refuse);
    QFETCH(QByteArray, answer);
    QFETCH(int, opens);
    QFETCH(QString, logged);

    m_served->source->setLinkMode(linkMode);
    m_served->refuseOpen = refuse;
    LogCapture log("platform.dde");
    RawPeer peer(QStringLiteral("TESTSOURCE"));
    QVERIFY(peer.isConnected());
    QCOMPARE(peer.ask("INITIATE " + topic.toUtf8()), answer);
    if (logged.isEmpty())
        QVERIFY2(log.lines.isEmpty(), log.all());
    else
        QVERIFY2(log.lines.size() == 1
                     && log.count(QStringLiteral("^refused the initiate of connection \\d+ \\(pid %1\\) on topic ")
                                      .arg(QCoreApplication::applicationPid())
                                  + QRegularExpression::escape(logged) + QLatin1Char('$'))
                            == 1,
                 log.all());
    QCOMPARE(m_served->opens, opens);
    QCOMPARE(m_served->source->conversationCount(), answer == "ACK" ? 1 : 0);

    // The box reports the same outcome by number: a running source that refuses is 293.
    auto box = boxFor(kApplication + QLatin1Char('|') + topic);
    QCOMPARE(errorNumberOf([&] { box->setLinkMode(DdeTextBox::kLinkModeAutomatic); }),
             answer == "ACK" ? 0 : DdeErrorNumber::NoConversation);
    QCOMPARE(box->linkMode(), answer == "ACK" ? DdeTextBox::kLinkModeAutomatic : DdeTextBox::kLinkModeNone);
}

void tst_DdeLayer::linkShowsAndFollowsTheItem()
{
    auto box = linkedBox(QStringLiteral("TXTDATA"));
    QCOMPARE(box->text(), QStringLiteral("start"));
    m_served->source->setItemValue(kData, QStringLiteral("typed at the source"));
    QTRY_COMPARE(box->text(), QStringLiteral("typed at the source"));

    // A request reads the current text; an item the window lacks is refused by number.
    RawPeer peer(kApplication);
    QCOMPARE(peer.ask("INITIATE Topic"), QByteArray("ACK"));
    QCOMPARE(peer.ask("REQUEST txtdata"), QByteArray("DATA typed at the source"));
    QCOMPARE(peer.ask("REQUEST txtMissing"), QByteArray("NACK no such item"));
    QCOMPARE(peer.ask("UNADVISE txtData"), QByteArray("NACK not advised"));

    auto missing = boxFor(kLinkTopic, QStringLiteral("txtMissing"));
    QCOMPARE(errorNumberOf([&] { missing->setLinkMode(1); }), DdeErrorNumber::Refused);
    QCOMPARE(missing->linkMode(), 0);
    QCOMPARE(errorNumberOf([&] { missing->setLinkMode(2); }), ErrorNumber::InvalidPropertyValue);
}

void tst_DdeLayer::everyWriteArrivesAlsoWhenEqual()
{
    auto box = linkedBox();
    QSignalSpy changes(box.get(), &QLineEdit::textChanged);
    const QStringList writes = {"1,0.5",
                                "1,0.5",
                                "",
                                "",
                                "two\nlines \\ and more",
                                QString(100000, QLatin1Char('x')),
                                QString(kLongestUpdate, QLatin1Char('y'))};
    for (const QString &text : writes)
        m_served->source->writeItem(kData, text);
    QTRY_COMPARE(changes.count(), writes.size());
    QStringList received;
    for (const QList<QVariant> &change : changes)
        received << change.at(0).toString();
    QCOMPARE(received, writes);

    // A text too long for a line is never cut: the box is emptied, a request refused.
    m_served->source->writeItem(kData, QString(DdeProtocol::kMaximumLineBytes, QLatin1Char('z')));
    QTRY_COMPARE(changes.count(), writes.size() + 1);
    QCOMPARE(box->text(), QString());
    RawPeer peer(kApplication);
    QCOMPARE(peer.ask("INITIATE Topic"), QByteArray("ACK"));
    QCOMPARE(peer.ask("REQUEST txtData"), QByteArray("NACK item too long"));

    // An unadvised conversation receives nothing.
    m_served->source->writeItem(kData, QStringLiteral("two\nlines \\ and more"));
    QCOMPARE(peer.ask("ADVISE txtData"), QByteArray("DATA two\\nlines \\\\ and more"));
    QCOMPARE(peer.ask("UNADVISE txtData"), QByteArray("ACK"));
    m_served->source->writeItem(kData, QStringLiteral("after"));
    QTRY_COMPARE(box->text(), QStringLiteral("after"));
    QCOMPARE(peer.ask("REQUEST txtData"), QByteArray("DATA after"));
}

void tst_DdeLayer::itemWrites_data()
{
    QTest::addColumn<bool>("everyWrite");
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("update");
    QTest::addColumn<QString>("changedItem");
    QTest::newRow("set to another text") << false << "txtData"
                                         << "new" << QByteArray("UPDATE txtData new") << "txtData";
    QTest::newRow("set to the same text") << false << "txtData"
                                          << "start" << QByteArray() << "";
    QTest::newRow("written with the same text") << true << "txtData"
                                                << "start" << QByteArray("UPDATE txtData start") << "txtData";
    QTest::newRow("named in another case") << false << "TXTDATA"
                                           << "new" << QByteArray("UPDATE txtData new") << "txtData";
    QTest::newRow("item not advised") << true << "txtLocked"
                                      << "x" << QByteArray() << "txtLocked";
    QTest::newRow("item not declared yet") << false << "txtNew"
                                           << "1" << QByteArray() << "txtNew";
}

void tst_DdeLayer::itemWrites()
{
    QFETCH(bool, everyWrite);
    QFETCH(QString, item);
    QFETCH(QString, text);
    QFETCH(QByteArray, update);
    QFETCH(QString, changedItem);

    RawPeer peer(kApplication);
    QCOMPARE(peer.ask("INITIATE Topic"), QByteArray("ACK"));
    QCOMPARE(peer.ask("ADVISE txtdata"), QByteArray("DATA start"));
    QSignalSpy changes(m_served->source, &DdeSource::itemChanged);
    if (everyWrite)
        m_served->source->writeItem(item, text);
    else
        m_served->source->setItemValue(item, text);

    QCOMPARE(m_served->source->itemValue(item), text);
    QCOMPARE(changes.count(), changedItem.isEmpty() ? 0 : 1);
    if (!changedItem.isEmpty())
        QCOMPARE(changes.at(0).at(0).toString(), changedItem);
    // The update, if any, comes before the answer to the next message.
    peer.send("REQUEST txtData\n");
    if (!update.isEmpty())
        QCOMPARE(peer.nextLine(), update);
    QVERIFY(peer.nextLine().startsWith("DATA "));
}

void tst_DdeLayer::executes_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("number");
    QTest::newRow("accepted") << "ANALYZE 5" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("spaces and line break kept") << "  two\nlines  " << 0;
    QTest::newRow("refused") << "refuse me" << DdeErrorNumber::Refused;
    QTest::newRow("longest a message carries") << QString(kLongestExecute, QLatin1Char('x')) << 0;
    QTest::newRow("too long for a message")
        << QString(kLongestExecute + 1, QLatin1Char('x')) << DdeErrorNumber::Refused;
}

void tst_DdeLayer::executes()
{
    QFETCH(QString, command);
    QFETCH(int, number);
    auto box = linkedBox();
    QCOMPARE(errorNumberOf([&] { box->LinkExecute(command); }), number);
    // A command too long to send never reaches the source, and the link stays.
    const bool sent = command.size() <= kLongestExecute;
    QCOMPARE(m_served->executes, sent ? QStringList{command} : QStringList());
    QCOMPARE(box->linkMode(), DdeTextBox::kLinkModeAutomatic);

    DdeTextBox unlinked;
    QCOMPARE(errorNumberOf([&] { unlinked.LinkExecute(command); }), DdeErrorNumber::NoConversation);
    QCOMPARE(errorNumberOf([&] { unlinked.LinkPoke(); }), DdeErrorNumber::NoConversation);
}

void tst_DdeLayer::pokes_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("pokeEnabled");
    QTest::addColumn<int>("number");
    QTest::newRow("accepted") << "txtData"
                              << "150" << true << 0;
    QTest::newRow("escaped text") << "txtData"
                                  << "a\\b\nc" << true << 0;
    QTest::newRow("nul, control bytes and 0xff")
        << "txtData" << QString::fromLatin1("a\0b\x1b\x7f\xff", 6) << true << 0;
    QTest::newRow("handler vetoes") << "txtData"
                                    << "veto" << true << DdeErrorNumber::Refused;
    QTest::newRow("read-only box") << "txtLocked"
                                   << "150" << true << DdeErrorNumber::Refused;
    QTest::newRow("pokes switched off") << "txtData"
                                        << "150" << false << DdeErrorNumber::Refused;
    QTest::newRow("longest the links carry") << "txtData" << QString(kLongestUpdate, QLatin1Char('p')) << true << 0;
    // The poke itself fits in a line, its update would not.
    QTest::newRow("too long for the links")
        << "txtData" << QString(kLongestUpdate + 1, QLatin1Char('p')) << true << DdeErrorNumber::Refused;
}

void tst_DdeLayer::pokes()
{
    QFETCH(QString, item);
    QFETCH(QString, text);
    QFETCH(bool, pokeEnabled);
    QFETCH(int, number);

    m_served->source->setPokeEnabled(pokeEnabled);
    QSignalSpy poked(m_served->source, &DdeSource::itemPoked);
    auto watcher = linkedBox(item);
    const QString before = watcher->text();
    auto box = linkedBox(item);
    box->setText(text);
    QCOMPARE(errorNumberOf([&] { box->LinkPoke(); }), number);
    QCOMPARE(m_served->source->itemValue(item), number == 0 ? text : before);
    QCOMPARE(poked.count(), number == 0 ? 1 : 0);
    // A poke is a write like any other: linked boxes follow it.
    if (number == 0)
        QTRY_COMPARE(watcher->text(), text);
}

void tst_DdeLayer::sourceWithoutHandlerAcceptsEverything()
{
    // What the window's handler would refuse goes through once the source has none.
    m_served->refuseOpen = true;
    m_served->source->setHandler(nullptr);
    auto box = linkedBox();
    QCOMPARE(box->linkMode(), DdeTextBox::kLinkModeAutomatic);
    QCOMPARE(errorNumberOf([&] { box->LinkExecute(QStringLiteral("refuse me")); }), 0);
    box->setText(QStringLiteral("veto"));
    QCOMPARE(errorNumberOf([&] { box->LinkPoke(); }), 0);
    QCOMPARE(m_served->source->itemValue(kData), QStringLiteral("veto"));
    QCOMPARE(m_served->opens, 0);
    QCOMPARE(m_served->executes, QStringList());
}

void tst_DdeLayer::badInputOnTheSocket_data()
{
    QTest::addColumn<bool>("initiateFirst");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("survives");
    QTest::newRow("garbage word") << false << QByteArray("HELLO THERE\n") << QByteArray("NACK unknown message") << true;
    QTest::newRow("binary noise") << false << QByteArray("\x01\x02\x7f\x03\n") << QByteArray("NACK unknown message")
                                  << true;
    QTest::newRow("execute before initiate")
        << false << QByteArray("EXECUTE ON\n") << QByteArray("NACK no conversation") << true;
    QTest::newRow("not utf-8") << true << QByteArray("EXECUTE \xff\xfe\n") << QByteArray("NACK text is not UTF-8")
                               << true;
    QTest::newRow("nul byte") << true << QByteArray("EXECUTE A\0B\n", 12) << QByteArray("NACK text is not UTF-8")
                              << true;
    QTest::newRow("bad escape") << true << QByteArray("EXECUTE a\\q\n") << QByteArray("NACK bad escape") << true;
    QTest::newRow("second initiate") << true << QByteArray("INITIATE Topic\n")
                                     << QByteArray("NACK conversation already open") << true;
    QTest::newRow("empty line") << true << QByteArray("\n") << QByteArray("NACK unknown message") << true;
    QTest::newRow("over-long line") << true << QByteArray(2 * 1024 * 1024, 'x') << QByteArray("ERROR line too long")
                                    << false;
    QTest::newRow("over-long with end") << false << QByteArray("EXECUTE ") + QByteArray(1024 * 1024, 'x') + '\n'
                                        << QByteArray("ERROR line too long") << false;
}

void tst_DdeLayer::badInputOnTheSocket()
{
    QFETCH(bool, initiateFirst);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, answer);
    QFETCH(bool, survives);

    auto box = linkedBox();
    LogCapture log("platform.dde");
    RawPeer peer(kApplication);
    if (initiateFirst)
        QCOMPARE(peer.ask("INITIATE Topic"), QByteArray("ACK"));
    peer.send(input);
    QCOMPARE(peer.nextLine(), answer);
    // Only the line cut at the bound is logged, as the drop of its connection.
    QVERIFY2(log.count(QStringLiteral("^dropped connection \\d+ \\(pid \\d+\\): it sent a line longer than %1 bytes$")
                           .arg(DdeProtocol::kMaximumLineBytes))
                 == (survives ? 0 : 1),
             log.all());
    QVERIFY2(log.lines.size() == (survives ? 0 : 1), log.all());
    if (survives) {
        QCOMPARE(peer.ask("INITIATE Topic").left(4), initiateFirst ? QByteArray("NACK") : QByteArray("ACK"));
        QCOMPARE(peer.ask("REQUEST txtData"), QByteArray("DATA start"));
    } else {
        QVERIFY(peer.waitForClose());
    }
    QVERIFY(m_served->executes.isEmpty());

    // The others are served as before.
    m_served->source->setItemValue(kData, QStringLiteral("still served"));
    QTRY_COMPARE(box->text(), QStringLiteral("still served"));
    box->LinkExecute(QStringLiteral("after the noise"));
    QCOMPARE(m_served->executes, QStringList{QStringLiteral("after the noise")});
}

void tst_DdeLayer::killedClientEndsOnlyItsConversation()
{
    auto box = linkedBox();
    {
        RawPeer halfway(kApplication);
        QCOMPARE(halfway.ask("INITIATE Topic"), QByteArray("ACK"));
        QCOMPARE(halfway.ask("ADVISE txtData"), QByteArray("DATA start"));
        halfway.send("EXECU");
        halfway.socket().abort();
    }
    QTRY_COMPARE(m_served->closes, 1);
    QCOMPARE(m_served->source->conversationCount(), 1);
    QVERIFY(m_served->executes.isEmpty());

    // A connection that never initiates does not hold its place for ever, nor count.
    QElapsedTimer connected;
    connected.start();
    RawPeer silent(kApplication);
    QVERIFY(silent.isConnected());
    QCOMPARE(m_served->source->conversationCount(), 1);

    m_served->source->writeItem(kData, QStringLiteral("next"));
    QTRY_COMPARE(box->text(), QStringLiteral("next"));

    // It is closed after the ten seconds the protocol gives, not later.
    QVERIFY(silent.waitForClose(12000));
    QVERIFY2(connected.elapsed() >= 9900 && connected.elapsed() < 10800,
             qPrintable(QString::number(connected.elapsed())));
}

void tst_DdeLayer::endedConversationsAreFreed()
{
    const auto children = [this] {
        return m_served->source->findChildren<QObject *>(QString(), Qt::FindDirectChildrenOnly).size();
    };
    const qsizetype before = children();
    for (int i = 0; i < 100; ++i) {
        RawPeer peer(kApplication);
        QCOMPARE(peer.ask("INITIATE Topic"), QByteArray("ACK"));
        if (i % 2 == 0)
            peer.send("TERMINATE\n");
        else
            peer.socket().abort();
        QVERIFY(peer.waitForClose() || i % 2 == 1);
    }
    QTRY_COMPARE(m_served->closes, 100);
    QTRY_COMPARE(children(), before);
}

void tst_DdeLayer::stuckClientsShareOneBound()
{
    // Lines of about a megabyte: ten clients that stop reading one line apart pass the bound
    // of all clients together long before one of them passes its own.
    constexpr int kStuckClients = 10;
    const QString line(1000 * 1000, QLatin1Char('x'));
    // A client without a box: a box would lay out every megabyte it is given.
    DdeClient reader;
    reader.setLinkTopic(kLinkTopic);
    reader.setLinkItem(QStringLiteral("txtData"));
    reader.setLinkMode(DdeClient::kLinkModeAutomatic);
    QSignalSpy readerUpdates(&reader, &DdeClient::itemUpdated);
    // Each line is written once the reading client has it, so only the stuck ones fall behind.
    const auto writeLine = [&] {
        const qsizetype before = readerUpdates.count();
        m_served->source->writeItem(kData, line);
        return QTest::qWaitFor([&] { return readerUpdates.count() > before; });
    };

    LogCapture log("platform.dde");
    std::vector<std::unique_ptr<StuckPeer>> stuck;
    for (int i = 0; i < kStuckClients; ++i) {
        stuck.push_back(std::make_unique<StuckPeer>(kApplication, "Topic", "txtData"));
        QVERIFY(stuck.back()->waitLinked());
        QVERIFY(writeLine());
    }

    // The client furthest behind goes first, then the next; together they never hold more
    // than the bound, and the client that reads keeps its link throughout.
    for (int dropped = 0; dropped < kStuckClients; ++dropped) {
        for (int writes = 0; !stuck[dropped]->isCut(); ++writes) {
            QVERIFY2(writes < 20, qPrintable(QStringLiteral("client %1 never dropped").arg(dropped)));
            QVERIFY(writeLine());
            QVERIFY(m_served->source->backlogBytes() <= DdeSource::kMaximumBacklogBytes);
        }
        for (int later = dropped + 1; later < kStuckClients; ++later)
            QVERIFY2(!stuck[later]->isCut(),
                     qPrintable(QStringLiteral("%1 dropped before %2").arg(later).arg(dropped)));
    }
    QCOMPARE(m_served->closes, kStuckClients);
    QCOMPARE(m_served->source->conversationCount(), 1);
    QCOMPARE(reader.linkMode(), DdeClient::kLinkModeAutomatic);
    QTRY_COMPARE(m_served->source->backlogBytes(), 0);
    // One line for each client dropped, with what it left unread, however many lines it missed:
    // the first by the bound of all clients; once few are left, one's own bound comes first.
    const int sharedBound =
        log.count(QStringLiteral("^dropped connection \\d+ \\(pid \\d+\\), the client furthest "
                                 "behind: \\d+ bytes unread; all clients of %1 have \\d+, more than %2$")
                      .arg(kApplication)
                      .arg(DdeSource::kMaximumBacklogBytes));
    const int ownBound =
        log.count(QStringLiteral("^dropped connection \\d+ \\(pid \\d+\\): \\d+ bytes unread, more than "
                                 "the %1 one client may leave$")
                      .arg(DdeSource::kMaximumConversationBacklogBytes));
    QVERIFY2(sharedBound >= 1 && sharedBound + ownBound == kStuckClients, log.all());
    QVERIFY2(log.count(QStringLiteral("^dropped ")) == kStuckClients, log.all());
    // A stuck client's jam is told when it starts and when it ends, never once per line.
    const int jams = log.count(QStringLiteral("^output to connection \\d+ \\(pid \\d+\\) jammed: "));
    QVERIFY2(
        jams <= kStuckClients
            && log.count(QStringLiteral("^output to connection \\d+ \\(pid \\d+\\) no longer jammed after \\d+ ms: "
                                        "its \\d+ bytes unread dropped$"))
                   == jams,
        log.all());
}

void tst_DdeLayer::connectionsWaitingToCloseAreBounded()
{
    // Peers that are told BUSY and never close: each would hold a descriptor for a while.
    constexpr int kBeyond = 20;
    constexpr int kPeers = DdeSource::kMaximumClosingConnections + kBeyond;
    m_served->source->setMaximumConversations(0);
    const auto children = [this] {
        return m_served->source->findChildren<QObject *>(QString(), Qt::FindDirectChildrenOnly).size();
    };
    const qsizetype before = children();
    LogCapture log("platform.dde");
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int i = 0; i < kPeers; ++i) {
        peers.push_back(std::make_unique<RawPeer>(kApplication));
        QCOMPARE(peers.back()->nextLine(), QByteArray("BUSY"));
    }

    // The source holds no more than the bound: the oldest were cut off at once, well before a
    // peer that does not close is cut off anyway.
    QVERIFY(children() - before <= DdeSource::kMaximumClosingConnections);
    constexpr int kSoonerThanTheirOwnCutOff = 1000;
    for (int i = 0; i < kBeyond; ++i)
        QVERIFY2(peers[i]->waitForClose(kSoonerThanTheirOwnCutOff),
                 qPrintable(QStringLiteral("peer %1 not cut off").arg(i)));
    QVERIFY(peers.back()->isConnected());
    const QString connection = QStringLiteral("connection \\d+ \\(pid %1\\)").arg(QCoreApplication::applicationPid());
    QCOMPARE(log.count(QStringLiteral("^turned %1 away with BUSY: 0 conversations at most$").arg(connection)), kPeers);
    QCOMPARE(log.count(QStringLiteral("^cut off %1 of %2: more than %3 connections wait for their peers to read a "
                                      "last line$")
                           .arg(connection, kApplication)
                           .arg(DdeSource::kMaximumClosingConnections)),
             kBeyond);
}

void tst_DdeLayer::sourceListensAgain_data()
{
    QTest::addColumn<bool>("exhaustDescriptors");
    QTest::addColumn<QString>("reason");

    QTest::newRow("no descriptor left for an accept") << true << qt_error_string(EMFILE);
    QTest::newRow("socket removed") << false << QStringLiteral("its socket was removed");
}

void tst_DdeLayer::sourceListensAgain()
{
    QFETCH(bool, exhaustDescriptors);
    QFETCH(QString, reason);
    DdeSource *source = m_served->source;
    QSignalSpy messages(source, &DdeSource::serviceMessage);
    LogCapture log("platform.dde");
    const QString socketPath = source->socketPath();
    if (exhaustDescriptors) {
        // A client connects while every descriptor is taken, so accepting it fails.
        const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(client >= 0);
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit lowered = saved;
        lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 1024);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
        std::vector<int> fillers;
        for (int filler; (filler = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            fillers.push_back(filler);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(socketPath).constData(), sizeof address.sun_path);
        const int connected = ::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
        const bool stopped = QTest::qWaitFor([&] { return !QFileInfo::exists(socketPath); });
        for (int filler : fillers)
            ::close(filler);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        ::close(client);
        QCOMPARE(connected, 0);
        QVERIFY2(stopped, "the failed accept did not stop the server");
    } else {
        QVERIFY(QFile::remove(socketPath));
    }

    // Conversations open again, and the source says once what happened.
    QTRY_VERIFY(!messages.isEmpty() && messages.last().at(0).toString().contains(QLatin1String("served again")));
    QVERIFY(messages.size() <= 2);
    QTRY_VERIFY(QFileInfo::exists(socketPath));
    RawPeer peer(kApplication);
    QCOMPARE(peer.ask("INITIATE Topic"), QByteArray("ACK"));
    QVERIFY2(messages.first().at(0).toString().contains(reason), qPrintable(messages.first().at(0).toString()));
    QVERIFY2(log.count(QStringLiteral("listening again")) == 1, log.all());
}

void tst_DdeLayer::linkModeNoneEndsEveryConversation()
{
    std::vector<std::unique_ptr<DdeTextBox>> boxes;
    std::vector<std::unique_ptr<QSignalSpy>> linkErrors;
    for (int i = 0; i < 5; ++i) {
        boxes.push_back(linkedBox());
        linkErrors.push_back(std::make_unique<QSignalSpy>(boxes.back().get(), &DdeTextBox::LinkError));
    }
    QSignalSpy counts(m_served->source, &DdeSource::conversationCountChanged);
    QCOMPARE(m_served->source->conversationCount(), 5);

    m_served->source->setLinkMode(DdeSource::kLinkModeNone);
    QCOMPARE(m_served->closes, 5);
    QCOMPARE(m_served->source->conversationCount(), 0);
    QCOMPARE(counts.last().at(0).toInt(), 0);
    // What the handler that switched writes next still reaches every client, then the terminate.
    m_served->source->writeItem(kData, QStringLiteral("last word"));
    for (const auto &box : boxes) {
        QTRY_COMPARE(box->linkMode(), DdeTextBox::kLinkModeNone);
        QCOMPARE(box->text(), QStringLiteral("last word"));
    }
    QCOMPARE(errorNumberOf([&] { boxes.front()->LinkExecute(QStringLiteral("x")); }), DdeErrorNumber::NoConversation);
    // An ended link is no failure of the source: no link error.
    QTest::qWait(50);
    for (const auto &spy : linkErrors)
        QCOMPARE(spy->count(), 0);

    const int opens = m_served->opens;
    QCOMPARE(errorNumberOf([] { linkedBox(); }), DdeErrorNumber::NoConversation);
    QCOMPARE(m_served->opens, opens);
}

void tst_DdeLayer::sourceGoingAwayTerminates()
{
    auto box = linkedBox();
    QSignalSpy linkErrors(box.get(), &DdeTextBox::LinkError);
    const QString socketPath = m_served->source->socketPath();
    QVERIFY(QFileInfo::exists(socketPath));
    m_served.reset();
    QVERIFY(!QFileInfo::exists(socketPath));
    QTRY_COMPARE(box->linkMode(), DdeTextBox::kLinkModeNone);
    QTest::qWait(50);
    QCOMPARE(linkErrors.count(), 0);
    QCOMPARE(errorNumberOf([&] { box->setLinkMode(1); }), DdeErrorNumber::NoApplication);
    m_served = std::make_unique<ServedSource>();
}

void tst_DdeLayer::sourceVanishingRaisesLinkError6()
{
    // A source that answers, then drops the connection without a terminate.
    m_served.reset();
    QLocalServer fake;
    QVERIFY(fake.listen(DdeDirectory::socketPath(DdeDirectory::ensure(), kApplication)));
    QPointer<QLocalSocket> accepted;
    connect(&fake, &QLocalServer::newConnection, this, [&] {
        accepted = fake.nextPendingConnection();
        connect(accepted, &QLocalSocket::readyRead, this, [&] {
            while (accepted->canReadLine()) {
                const QByteArray line = accepted->readLine();
                accepted->write(line.startsWith("ADVISE")    ? "DATA 7\n"
                                : line.startsWith("EXECUTE") ? "BUSY\n"
                                                             : "ACK\n");
            }
        });
    });
    auto box = linkedBox();
    QCOMPARE(box->text(), QStringLiteral("7"));
    QSignalSpy linkErrors(box.get(), &DdeTextBox::LinkError);
    accepted->abort();
    QTRY_COMPARE(linkErrors.count(), 1);
    QCOMPARE(linkErrors.at(0).at(0).toInt(), DdeLinkError::SourceVanished);
    QCOMPARE(box->linkMode(), DdeTextBox::kLinkModeNone);
    QCOMPARE(errorNumberOf([&] { box->LinkExecute(QStringLiteral("x")); }), DdeErrorNumber::NoConversation);

    // So is one that says BUSY inside a conversation; the call says why it failed.
    auto busy = linkedBox();
    QSignalSpy busyErrors(busy.get(), &DdeTextBox::LinkError);
    try {
        busy->LinkExecute(QStringLiteral("x"));
        QFAIL("an execute answered with BUSY succeeded");
    } catch (const RuntimeError &failure) {
        QCOMPARE(failure.number(), DdeErrorNumber::NoConversation);
        QVERIFY2(failure.description().contains(QLatin1String("BUSY")), qPrintable(failure.description()));
    }
    QCOMPARE(busy->linkMode(), DdeTextBox::kLinkModeNone);
    QTRY_COMPARE(busyErrors.count(), 1);

    // A source that talks nonsense is treated alike.
    auto second = linkedBox();
    QSignalSpy secondErrors(second.get(), &DdeTextBox::LinkError);
    accepted->write("WHATEVER\n");
    QTRY_COMPARE(secondErrors.count(), 1);
    QCOMPARE(second->linkMode(), DdeTextBox::kLinkModeNone);
}

void tst_DdeLayer::noRoomRaisesLinkError7()
{
    m_served->source->setMaximumConversations(2);
    auto first = linkedBox();
    auto second = linkedBox();
    auto third = boxFor(kLinkTopic);
    QSignalSpy linkErrors(third.get(), &DdeTextBox::LinkError);
    third->setLinkMode(DdeTextBox::kLinkModeAutomatic);
    QCOMPARE(third->linkMode(), DdeTextBox::kLinkModeNone);
    QTRY_COMPARE(linkErrors.count(), 1);
    QCOMPARE(linkErrors.at(0).at(0).toInt(), DdeLinkError::NoRoom);

    // Room made by a leaving client is room for the next.
    first->setLinkMode(DdeTextBox::kLinkModeNone);
    QTRY_COMPARE(m_served->source->conversationCount(), 1);
    third->setLinkMode(DdeTextBox::kLinkModeAutomatic);
    QCOMPARE(third->linkMode(), DdeTextBox::kLinkModeAutomatic);
}

void tst_DdeLayer::noApplication()
{
    DdeTextBox box;
    box.setLinkItem(QStringLiteral("txtData"));
    for (const QString &topic : {QStringLiteral("Nobody|Topic"), QStringLiteral("no bar"), QStringLiteral("|Topic"),
                                 QStringLiteral("../x|Topic")}) {
        box.setLinkTopic(topic);
        QCOMPARE(errorNumberOf([&] { box.setLinkMode(1); }), DdeErrorNumber::NoApplication);
        QCOMPARE(box.linkMode(), 0);
    }
}

void tst_DdeLayer::staleSocketIsReplaced()
{
    // A socket file nobody listens on, as a crashed program leaves it.
    const QString name = QStringLiteral("Crashed");
    const QByteArray path = QFile::encodeName(DdeDirectory::socketPath(DdeDirectory::ensure(), name));
    // The suite's directory outlives a run; one that broke off here may have left the file.
    QFile::remove(QFile::decodeName(path));
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
    QCOMPARE(::bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(descriptor);
    QVERIFY(QFileInfo::exists(QFile::decodeName(path)));

    auto box = boxFor(name + QStringLiteral("|Topic"));
    QCOMPARE(errorNumberOf([&] { box->setLinkMode(1); }), DdeErrorNumber::NoApplication);

    ServedSource restarted(name);
    QVERIFY(restarted.source->isServing());
    box->setLinkMode(1);
    QCOMPARE(box->text(), QStringLiteral("start"));
}

void tst_DdeLayer::fileInTheWayIsKept()
{
    const QString name = QStringLiteral("Blocked");
    const QString path = DdeDirectory::socketPath(DdeDirectory::ensure(), name);
    QFile::remove(path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("the user's own");
    file.close();

    {
        ServedSource blocked(name);
        QVERIFY(!blocked.source->isServing());
        QVERIFY2(blocked.source->serviceProblem().contains(path), qPrintable(blocked.source->serviceProblem()));
    }
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("the user's own"));
    file.close();
    QFile::remove(path);
}

void tst_DdeLayer::liveSocketIsNeverTakenOver()
{
    auto box = linkedBox();
    {
        ServedSource second(QStringLiteral("testSOURCE"));
        QVERIFY(!second.source->isServing());
        QVERIFY(second.source->serviceProblem().contains(QLatin1String("serves no conversations")));
        QCOMPARE(second.source->socketPath(), m_served->source->socketPath());
    }
    // The second one's end leaves the first one's socket and conversations alone.
    QVERIFY(QFileInfo::exists(m_served->source->socketPath()));
    m_served->source->setItemValue(kData, QStringLiteral("first still serves"));
    QTRY_COMPARE(box->text(), QStringLiteral("first still serves"));
    auto late = linkedBox();
    QCOMPARE(late->text(), QStringLiteral("first still serves"));
}

void tst_DdeLayer::silentSourceTimesOutWithTheLoopRunning()
{
    m_served.reset();
    QLocalServer silent;
    QVERIFY(silent.listen(DdeDirectory::socketPath(DdeDirectory::ensure(), kApplication)));
    auto box = boxFor(kLinkTopic);
    box->setLinkTimeout(300);
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
    ticker.start(20);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(errorNumberOf([&] { box->setLinkMode(1); }), DdeErrorNumber::TimeOut);
    QVERIFY(clock.elapsed() >= 280 && clock.elapsed() < 2000);
    QVERIFY(ticks >= 5);
    QCOMPARE(box->linkMode(), 0);
}

void tst_DdeLayer::directoryNotPrivate_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<bool>("foreignOwner");
    QTest::newRow("open to others") << 0755u << false;
    QTest::newRow("open to group") << 0770u << false;
    QTest::newRow("owned by another user") << 0700u << true;
}

void tst_DdeLayer::directoryNotPrivate()
{
    QFETCH(uint, mode);
    QFETCH(bool, foreignOwner);
    constexpr uid_t kNobody = 65534;
    // The directory is spoilt on purpose, so it is one of this case alone.
    QTemporaryDir runtime;
    const QByteArray suiteRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    auto restore = qScopeGuard([&] { qputenv("XDG_RUNTIME_DIR", suiteRuntime); });
    const QString directory = DdeDirectory::ensure();
    QCOMPARE(::chmod(QFile::encodeName(directory).constData(), mode), 0);
    if (foreignOwner && ::chown(QFile::encodeName(directory).constData(), kNobody, gid_t(-1)) != 0)
        QSKIP("changing the owner needs root");

    ServedSource refused;
    QVERIFY(!refused.source->isServing());
    QVERIFY2(refused.source->serviceProblem().contains(directory), qPrintable(refused.source->serviceProblem()));
    auto box = boxFor(kLinkTopic);
    QCOMPARE(errorNumberOf([&] { box->setLinkMode(1); }), DdeErrorNumber::DirectoryNotPrivate);
}

QTEST_MAIN(tst_DdeLayer)
#include "tst_ddelayer.moc"
