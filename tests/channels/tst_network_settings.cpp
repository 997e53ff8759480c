#include "networktestsupport.h"

#include "core/frmMain.h"
#include "dialogs/frmNetworkSettings.h"
#include "platform/network/socketcontrol.h"
#include "platform/statusbar.h"
#include "support/messagerecorder.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <memory>

using platform::SocketControl;

class tst_NetworkSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstShowingPresentsTheDefaults();
    void portText_data();
    void portText();
    void portBeyond16BitsIsRefused_data();
    void portBeyond16BitsIsRefused();
    void enablingListensWhileOff();
    void clearingClosesTheSocket();
    void okDropsTheConnectedClient();
    void cancelAppliesNothingAndKeepsTheControls();

private:
    frmNetworkSettings *openDialog();
    void fill(Qt::CheckState enabled, const QString &port) const;
    void click(const char *button) const
    {
        QTest::mouseClick(m_dialog->findChild<QPushButton *>(QLatin1String(button)), Qt::LeftButton);
    }
    QCheckBox *chkEnabled() const { return m_dialog->findChild<QCheckBox *>(QStringLiteral("chkEnabled")); }
    QLineEdit *txtServerPort() const { return m_dialog->findChild<QLineEdit *>(QStringLiteral("txtServerPort")); }
    SocketControl *socket() const { return m_window->findChild<SocketControl *>(QStringLiteral("sckServer")); }
    QString status() const { return m_window->findChild<platform::StatusBar *>(QStringLiteral("sbrMessage"))->simpleText(); }

    std::unique_ptr<MessageRecorder> m_recorder;
    std::unique_ptr<frmMain> m_window;
    QPointer<frmNetworkSettings> m_dialog;
};

void tst_NetworkSettings::init()
{
    m_recorder = std::make_unique<MessageRecorder>();
    m_window = std::make_unique<frmMain>();
    m_window->setCommEnabled(false);
}

void tst_NetworkSettings::cleanup()
{
    m_window.reset();
    m_recorder.reset();
}

frmNetworkSettings *tst_NetworkSettings::openDialog()
{
    m_window->findChild<QAction *>(QStringLiteral("mnuEditNetworkSettings"))->trigger();
    m_dialog = m_window->findChild<frmNetworkSettings *>(QStringLiteral("frmNetworkSettings"));
    return m_dialog;
}

void tst_NetworkSettings::fill(Qt::CheckState enabled, const QString &port) const
{
    chkEnabled()->setCheckState(enabled);
    txtServerPort()->selectAll();
    QTest::keyClick(txtServerPort(), Qt::Key_Backspace);
    QTest::keyClicks(txtServerPort(), port);
}

void tst_NetworkSettings::firstShowingPresentsTheDefaults()
{
    openDialog();
    QVERIFY(m_dialog->isVisible());
    QVERIFY(!m_dialog->isModal());
    QCOMPARE(m_dialog->windowTitle(), QStringLiteral("Network Settings"));
    QCOMPARE(chkEnabled()->text(), QStringLiteral("Connection Enabled:"));
    QCOMPARE(chkEnabled()->checkState(), Qt::Unchecked);
    QCOMPARE(txtServerPort()->text(), QStringLiteral("1234"));
}

void tst_NetworkSettings::portText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Qt::CheckState>("enabled");
    QTest::addColumn<int>("port");

    QTest::newRow("half down to even") << "1234.5" << Qt::Unchecked << 1234;
    QTest::newRow("half up to even") << "1235.5" << Qt::Unchecked << 1236;
    QTest::newRow("blanks around") << " 77 " << Qt::Unchecked << 77;
    QTest::newRow("exponent") << "3e3" << Qt::Unchecked << 3000;
    QTest::newRow("not a number keeps the port") << "abc" << Qt::Unchecked << 1234;
    QTest::newRow("empty keeps the port") << "" << Qt::Unchecked << 1234;
    QTest::newRow("greyed box counts as clear") << "1234" << Qt::PartiallyChecked << 1234;
}

void tst_NetworkSettings::portText()
{
    QFETCH(QString, text);
    QFETCH(Qt::CheckState, enabled);
    QFETCH(int, port);
    openDialog();
    fill(enabled, text);
    click("btnOK");

    QVERIFY(!m_dialog->isVisible());
    QCOMPARE(int(m_window->serverPort()), port);
    QVERIFY(!m_window->networkEnabled());
    QCOMPARE(socket()->State(), SocketControl::Closed);
    QVERIFY(m_recorder->messages.isEmpty());
}

void tst_NetworkSettings::portBeyond16BitsIsRefused_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("40000") << "40000";
    QTest::newRow("-40000") << "-40000";
    QTest::newRow("1e9") << "1e9";
}

void tst_NetworkSettings::portBeyond16BitsIsRefused()
{
    QFETCH(QString, text);
    openDialog();
    fill(Qt::Checked, text);
    click("btnOK");

    QCOMPARE(m_recorder->messages, QStringList{"The server port must be a number from 1 to 32767."});
    QVERIFY(m_dialog->isVisible());
    QVERIFY(!m_window->networkEnabled());
    QCOMPARE(int(m_window->serverPort()), 1234);
    QCOMPARE(socket()->State(), SocketControl::Closed);
}

void tst_NetworkSettings::enablingListensWhileOff()
{
    const qint16 port = freeServerPort();
    openDialog();
    fill(Qt::Checked, QString::number(port));
    click("btnOK");

    QVERIFY(m_window->networkEnabled());
    QCOMPARE(m_window->serverPort(), port);
    QCOMPARE(socket()->State(), SocketControl::Listening);
    QCOMPARE(socket()->LocalPort(), port);
    QCOMPARE(status(), QStringLiteral("Listening ..."));
    QCOMPARE(m_window->instrumentState(), InstrumentState::Off);
}

void tst_NetworkSettings::clearingClosesTheSocket()
{
    openDialog();
    fill(Qt::Checked, QString::number(freeServerPort()));
    click("btnOK");
    QCOMPARE(socket()->State(), SocketControl::Listening);

    openDialog();
    chkEnabled()->setCheckState(Qt::Unchecked);
    click("btnOK");
    QCOMPARE(socket()->State(), SocketControl::Closed);
    QCOMPARE(status(), QString());

    m_window->ExecuteCommand(QStringLiteral("ON"));
    QCOMPARE(socket()->State(), SocketControl::Closed);
}

void tst_NetworkSettings::okDropsTheConnectedClient()
{
    const qint16 port = freeServerPort();
    m_window->ExecuteCommand(QStringLiteral("ON"));
    openDialog();
    fill(Qt::Checked, QString::number(port));
    click("btnOK");
    TestClient client(port);
    QVERIFY(client.waitConnected());
    QTRY_COMPARE(socket()->State(), SocketControl::Connected);

    openDialog();
    click("btnOK");
    QVERIFY(client.waitDisconnected());
    QCOMPARE(socket()->State(), SocketControl::Listening);
}

void tst_NetworkSettings::cancelAppliesNothingAndKeepsTheControls()
{
    frmNetworkSettings *first = openDialog();
    fill(Qt::Checked, QStringLiteral("4321"));
    click("btnCancel");
    QVERIFY(!m_dialog->isVisible());
    QVERIFY(!m_window->networkEnabled());
    QCOMPARE(int(m_window->serverPort()), 1234);

    QCOMPARE(openDialog(), first);
    QCOMPARE(chkEnabled()->checkState(), Qt::Checked);
    QCOMPARE(txtServerPort()->text(), QStringLiteral("4321"));
}

QTEST_MAIN(tst_NetworkSettings)
#include "tst_network_settings.moc"
