// The command client's window: its controls, Connect against a running instrument, Execute and
// the link-error messages.

#include "fakeinstrument.h"
#include "frmTovrask.h"
#include "support/messagerecorder.h"

#include "ddedirectory.h"
#include "ddetextbox.h"

#include <QComboBox>
#include <QLocalServer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

namespace {

const QString kChannelClosed = QStringLiteral("Error. Is the Kestrin running?  The DDE channel is closed.");

} // namespace

class tst_tovrask : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowControls();
    void executeBeforeConnect();
    void connectShowsAndFollowsOutput();
    void executeSendsFieldUnchanged_data();
    void executeSendsFieldUnchanged();
    void enterPressesExecute();
    void refusedExecuteShowsNumberAndDescription();
    void connectToInstrumentThatIsOff();
    void connectTwiceLeavesOneLink();
    void connectWhileConnectWaits();
    void linkErrorMessages_data();
    void linkErrorMessages();

private:
    void click(const char *button);
    void connectWindow();

    QTemporaryDir m_emptyFolder;
    std::unique_ptr<MessageRecorder> m_messages;
    std::unique_ptr<frmTovrask> m_window;
    platform::DdeTextBox *m_output = nullptr;
    QComboBox *m_command = nullptr;
};

void tst_tovrask::initTestCase()
{
    // No instrument program may be started by these cases.
    qputenv("PATH", m_emptyFolder.path().toLocal8Bit());
}

void tst_tovrask::init()
{
    m_messages = std::make_unique<MessageRecorder>();
    m_window = std::make_unique<frmTovrask>();
    m_window->setInstrumentStarter(InstrumentStarter(m_emptyFolder.path()));
    m_output = m_window->findChild<platform::DdeTextBox *>(QStringLiteral("txtOutput"));
    m_command = m_window->findChild<QComboBox *>(QStringLiteral("cmbCommand"));
    QVERIFY(m_output);
    QVERIFY(m_command);
}

void tst_tovrask::cleanup()
{
    m_window.reset();
    m_messages.reset();
}

void tst_tovrask::click(const char *button)
{
    auto *control = m_window->findChild<QPushButton *>(QLatin1String(button));
    QVERIFY(control);
    QTest::mouseClick(control, Qt::LeftButton);
}

void tst_tovrask::connectWindow()
{
    QSignalSpy finished(m_window.get(), &frmTovrask::connectFinished);
    click("btnConnect");
    QVERIFY(finished.count() == 1 || finished.wait());
}

void tst_tovrask::windowControls()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Tovrask"));

    const QStringList tabOrder{QStringLiteral("btnConnect"), QStringLiteral("txtOutput"), QStringLiteral("btnExecute"),
                               QStringLiteral("cmbCommand")};
    QWidget *widget = m_window->findChild<QWidget *>(tabOrder.first());
    for (const QString &next : tabOrder.mid(1)) {
        widget = widget->nextInFocusChain();
        while (widget->focusProxy() || widget->parentWidget() != m_window.get())
            widget = widget->nextInFocusChain();
        QCOMPARE(widget->objectName(), next);
    }

    auto *execute = m_window->findChild<QPushButton *>(QStringLiteral("btnExecute"));
    QCOMPARE(execute->text(), QStringLiteral("Execute"));
    QVERIFY(execute->isDefault());
    QCOMPARE(m_window->findChild<QPushButton *>(QStringLiteral("btnConnect"))->text(), QStringLiteral("Connect"));

    QStringList commands;
    for (int index = 0; index < m_command->count(); ++index)
        commands << m_command->itemText(index);
    QCOMPARE(commands, QStringList({"Analyze", "Abort", "Pause", "Resume", "Off"}));
    QCOMPARE(m_command->currentIndex(), -1);
    QCOMPARE(m_command->currentText(), QString());
    QVERIFY(m_command->isEditable());
    QVERIFY(m_output->text().isEmpty());
}

void tst_tovrask::executeBeforeConnect()
{
    m_command->setCurrentIndex(0);
    click("btnExecute");
    QCOMPARE(m_messages->messages, QStringList{kChannelClosed});
    QCOMPARE(m_messages->captions, QStringList{QCoreApplication::applicationName()});
}

void tst_tovrask::connectShowsAndFollowsOutput()
{
    FakeInstrument instrument;
    instrument.write(QStringLiteral("OK"));
    connectWindow();
    QCOMPARE(m_messages->messages, QStringList());
    QCOMPARE(m_output->linkTopic(), QStringLiteral("Kestrin|Kestrin"));
    QCOMPARE(m_output->linkItem(), QStringLiteral("txtOutput"));
    QCOMPARE(m_output->text(), QStringLiteral("OK"));

    instrument.write(QStringLiteral("1,0.5,0.25"));
    QTRY_COMPARE(m_output->text(), QStringLiteral("1,0.5,0.25"));
    // A long line arrives whole.
    const QString longLine(100000, QLatin1Char('7'));
    instrument.write(longLine);
    QTRY_COMPARE(m_output->text(), longLine);
}

void tst_tovrask::executeSendsFieldUnchanged_data()
{
    QTest::addColumn<int>("pickedEntry");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("sent");

    QTest::newRow("picked from the list") << 2 << QString() << QStringLiteral("Pause");
    QTest::newRow("typed with argument, blanks and lower case")
        << -1 << QStringLiteral(" analyze 5 ") << QStringLiteral(" analyze 5 ");
    QTest::newRow("picked, then edited") << 0 << QStringLiteral(" 3") << QStringLiteral("Analyze 3");
    // The field completes nothing: a prefix or another case of an entry is sent as typed.
    QTest::newRow("prefix of an entry") << -1 << QStringLiteral("Pa") << QStringLiteral("Pa");
    QTest::newRow("entry in upper case") << -1 << QStringLiteral("RESUME") << QStringLiteral("RESUME");
    QTest::newRow("empty field") << -1 << QString() << QString();
}

void tst_tovrask::executeSendsFieldUnchanged()
{
    QFETCH(int, pickedEntry);
    QFETCH(QString, typed);
    QFETCH(QString, sent);

    FakeInstrument instrument;
    connectWindow();
    m_command->setCurrentIndex(pickedEntry);
    m_command->lineEdit()->end(false);
    QTest::keyClicks(m_command->lineEdit(), typed);
    click("btnExecute");

    QCOMPARE(instrument.executes, QStringList{sent});
    QCOMPARE(m_messages->messages, QStringList());
    // What was typed did not join the list.
    QCOMPARE(m_command->count(), 5);
}

void tst_tovrask::enterPressesExecute()
{
    FakeInstrument instrument;
    connectWindow();
    m_window->show();
    m_command->setFocus();
    QTest::keyClicks(m_command->lineEdit(), QStringLiteral("RESUME"));
    QTest::keyClick(m_command->lineEdit(), Qt::Key_Return);
    QCOMPARE(instrument.executes, QStringList{QStringLiteral("RESUME")});
    QCOMPARE(m_command->count(), 5);
}

void tst_tovrask::refusedExecuteShowsNumberAndDescription()
{
    FakeInstrument instrument;
    instrument.refuseExecutes = true;
    connectWindow();
    m_command->setEditText(QStringLiteral("RESUME"));
    click("btnExecute");

    QCOMPARE(m_messages->messages.size(), 1);
    const QString message = m_messages->messages.first();
    QVERIFY2(message.startsWith(QStringLiteral("Error 285: ")), qPrintable(message));
    QVERIFY2(message.size() > QStringLiteral("Error 285: ").size(), "the description is missing");
    // The link stays up after a refused command.
    instrument.write(QStringLiteral("Error 2: Illegal Command - RESUME"));
    QTRY_COMPARE(m_output->text(), QStringLiteral("Error 2: Illegal Command - RESUME"));
}

void tst_tovrask::connectToInstrumentThatIsOff()
{
    FakeInstrument instrument(false);
    connectWindow();
    QCOMPARE(m_messages->messages, QStringList{kTurnInstrumentOn});
    QCOMPARE(m_output->linkMode(), platform::DdeTextBox::kLinkModeNone);
    QVERIFY(!m_window->isWaitingForInstrument());

    // A later Connect tries afresh.
    instrument.on = true;
    connectWindow();
    QCOMPARE(m_messages->messages.size(), 1);
    QCOMPARE(m_output->linkMode(), platform::DdeTextBox::kLinkModeAutomatic);
}

void tst_tovrask::connectTwiceLeavesOneLink()
{
    FakeInstrument instrument;
    connectWindow();
    connectWindow();
    QTRY_COMPARE(instrument.source->conversationCount(), 1);

    QSignalSpy updates(m_output, &platform::DdeTextBox::itemUpdated);
    instrument.write(QStringLiteral("0.1"));
    QVERIFY(updates.wait());
    // A second link would deliver the same line again.
    QVERIFY(!updates.wait(200));
    QCOMPARE(updates.count(), 1);
}

void tst_tovrask::connectWhileConnectWaits()
{
    // An instrument that takes the connection but never answers.
    QLocalServer silent;
    QVERIFY(
        silent.listen(platform::DdeDirectory::socketPath(platform::DdeDirectory::ensure(), QStringLiteral("Kestrin"))));
    m_output->setLinkTimeout(300);
    QTimer::singleShot(50, m_window.get(), [this] { click("btnConnect"); });
    connectWindow();

    // The second press did nothing: one Connect, ended by its own time-out.
    QCOMPARE(m_messages->messages.size(), 1);
    QVERIFY2(m_messages->messages.first().startsWith(QStringLiteral("Error 286 on Connect.  ")),
             qPrintable(m_messages->messages.first()));
}

void tst_tovrask::linkErrorMessages_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    QTest::newRow("instrument closed") << 6
                                       << QStringLiteral(
                                              "Error. The Tovrask attempted to continue after the Kestrin closed.");
    QTest::newRow("no room") << 7 << QStringLiteral("Error. All Kestrin DDE links are in use.");
    QTest::newRow("other code") << 8 << QString();
    QTest::newRow("zero") << 0 << QString();
}

void tst_tovrask::linkErrorMessages()
{
    QFETCH(int, code);
    QFETCH(QString, message);
    emit m_output->LinkError(code);
    QCOMPARE(m_messages->messages, QStringList{message});
}

QTEST_MAIN(tst_tovrask)
#include "tst_tovrask.moc"
