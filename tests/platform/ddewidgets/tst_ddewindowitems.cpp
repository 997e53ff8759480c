// A window's text boxes served as items of a DDE source: which boxes are served, how their
// edits reach the links, and how the items' writes show in them.

#include "support/ddepeer.h"

#include "ddeclient.h"
#include "ddesource.h"
#include "ddewindowitems.h"
#include "displaypace.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QFrame>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <limits>
#include <memory>
#include <optional>

using namespace platform;

namespace {

const QString kApplication = QStringLiteral("BoxSource");
const QString kData = QStringLiteral("txtData");

QLineEdit *makeBox(QWidget *parent, const QString &name, const QString &text)
{
    auto *box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setText(text);
    return box;
}

// A window with boxes of every kind and a source "BoxSource|Topic"; serve() makes the adapter.
class Window : public QWidget
{
public:
    Window()
    {
        txtData = makeBox(this, kData, QStringLiteral("start"));
        makeBox(new QFrame(this), QStringLiteral("txtNested"), QStringLiteral("nested"));
        makeBox(this, QString(), QStringLiteral("unnamed"));
        makeBox(new QDialog(this), QStringLiteral("txtDialog"), QStringLiteral("dialog"));
        source = new DdeSource(kApplication, this);
        source->setLinkTopic(QStringLiteral("Topic"));
        source->setLinkMode(DdeSource::kLinkModeSource);
    }

    void serve() { items = new DdeWindowItems(source, this); }

    QLineEdit *txtData;
    DdeSource *source;
    DdeWindowItems *items = nullptr;
};

} // namespace

class tst_DdeWindowItems : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void servedBoxes_data();
    void servedBoxes();
    void itemDeclaredBeforeShowsInItsBox();
    void destroyedBoxIsNoLongerServed();
    void itemKeepsWhatItsBoxCannotHold();
    void pokes_data();
    void pokes();
    void display_data();
    void display();
    void pace_data();
    void pace();
    void paceOnScreen_data();
    void paceOnScreen();

private:
    std::unique_ptr<Window> m_window;
};

void tst_DdeWindowItems::init()
{
    m_window = std::make_unique<Window>();
    QVERIFY2(m_window->source->isServing(), qPrintable(m_window->source->serviceProblem()));
}

void tst_DdeWindowItems::cleanup()
{
    m_window.reset();
}

void tst_DdeWindowItems::servedBoxes_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("value");
    QTest::newRow("the window's box") << "txtData"
                                      << "start";
    QTest::newRow("named in another case") << "TXTDATA"
                                           << "start";
    QTest::newRow("inside a frame") << "txtNested"
                                    << "nested";
    QTest::newRow("a dialog's box") << "txtDialog"
                                    << "";
}

void tst_DdeWindowItems::servedBoxes()
{
    QFETCH(QString, item);
    QFETCH(QString, value);
    m_window->serve();
    QCOMPARE(m_window->source->hasItem(item), !value.isEmpty());
    QCOMPARE(m_window->source->itemValue(item), value);

    // What the program sets in a served box reaches the links once per change.
    RawPeer peer(kApplication);
    QCOMPARE(peer.ask("INITIATE Topic"), QByteArray("ACK"));
    QCOMPARE(peer.ask("ADVISE txtData"), QByteArray("DATA start"));
    m_window->txtData->setText(QStringLiteral("typed"));
    m_window->txtData->setText(QStringLiteral("typed"));
    QCOMPARE(peer.nextLine(), QByteArray("UPDATE txtData typed"));
    QCOMPARE(peer.ask("REQUEST txtData"), QByteArray("DATA typed"));
}

void tst_DdeWindowItems::itemDeclaredBeforeShowsInItsBox()
{
    m_window->source->addItem(QStringLiteral("TXTDATA"), QStringLiteral("from the program"));
    m_window->serve();
    QCOMPARE(m_window->txtData->text(), QStringLiteral("from the program"));
    m_window->source->writeItem(QStringLiteral("TXTDATA"), QStringLiteral("written"));
    QCOMPARE(m_window->txtData->text(), QStringLiteral("written"));
}

void tst_DdeWindowItems::destroyedBoxIsNoLongerServed()
{
    m_window->serve();
    delete m_window->findChild<QLineEdit *>(QStringLiteral("txtNested"));
    QVERIFY(!m_window->source->hasItem(QStringLiteral("txtNested")));
}

void tst_DdeWindowItems::itemKeepsWhatItsBoxCannotHold()
{
    m_window->txtData->setMaxLength(5);
    m_window->serve();
    m_window->source->writeItem(kData, QStringLiteral("0123456789"));
    QCOMPARE(m_window->txtData->text(), QStringLiteral("01234"));
    QCOMPARE(m_window->source->itemValue(kData), QStringLiteral("0123456789"));
}

void tst_DdeWindowItems::pokes_data()
{
    QTest::addColumn<bool>("readOnlyWhenServed");
    QTest::addColumn<bool>("readOnlyWhenPoked");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("editable") << false << false << QByteArray("ACK");
    QTest::newRow("read-only") << true << true << QByteArray("NACK refused");
    QTest::newRow("made read-only later") << false << true << QByteArray("NACK refused");
    QTest::newRow("made editable later") << true << false << QByteArray("ACK");
}

void tst_DdeWindowItems::pokes()
{
    QFETCH(bool, readOnlyWhenServed);
    QFETCH(bool, readOnlyWhenPoked);
    QFETCH(QByteArray, answer);
    m_window->txtData->setReadOnly(readOnlyWhenServed);
    m_window->serve();
    m_window->txtData->setReadOnly(readOnlyWhenPoked);

    RawPeer peer(kApplication);
    QCOMPARE(peer.ask("INITIATE Topic"), QByteArray("ACK"));
    QCOMPARE(peer.ask("POKE txtData 150"), answer);
    QCOMPARE(m_window->txtData->text(), answer == "ACK" ? QStringLiteral("150") : QStringLiteral("start"));
}

void tst_DdeWindowItems::display_data()
{
    QTest::addColumn<int>("interval");
    QTest::addColumn<bool>("onScreen");
    QTest::addColumn<int>("writes");
    // The box's changes: every write, or the first at once and the last after the interval.
    QTest::addColumn<int>("shown");
    QTest::newRow("burst inside one interval") << 300 << true << 100 << 2;
    QTest::newRow("lone write") << 300 << true << 1 << 1;
    QTest::newRow("no interval") << 0 << true << 20 << 20;
    QTest::newRow("box not on screen") << 300 << false << 20 << 20;
}

void tst_DdeWindowItems::display()
{
    QFETCH(int, interval);
    QFETCH(bool, onScreen);
    QFETCH(int, writes);
    QFETCH(int, shown);
    m_window->serve();
    m_window->items->setDisplayInterval(interval);
    if (onScreen) {
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    DdeClient reader;
    reader.setLinkTopic(kApplication + QStringLiteral("|Topic"));
    reader.setLinkItem(kData);
    reader.setLinkMode(DdeClient::kLinkModeAutomatic);
    QSignalSpy updates(&reader, &DdeClient::itemUpdated);
    QSignalSpy changes(m_window->txtData, &QLineEdit::textChanged);

    for (int i = 1; i <= writes; ++i)
        m_window->source->writeItem(kData, QString::number(i));
    const QString last = QString::number(writes);
    QCOMPARE(m_window->source->itemValue(kData), last);
    QCOMPARE(m_window->txtData->text(), shown == writes ? last : QStringLiteral("1"));
    QTRY_COMPARE(m_window->txtData->text(), last);
    QCOMPARE(changes.count(), shown);
    // The links get every write, whatever the box shows.
    QTRY_COMPARE(updates.count(), writes);
    QCOMPARE(updates.last().at(0).toString(), last);
}

using Times = QList<qint64>;

namespace {

constexpr qint64 kFrame = DdeWindowItems::kDefaultDisplayInterval;

// The values a box shows for writes at `writes` (milliseconds), each write numbered from 1:
// (time shown, number). A write waiting for its frame's end is shown then by the adapter's
// timer, unless a later write of the same frame took its place.
QList<std::pair<qint64, int>> shownFor(const Times &writes)
{
    QList<std::pair<qint64, int>> shown;
    DisplayPace pace;
    std::optional<std::pair<qint64, int>> waiting;
    const auto showWaitingBefore = [&](qint64 time) {
        if (waiting && waiting->first <= time) {
            pace.changed(waiting->first);
            shown << *waiting;
            waiting.reset();
        }
    };
    for (int i = 0; i < writes.size(); ++i) {
        const qint64 now = writes.at(i);
        showWaitingBefore(now);
        const qint64 showTime = pace.showTime(now, kFrame);
        if (showTime <= now) {
            waiting.reset();
            pace.changed(now);
            shown << std::pair{now, i + 1};
        } else {
            waiting = std::pair{showTime, i + 1};
        }
    }
    showWaitingBefore(std::numeric_limits<qint64>::max());
    return shown;
}

Times evenlySpaced(int count, qint64 apart)
{
    Times times;
    for (int i = 0; i < count; ++i)
        times << i * apart;
    return times;
}

} // namespace

void tst_DdeWindowItems::pace_data()
{
    QTest::addColumn<Times>("writes");
    // -1: every write shows, at once.
    QTest::addColumn<int>("changes");
    QTest::addColumn<qint64>("lastShownAt");
    QTest::newRow("20 lines a second") << evenlySpaced(10, 50) << -1 << qint64(450);
    QTest::newRow("50 lines a second") << evenlySpaced(10, 20) << -1 << qint64(180);
    QTest::newRow("one a frame") << evenlySpaced(10, kFrame) << -1 << 9 * kFrame;
    QTest::newRow("100 lines a second") << evenlySpaced(10, 10) << 7 << qint64(96);
    QTest::newRow("1000 lines a second") << evenlySpaced(100, 1) << 8 << qint64(7 * kFrame);
    QTest::newRow("a burst at one instant") << Times(20, 0) << 2 << kFrame;
    QTest::newRow("a pair, then a pause") << Times{0, 5, 500} << 3 << qint64(500);
}

void tst_DdeWindowItems::pace()
{
    QFETCH(Times, writes);
    QFETCH(int, changes);
    QFETCH(qint64, lastShownAt);
    const auto shown = shownFor(writes);
    if (changes < 0) {
        QCOMPARE(shown.size(), writes.size());
        for (int i = 0; i < shown.size(); ++i)
            QCOMPARE(shown.at(i), (std::pair{writes.at(i), i + 1}));
    } else {
        QCOMPARE(shown.size(), changes);
    }
    // In order, never two in one frame, never later than a frame after the write, the last last.
    for (int i = 1; i < shown.size(); ++i) {
        QVERIFY2(shown.at(i).first - shown.at(i - 1).first >= kFrame, qPrintable(QString::number(i)));
        QVERIFY(shown.at(i).second > shown.at(i - 1).second);
        QVERIFY(shown.at(i).first - writes.at(shown.at(i).second - 1) <= kFrame);
    }
    QCOMPARE(shown.last().second, int(writes.size()));
    QCOMPARE(shown.last().first, lastShownAt);
}

void tst_DdeWindowItems::paceOnScreen_data()
{
    QTest::addColumn<int>("apart");
    QTest::addColumn<int>("writes");
    // Else at most one change a frame, ending with the last.
    QTest::addColumn<bool>("everyWrite");
    QTest::newRow("20 ms apart") << 20 << 10 << true;
    QTest::newRow("1 ms apart") << 1 << 200 << false;
}

void tst_DdeWindowItems::paceOnScreen()
{
    QFETCH(int, apart);
    QFETCH(int, writes);
    QFETCH(bool, everyWrite);
    m_window->serve();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QStringList shown;
    QList<qint64> shownAt;
    QList<qint64> writtenAt;
    QElapsedTimer clock;
    clock.start();
    connect(m_window->txtData, &QLineEdit::textChanged, m_window.get(), [&](const QString &text) {
        shown << text;
        shownAt << clock.elapsed();
    });
    QTimer writer;
    writer.setTimerType(Qt::PreciseTimer);
    int written = 0;
    connect(&writer, &QTimer::timeout, m_window.get(), [&] {
        writtenAt << clock.elapsed();
        m_window->source->writeItem(kData, QString::number(++written));
        if (written == writes)
            writer.stop();
    });
    writer.start(apart);
    QTRY_COMPARE(written, writes);
    const QString last = QString::number(writes);
    QTRY_COMPARE(m_window->txtData->text(), last);
    QStringList expected;
    for (int i = 1; i <= writes; ++i)
        expected << QString::number(i);
    if (everyWrite) {
        QCOMPARE(shown, expected);
    } else {
        // However slowly the writer's timer came, at most one change a frame.
        const qint64 writing = writtenAt.last() - writtenAt.first();
        QVERIFY2(shown.size() <= writing / kFrame + 2,
                 qPrintable(QStringLiteral("%1 changes in %2 ms").arg(shown.size()).arg(writing)));
    }
    for (int i = 1; i < shownAt.size(); ++i)
        QVERIFY2(shownAt.at(i) - shownAt.at(i - 1) >= kFrame, qPrintable(shown.at(i)));
}

QTEST_MAIN(tst_DdeWindowItems)
#include "tst_ddewindowitems.moc"
