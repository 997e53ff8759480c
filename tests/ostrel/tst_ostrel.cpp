// The destination window against the demonstration source, in this process: the link, poke,
// reset, the background colour and the failures that are reported instead of ending the program.

#include "frmDestination.h"
#include "frmSource.h"
#include "support/messagerecorder.h"

#include "ddeprotocol.h"
#include "ddesource.h"
#include "ddetextbox.h"

#include <QApplication>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <memory>

namespace {

const QColor kRed(255, 0, 0);

QColor buttonFace()
{
    return QApplication::palette().color(QPalette::Button);
}

} // namespace

class tst_ostrel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowControls();
    void typedTextSetsBackground_data();
    void typedTextSetsBackground();
    void connectFollowsSource();
    void pokeSendsEditedText_data();
    void pokeSendsEditedText();
    void resetReachesSource();
    void connectTwiceLeavesOneLink();
    void failuresAreReported_data();
    void failuresAreReported();

private:
    void click(const char *button);
    QString sourceData() const;
    void writeSource(const QString &text);

    std::unique_ptr<MessageRecorder> m_messages;
    std::unique_ptr<frmDestination> m_window;
    std::unique_ptr<frmSource> m_source;
    platform::DdeTextBox *m_box = nullptr;
};

void tst_ostrel::init()
{
    m_messages = std::make_unique<MessageRecorder>();
    m_window = std::make_unique<frmDestination>();
    m_box = m_window->findChild<platform::DdeTextBox *>(QStringLiteral("txtConnect"));
    QVERIFY(m_box);
}

void tst_ostrel::cleanup()
{
    m_window.reset();
    m_source.reset();
    m_messages.reset();
}

void tst_ostrel::click(const char *button)
{
    auto *control = m_window->findChild<QPushButton *>(QLatin1String(button));
    QVERIFY(control);
    QTest::mouseClick(control, Qt::LeftButton);
}

QString tst_ostrel::sourceData() const
{
    return m_source->findChild<QLineEdit *>(QStringLiteral("txtData"))->text();
}

// Writes the source's item as its program would, so every linked box is updated.
void tst_ostrel::writeSource(const QString &text)
{
    m_source->source()->writeItem(QStringLiteral("txtData"), text);
}

void tst_ostrel::windowControls()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("DDE Destination"));
    QCOMPARE(m_window->backColor(), buttonFace());

    const QStringList tabOrder{QStringLiteral("txtConnect"), QStringLiteral("btnConnect"), QStringLiteral("btnReset"),
                               QStringLiteral("btnPoke")};
    QWidget *widget = m_box;
    for (const QString &next : tabOrder.mid(1)) {
        widget = widget->nextInFocusChain();
        QCOMPARE(widget->objectName(), next);
    }
    QCOMPARE(m_window->findChild<QPushButton *>(QStringLiteral("btnConnect"))->text(), QStringLiteral("Connect"));
    QCOMPARE(m_window->findChild<QPushButton *>(QStringLiteral("btnReset"))->text(), QStringLiteral("Reset"));
    QCOMPARE(m_window->findChild<QPushButton *>(QStringLiteral("btnPoke"))->text(), QStringLiteral("Poke"));
}

void tst_ostrel::typedTextSetsBackground_data()
{
    QTest::addColumn<QStringList>("typedTexts");
    QTest::addColumn<bool>("red");

    QTest::newRow("above 100") << QStringList{"150"} << true;
    QTest::newRow("100 after red") << QStringList{"150", "100"} << false;
    QTest::newRow("negative after red") << QStringList{"150", "-5"} << false;
    QTest::newRow("letters keep red") << QStringList{"150", "abc"} << true;
    QTest::newRow("empty keeps red") << QStringList{"150", ""} << true;
    QTest::newRow("letters keep default") << QStringList{"abc"} << false;
    QTest::newRow("rounds to 100 as float") << QStringList{"150", "100.0000038"} << false;
}

void tst_ostrel::typedTextSetsBackground()
{
    QFETCH(QStringList, typedTexts);
    QFETCH(bool, red);

    for (const QString &text : typedTexts) {
        m_box->selectAll();
        QTest::keyClick(m_box, Qt::Key_Delete);
        QTest::keyClicks(m_box, text);
        QCOMPARE(m_box->text(), text);
    }
    QCOMPARE(m_window->backColor(), red ? kRed : buttonFace());
    QCOMPARE(m_messages->messages, QStringList());
}

void tst_ostrel::connectFollowsSource()
{
    m_source = std::make_unique<frmSource>();
    writeSource(QStringLiteral("42"));

    click("btnConnect");
    QCOMPARE(m_messages->messages, QStringList());
    QCOMPARE(m_box->text(), QStringLiteral("42"));

    writeSource(QStringLiteral("150"));
    QTRY_COMPARE(m_box->text(), QStringLiteral("150"));
    QCOMPARE(m_window->backColor(), kRed);

    writeSource(QStringLiteral("100"));
    QTRY_COMPARE(m_box->text(), QStringLiteral("100"));
    QCOMPARE(m_window->backColor(), buttonFace());
}

void tst_ostrel::pokeSendsEditedText_data()
{
    // The longest text whose update, "UPDATE txtData <text>", fits in a protocol line.
    const int longest = platform::DdeProtocol::kMaximumLineBytes - int(qstrlen("UPDATE txtData "));
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("logged"); // empty: the poke is refused with 285
    QTest::newRow("number") << "77.5"
                            << "poke txtData \"77.5\"";
    QTest::newRow("100 000 characters") << QString(
        100000, QLatin1Char('1')) << "poke txtData \"" + QString(200, QLatin1Char('1')) + "...\" (100000 characters)";
    QTest::newRow("longest a line carries")
        << QString(longest, QLatin1Char('2'))
        << "poke txtData \"" + QString(200, QLatin1Char('2')) + "...\" (" + QString::number(longest) + " characters)";
    QTest::newRow("one more than an update carries") << QString(longest + 1, QLatin1Char('3')) << QString();
}

void tst_ostrel::pokeSendsEditedText()
{
    QFETCH(QString, typed);
    QFETCH(QString, logged);
    m_source = std::make_unique<frmSource>();
    click("btnConnect");
    QCOMPARE(m_box->text(), QLatin1String(frmSource::kResetValue));

    m_box->selectAll();
    m_box->insert(typed);
    QCOMPARE(m_box->text().size(), typed.size());
    QSignalSpy updates(m_box, &platform::DdeTextBox::itemUpdated);
    click("btnPoke");
    if (logged.isEmpty()) {
        // Over the line limit the text stays whole in the box and the source keeps its value.
        QCOMPARE(m_messages->messages.size(), 1);
        QVERIFY(
            m_messages->messages.first().startsWith(QStringLiteral("Error (frmDestination - btnPoke_Click) 285: ")));
        QCOMPARE(sourceData(), QLatin1String(frmSource::kResetValue));
        QCOMPARE(m_box->text(), typed);
        return;
    }
    QCOMPARE(m_messages->messages, QStringList());
    QCOMPARE(sourceData(), typed);
    QCOMPARE(m_source->received().last(), logged);
    // The source's update, ahead of its acknowledgement, brought the whole text back.
    QCOMPARE(updates.count(), 1);
    QCOMPARE(m_box->text(), typed);
}

void tst_ostrel::resetReachesSource()
{
    m_source = std::make_unique<frmSource>();
    writeSource(QStringLiteral("250"));
    click("btnConnect");
    QCOMPARE(m_window->backColor(), kRed);

    click("btnReset");
    QCOMPARE(m_messages->messages, QStringList());
    QCOMPARE(m_source->received().last(), QStringLiteral("execute \"RESET\""));
    QCOMPARE(sourceData(), QStringLiteral("0"));
    QTRY_COMPARE(m_box->text(), QStringLiteral("0"));
    QCOMPARE(m_window->backColor(), buttonFace());
}

void tst_ostrel::connectTwiceLeavesOneLink()
{
    m_source = std::make_unique<frmSource>();
    click("btnConnect");
    click("btnConnect");
    QTRY_COMPARE(m_source->source()->conversationCount(), 1);

    QSignalSpy updates(m_box, &platform::DdeTextBox::itemUpdated);
    writeSource(QStringLiteral("5"));
    QVERIFY(updates.wait());
    QVERIFY(!updates.wait(200));
    QCOMPARE(updates.count(), 1);
}

void tst_ostrel::failuresAreReported_data()
{
    QTest::addColumn<bool>("sourceRunning");
    QTest::addColumn<bool>("pokesAccepted");
    QTest::addColumn<QStringList>("buttons");
    QTest::addColumn<QString>("prefix");

    QTest::newRow("connect, no source") << false << true << QStringList{"btnConnect"}
                                        << "Error (frmDestination - btnConnect_Click) 282: ";
    QTest::newRow("poke without link") << true << true << QStringList{"btnPoke"}
                                       << "Error (frmDestination - btnPoke_Click) 293: ";
    QTest::newRow("reset without link") << true << true << QStringList{"btnReset"}
                                        << "Error (frmDestination - btnReset_Click) 293: ";
    QTest::newRow("poke refused") << true << false << QStringList{"btnConnect", "btnPoke"}
                                  << "Error (frmDestination - btnPoke_Click) 285: ";
}

void tst_ostrel::failuresAreReported()
{
    QFETCH(bool, sourceRunning);
    QFETCH(bool, pokesAccepted);
    QFETCH(QStringList, buttons);
    QFETCH(QString, prefix);

    if (sourceRunning) {
        m_source = std::make_unique<frmSource>();
        m_source->source()->setPokeEnabled(pokesAccepted);
    }
    for (const QString &button : buttons)
        click(button.toLatin1().constData());

    QCOMPARE(m_messages->messages.size(), 1);
    const QString message = m_messages->messages.first();
    QVERIFY2(message.startsWith(prefix), qPrintable(message));
    QVERIFY2(message.size() > prefix.size(), "the description is missing");
    QCOMPARE(m_messages->captions, QStringList{QCoreApplication::applicationName()});

    // The program carries on: once a source answers, Connect works.
    if (!m_source)
        m_source = std::make_unique<frmSource>();
    click("btnConnect");
    QCOMPARE(m_messages->messages.size(), 1);
    QCOMPARE(m_box->linkMode(), platform::DdeTextBox::kLinkModeAutomatic);
}

QTEST_MAIN(tst_ostrel)
#include "tst_ostrel.moc"
