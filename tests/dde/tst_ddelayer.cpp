// The DDE conversation layer end to end: a window serving text boxes, text boxes linked to
// it, and raw peers that misbehave on the wire.

#include "ddepeer.h"

#include "ddeclient.h"
#include "ddedirectory.h"
#include "ddeerrors.h"
#include "ddeprotocol.h"
#include "ddesource.h"
#include "ddesourcehandler.h"
#include "ddetextbox.h"
#include "errors.h"
#include "support/errorcapture.h"

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

// A window with one editable and one read-only box, served as "TestSource|Topic".
class ServedWindow : public QWidget, public DdeSourceHandler
{
public:
    explicit ServedWindow(const QString &application = kApplication)
    {
        txtData = new QLineEdit(this);
        txtData->setObjectName(QStringLiteral("txtData"));
        txtData->setMaxLength(std::numeric_limits<int>::max());
        txtData->setText(QStringLiteral("start"));
        txtLocked = new QLineEdit(this);
        txtLocked->setObjectName(QStringLiteral("txtLocked"));
        txtLocked->setReadOnly(true);
        source = new DdeSource(application, this);
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
    QLineEdit *txtData;
    QLineEdit *txtLocked;
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
    void linkModeNoneEndsEveryConversation();
    void sourceGoingAwayTerminates();
    void sourceVanishingRaisesLinkError6();
    void noRoomRaisesLinkError7();
    void noApplication();
    void staleSocketIsReplaced();
    void liveSocketIsNeverTakenOver();
    void silentSourceTimesOutWithTheLoopRunning();
    void directoryNotPrivate_data();
    void directoryNotPrivate();

private:
    std::unique_ptr<ServedWindow> m_window;
};

void tst_DdeLayer::init()
{
    m_window = std::make_unique<ServedWindow>();
    QVERIFY2(m_window->source->isServing(), qPrintable(m_window->source->serviceProblem()));
}

void tst_DdeLayer::cleanup()
{
    m_window.reset();
}

void tst_DdeLayer::initiate_data()
{
    QTest::addColumn<int>("linkMode");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<bool>("refuse");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("opens");
    QTest::newRow("accepted") << 1 << "Topic" << false << QByteArray("ACK") << 1;
    QTest::newRow("topic in other case") << 1 << "tOPIC" << false << QByteArray("ACK") << 1;
    QTest::newRow("handler refuses") << 1 << "Topic" << true << QByteArray("NACK refused") << 1;
    QTest::newRow("unknown topic") << 1 << "Other" << false << QByteArray("NACK unknown topic") << 0;
    QTest::newRow("link mode none") << 0 << "Topic" << false << QByteArray("NACK no source") << 0;
}

void tst_DdeLayer::initiate()
{
    QFETCH(int, linkMode);
    QFETCH(QString, topic);
    QFETCH(bool, refuse);
    QFETCH(QByteArray, answer);
    QFETCH(int, opens);

    m_window->source->setLinkMode(linkMode);
    m_window->refuseOpen = refuse;
    RawPeer peer(QStringLiteral("TESTSOURCE"));
    QVERIFY(peer.isConnected());
    QCOMPARE(peer.ask("INITIATE " + topic.toUtf8()), answer);
    QCOMPARE(m_window->opens, opens);
    QCOMPARE(m_window->source->conversationCount(), answer == "ACK" ? 1 : 0);

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
    m_window->txtData->setText(QStringLiteral("typed at the source"));
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
    const QStringList writes = {"1,0.5", "1,0.5", "", "", "two\nlines \\ and more", QString(100000, QLatin1Char('x')),
                                QString(kLongestUpdate, QLatin1Char('y'))};
    for (const QString &text : writes)
        m_window->source->writeItem(m_window->txtData, text);
    QTRY_COMPARE(changes.count(), writes.size());
    QStringList received;
    for (const QList<QVariant> &change : changes)
        received << change.at(0).toString();
    QCOMPARE(received, writes);

    // A text too long for a line is never cut: the box is emptied, a request refused.
    m_window->source->writeItem(m_window->txtData, QString(DdeProtocol::kMaximumLineBytes, QLatin1Char('z')));
    QTRY_COMPARE(changes.count(), writes.size() + 1);
    QCOMPARE(box->text(), QString());
    RawPeer peer(kApplication);
    QCOMPARE(peer.ask("INITIATE Topic"), QByteArray("ACK"));
    QCOMPARE(peer.ask("REQUEST txtData"), QByteArray("NACK item too long"));

    // An unadvised conversation receives nothing.
    m_window->source->writeItem(m_window->txtData, QStringLiteral("two\nlines \\ and more"));
    QCOMPARE(peer.ask("ADVISE txtData"), QByteArray("DATA two\\nlines \\\\ and more"));
    QCOMPARE(peer.ask("UNADVISE txtData"), QByteArray("ACK"));
    m_window->source->writeItem(m_window->txtData, QStringLiteral("after"));
    QTRY_COMPARE(box->text(), QStringLiteral("after"));
    QCOMPARE(peer.ask("REQUEST txtData"), QByteArray("DATA after"));

    // On screen, a burst of writes reaches the links and the item's value at once, while the
    // box lays out and paints only the last of them, by the end of the frame.
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QSignalSpy shown(m_window->txtData, &QLineEdit::textChanged);
    const qsizetype linkedBefore = changes.count();
    constexpr int kBurst = 1000;
    for (int i = 1; i <= kBurst; ++i)
        m_window->source->writeItem(m_window->txtData, QString::number(i));
    QCOMPARE(peer.ask("REQUEST txtData"), QByteArray("DATA 1000"));
    QTRY_COMPARE(changes.count(), linkedBefore + kBurst);
    QTRY_COMPARE(m_window->txtData->text(), QStringLiteral("1000"));
    QCOMPARE(shown.count(), 1);
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
    QTest::newRow("too long for a message") << QString(kLongestExecute + 1, QLatin1Char('x')) << DdeErrorNumber::Refused;
}

void tst_DdeLayer::executes()
{
    QFETCH(QString, command);
    QFETCH(int, number);
    auto box = linkedBox();
    QCOMPARE(errorNumberOf([&] { box->LinkExecute(command); }), number);
    // A command too long to send never reaches the source, and the link stays.
    const bool sent = command.size() <= kLongestExecute;
    QCOMPARE(m_window->executes, sent ? QStringList{command} : QStringList());
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
    QTest::newRow("accepted") << "txtData" << "150" << true << 0;
    QTest::newRow("escaped text") << "txtData" << "a\\b\nc" << true << 0;
    QTest::newRow("nul, control bytes and 0xff") << "txtData" << QString::fromLatin1("a\0b\x1b\x7f\xff", 6) << true << 0;
    QTest::newRow("handler vetoes") << "txtData" << "veto" << true << DdeErrorNumber::Refused;
    QTest::newRow("read-only box") << "txtLocked" << "150" << true << DdeErrorNumber::Refused;
    QTest::newRow("pokes switched off") << "txtData" << "150" << false << DdeErrorNumber::Refused;
    QTest::newRow("longest the links carry") << "txtData" << QString(kLongestUpdate, QLatin1Char('p')) << true << 0;
    // The poke itself fits in a line, its update would not.
    QTest::newRow("too long for the links") << "txtData" << QString(kLongestUpdate + 1, QLatin1Char('p')) << true
                                            << DdeErrorNumber::Refused;
}

void tst_DdeLayer::pokes()
{
    QFETCH(QString, item);
    QFETCH(QString, text);
    QFETCH(bool, pokeEnabled);
    QFETCH(int, number);

    m_window->source->setPokeEnabled(pokeEnabled);
    auto watcher = linkedBox(item);
    const QString before = watcher->text();
    auto box = linkedBox(item);
    box->setText(text);
    QCOMPARE(errorNumberOf([&] { box->LinkPoke(); }), number);
    QLineEdit *target = m_window->source->servedItem(item);
    QCOMPARE(target->text(), number == 0 ? text : before);
    // A poke is a write like any other: linked boxes follow it.
    if (number == 0)
        QTRY_COMPARE(watcher->text(), text);
}

void tst_DdeLayer::sourceWithoutHandlerAcceptsEverything()
{
    // What the window's handler would refuse goes through once the source has none.
    m_window->refuseOpen = true;
    m_window->source->setHandler(nullptr);
    auto box = linkedBox();
    QCOMPARE(box->linkMode(), DdeTextBox::kLinkModeAutomatic);
    QCOMPARE(errorNumberOf([&] { box->LinkExecute(QStringLiteral("refuse me")); }), 0);
    box->setText(QStringLiteral("veto"));
    QCOMPARE(errorNumberOf([&] { box->LinkPoke(); }), 0);
    QCOMPARE(m_window->source->itemValue(m_window->txtData), QStringLiteral("veto"));
    QCOMPARE(m_window->opens, 0);
    QCOMPARE(m_window->executes, QStringList());
}

void tst_DdeLayer::badInputOnTheSocket_data()
{
    QTest::addColumn<bool>("initiateFirst");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("survives");
    QTest::newRow("garbage word") << false << QByteArray("HELLO THERE\n") << QByteArray("NACK unknown message") << true;
    QTest::newRow("binary noise") << false << QByteArray("\x01\x02\x7f\x03\n") << QByteArray("NACK unknown message") << true;
    QTest::newRow("execute before initiate") << false << QByteArray("EXECUTE ON\n") << QByteArray("NACK no conversation") << true;
    QTest::newRow("not utf-8") << true << QByteArray("EXECUTE \xff\xfe\n") << QByteArray("NACK text is not UTF-8") << true;
    QTest::newRow("nul byte") << true << QByteArray("EXECUTE A\0B\n", 12) << QByteArray("NACK text is not UTF-8") << true;
    QTest::newRow("bad escape") << true << QByteArray("EXECUTE a\\q\n") << QByteArray("NACK bad escape") << true;
    QTest::newRow("second initiate") << true << QByteArray("INITIATE Topic\n") << QByteArray("NACK conversation already open")
                                     << true;
    QTest::newRow("empty line") << true << QByteArray("\n") << QByteArray("NACK unknown message") << true;
    QTest::newRow("over-long line") << true << QByteArray(2 * 1024 * 1024, 'x') << QByteArray("ERROR line too long") << false;
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
    RawPeer peer(kApplication);
    if (initiateFirst)
        QCOMPARE(peer.ask("INITIATE Topic"), QByteArray("ACK"));
    peer.send(input);
    QCOMPARE(peer.nextLine(), answer);
    if (survives) {
        QCOMPARE(peer.ask("INITIATE Topic").left(4), initiateFirst ? QByteArray("NACK") : QByteArray("ACK"));
        QCOMPARE(peer.ask("REQUEST txtData"), QByteArray("DATA start"));
    } else {
        QVERIFY(peer.waitForClose());
    }
    QVERIFY(m_window->executes.isEmpty());

    // The others are served as before.
    m_window->txtData->setText(QStringLiteral("still served"));
    QTRY_COMPARE(box->text(), QStringLiteral("still served"));
    box->LinkExecute(QStringLiteral("after the noise"));
    QCOMPARE(m_window->executes, QStringList{QStringLiteral("after the noise")});
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
    QTRY_COMPARE(m_window->closes, 1);
    QCOMPARE(m_window->source->conversationCount(), 1);
    QVERIFY(m_window->executes.isEmpty());

    // A connection that never initiates does not hold its place for ever, nor count.
    QElapsedTimer connected;
    connected.start();
    RawPeer silent(kApplication);
    QVERIFY(silent.isConnected());
    QCOMPARE(m_window->source->conversationCount(), 1);

    m_window->source->writeItem(m_window->txtData, QStringLiteral("next"));
    QTRY_COMPARE(box->text(), QStringLiteral("next"));

    // It is closed after the ten seconds the protocol gives, not later.
    QVERIFY(silent.waitForClose(12000));
    QVERIFY2(connected.elapsed() >= 9900 && connected.elapsed() < 10800, qPrintable(QString::number(connected.elapsed())));
}

void tst_DdeLayer::endedConversationsAreFreed()
{
    const auto children = [this] {
        return m_window->source->findChildren<QObject *>(QString(), Qt::FindDirectChildrenOnly).size();
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
    QTRY_COMPARE(m_window->closes, 100);
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
        m_window->source->writeItem(m_window->txtData, line);
        return QTest::qWaitFor([&] { return readerUpdates.count() > before; });
    };

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
            QVERIFY(m_window->source->backlogBytes() <= DdeSource::kMaximumBacklogBytes);
        }
        for (int later = dropped + 1; later < kStuckClients; ++later)
            QVERIFY2(!stuck[later]->isCut(), qPrintable(QStringLiteral("%1 dropped before %2").arg(later).arg(dropped)));
    }
    QCOMPARE(m_window->closes, kStuckClients);
    QCOMPARE(m_window->source->conversationCount(), 1);
    QCOMPARE(reader.linkMode(), DdeClient::kLinkModeAutomatic);
    QTRY_COMPARE(m_window->source->backlogBytes(), 0);
}

void tst_DdeLayer::linkModeNoneEndsEveryConversation()
{
    std::vector<std::unique_ptr<DdeTextBox>> boxes;
    std::vector<std::unique_ptr<QSignalSpy>> linkErrors;
    for (int i = 0; i < 5; ++i) {
        boxes.push_back(linkedBox());
        linkErrors.push_back(std::make_unique<QSignalSpy>(boxes.back().get(), &DdeTextBox::LinkError));
    }
    QSignalSpy counts(m_window->source, &DdeSource::conversationCountChanged);
    QCOMPARE(m_window->source->conversationCount(), 5);

    m_window->source->setLinkMode(DdeSource::kLinkModeNone);
    QCOMPARE(m_window->closes, 5);
    QCOMPARE(m_window->source->conversationCount(), 0);
    QCOMPARE(counts.last().at(0).toInt(), 0);
    // What the handler that switched writes next still reaches every client, then the terminate.
    m_window->source->writeItem(m_window->txtData, QStringLiteral("last word"));
    for (const auto &box : boxes) {
        QTRY_COMPARE(box->linkMode(), DdeTextBox::kLinkModeNone);
        QCOMPARE(box->text(), QStringLiteral("last word"));
    }
    QCOMPARE(errorNumberOf([&] { boxes.front()->LinkExecute(QStringLiteral("x")); }), DdeErrorNumber::NoConversation);
    // An ended link is no failure of the source: no link error.
    QTest::qWait(50);
    for (const auto &spy : linkErrors)
        QCOMPARE(spy->count(), 0);

    const int opens = m_window->opens;
    QCOMPARE(errorNumberOf([] { linkedBox(); }), DdeErrorNumber::NoConversation);
    QCOMPARE(m_window->opens, opens);
}

void tst_DdeLayer::sourceGoingAwayTerminates()
{
    auto box = linkedBox();
    QSignalSpy linkErrors(box.get(), &DdeTextBox::LinkError);
    const QString socketPath = m_window->source->socketPath();
    QVERIFY(QFileInfo::exists(socketPath));
    m_window.reset();
    QVERIFY(!QFileInfo::exists(socketPath));
    QTRY_COMPARE(box->linkMode(), DdeTextBox::kLinkModeNone);
    QTest::qWait(50);
    QCOMPARE(linkErrors.count(), 0);
    QCOMPARE(errorNumberOf([&] { box->setLinkMode(1); }), DdeErrorNumber::NoApplication);
    m_window = std::make_unique<ServedWindow>();
}

void tst_DdeLayer::sourceVanishingRaisesLinkError6()
{
    // A source that answers, then drops the connection without a terminate.
    m_window.reset();
    QLocalServer fake;
    QVERIFY(fake.listen(DdeDirectory::socketPath(DdeDirectory::ensure(), kApplication)));
    QPointer<QLocalSocket> accepted;
    connect(&fake, &QLocalServer::newConnection, this, [&] {
        accepted = fake.nextPendingConnection();
        connect(accepted, &QLocalSocket::readyRead, this, [&] {
            while (accepted->canReadLine()) {
                const QByteArray line = accepted->readLine();
                accepted->write(line.startsWith("ADVISE") ? "DATA 7\n" : "ACK\n");
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

    // A source that talks nonsense is treated alike.
    auto second = linkedBox();
    QSignalSpy secondErrors(second.get(), &DdeTextBox::LinkError);
    accepted->write("WHATEVER\n");
    QTRY_COMPARE(secondErrors.count(), 1);
    QCOMPARE(second->linkMode(), DdeTextBox::kLinkModeNone);
}

void tst_DdeLayer::noRoomRaisesLinkError7()
{
    m_window->source->setMaximumConversations(2);
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
    QTRY_COMPARE(m_window->source->conversationCount(), 1);
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

    ServedWindow restarted(name);
    QVERIFY(restarted.source->isServing());
    box->setLinkMode(1);
    QCOMPARE(box->text(), QStringLiteral("start"));
}

void tst_DdeLayer::liveSocketIsNeverTakenOver()
{
    auto box = linkedBox();
    {
        ServedWindow second(QStringLiteral("testSOURCE"));
        QVERIFY(!second.source->isServing());
        QVERIFY(second.source->serviceProblem().contains(QLatin1String("serves no conversations")));
        QCOMPARE(second.source->socketPath(), m_window->source->socketPath());
    }
    // The second one's end leaves the first one's socket and conversations alone.
    QVERIFY(QFileInfo::exists(m_window->source->socketPath()));
    m_window->txtData->setText(QStringLiteral("first still serves"));
    QTRY_COMPARE(box->text(), QStringLiteral("first still serves"));
    auto late = linkedBox();
    QCOMPARE(late->text(), QStringLiteral("first still serves"));
}

void tst_DdeLayer::silentSourceTimesOutWithTheLoopRunning()
{
    m_window.reset();
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

    ServedWindow refused;
    QVERIFY(!refused.source->isServing());
    QVERIFY2(refused.source->serviceProblem().contains(directory), qPrintable(refused.source->serviceProblem()));
    auto box = boxFor(kLinkTopic);
    QCOMPARE(errorNumberOf([&] { box->setLinkMode(1); }), DdeErrorNumber::DirectoryNotPrivate);
}

QTEST_MAIN(tst_DdeLayer)
#include "tst_ddelayer.moc"
