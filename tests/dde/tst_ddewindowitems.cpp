// A window's text boxes served as items of a DDE source: which boxes are served, how their
// edits reach the links, and how the items' writes show in them.

#include "ddepeer.h"

#include "ddeclient.h"
#include "ddesource.h"
#include "ddewindowitems.h"

#include <QDialog>
#include <QFrame>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <memory>

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

QTEST_MAIN(tst_DdeWindowItems)
#include "tst_ddewindowitems.moc"
