#include "support/instrumentwindow.h"

#include "frmNetworkSettings.h"

#include <QCheckBox>
#include <QPointer>

using platform::SocketControl;

namespace {

// The network suite's instrument with its "Network Settings" dialog.
struct SettingsFixture : NetworkInstrument
{
    QPointer<frmNetworkSettings> dialog;

    frmNetworkSettings *open() { return dialog = showDialog<frmNetworkSettings>("mnuEditNetworkSettings"); }
    QCheckBox *chkEnabled() const { return dialog->findChild<QCheckBox *>(QStringLiteral("chkEnabled")); }
    QLineEdit *txtServerPort() const { return dialog->findChild<QLineEdit *>(QStringLiteral("txtServerPort")); }
    void fill(Qt::CheckState enabled, const QString &port) const
    {
        chkEnabled()->setCheckState(enabled);
        txtServerPort()->selectAll();
        QTest::keyClick(txtServerPort(), Qt::Key_Backspace);
        QTest::keyClicks(txtServerPort(), port);
    }
    void click(const char *button) const { clickButton(dialog, button); }
};

} // namespace

class tst_NetworkSettings : public QObject
{
    Q_OBJECT

private slots:
    void firstShowingPresentsTheDefaults();
    void portText_data();
    void portText();
    void portBeyond16BitsIsRefused_data();
    void portBeyond16BitsIsRefused();
    void enablingListensWhileOffClearingCloses();
    void okDropsTheConnectedClient();
    void cancelAppliesNothingAndKeepsTheControls();
};

void tst_NetworkSettings::firstShowingPresentsTheDefaults()
{
    SettingsFixture f;
    f.open();
    QCOMPARE(f.chkEnabled()->text(), QStringLiteral("Connection Enabled:"));
    QCOMPARE(f.chkEnabled()->checkState(), Qt::Unchecked);
    QCOMPARE(f.txtServerPort()->text(), QStringLiteral("1234"));
}

void tst_NetworkSettings::portText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Qt::CheckState>("enabled");
    QTest::addColumn<int>("port");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("half down to even") << "1234.5" << Qt::Unchecked << 1234 << QStringList();
    QTest::newRow("half up to even") << "1235.5" << Qt::Unchecked << 1236 << QStringList();
    QTest::newRow("blanks around") << " 77 " << Qt::Unchecked << 77 << QStringList();
    QTest::newRow("exponent") << "3e3" << Qt::Unchecked << 3000 << QStringList();
    QTest::newRow("not a number keeps the port") << "abc" << Qt::Unchecked << 1234 << QStringList();
    QTest::newRow("empty keeps the port") << "" << Qt::Unchecked << 1234 << QStringList();
    QTest::newRow("greyed box counts as clear") << "1234" << Qt::PartiallyChecked << 1234 << QStringList();
    // Passed on to the socket, which refuses them naming the same range as the dialog.
    QTest::newRow("zero is passed on") << "0" << Qt::Checked << 0
                                       << QStringList{"Error (frmMain - ResetNetworkConnection) 380: "
                                                      "Invalid port number 0 (ports run from 1 to 32767)"};
    QTest::newRow("negative is passed on") << "-80" << Qt::Checked << -80
                                           << QStringList{"Error (frmMain - ResetNetworkConnection) 380: "
                                                          "Invalid port number -80 (ports run from 1 to 32767)"};
}

void tst_NetworkSettings::portText()
{
    QFETCH(QString, text);
    QFETCH(Qt::CheckState, enabled);
    SettingsFixture f;
    f.open();
    f.fill(enabled, text);
    f.click("btnOK");

    QVERIFY(!f.dialog->isVisible());
    QTEST(int(f.window->serverPort()), "port");
    QCOMPARE(f.window->networkEnabled(), enabled == Qt::Checked);
    QCOMPARE(f.socket()->State(), SocketControl::Closed);
    QTEST(f.recorder.messages, "messages");
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
    SettingsFixture f;
    f.open();
    f.fill(Qt::Checked, text);
    f.click("btnOK");

    QCOMPARE(f.recorder.messages, QStringList{"The server port must be a number from 1 to 32767."});
    QVERIFY(f.dialog->isVisible());
    QVERIFY(!f.window->networkEnabled());
    QCOMPARE(int(f.window->serverPort()), 1234);
    QCOMPARE(f.socket()->State(), SocketControl::Closed);
}

void tst_NetworkSettings::enablingListensWhileOffClearingCloses()
{
    SettingsFixture f;
    const qint16 port = freeServerPort();
    f.open();
    f.fill(Qt::Checked, QString::number(port));
    f.click("btnOK");

    QVERIFY(f.window->networkEnabled());
    QCOMPARE(f.window->serverPort(), port);
    QCOMPARE(f.socket()->State(), SocketControl::Listening);
    QCOMPARE(f.socket()->LocalPort(), port);
    QCOMPARE(f.status(), QStringLiteral("Listening ..."));
    QCOMPARE(f.window->instrumentState(), InstrumentState::Off);

    f.open();
    f.chkEnabled()->setCheckState(Qt::Unchecked);
    f.click("btnOK");
    QCOMPARE(f.socket()->State(), SocketControl::Closed);
    QCOMPARE(f.status(), QString());

    f.window->ExecuteCommand(QStringLiteral("ON"));
    QCOMPARE(f.socket()->State(), SocketControl::Closed);
}

void tst_NetworkSettings::okDropsTheConnectedClient()
{
    SettingsFixture f;
    f.serverPort = freeServerPort();
    f.window->ExecuteCommand(QStringLiteral("ON"));
    f.open();
    f.fill(Qt::Checked, QString::number(f.serverPort));
    f.click("btnOK");
    auto client = f.connectClient();
    QCOMPARE(f.socket()->State(), SocketControl::Connected);

    f.open();
    f.click("btnOK");
    QVERIFY(client->waitDisconnected());
    QCOMPARE(f.socket()->State(), SocketControl::Listening);
}

void tst_NetworkSettings::cancelAppliesNothingAndKeepsTheControls()
{
    SettingsFixture f;
    frmNetworkSettings *first = f.open();
    f.fill(Qt::Checked, QStringLiteral("4321"));
    f.click("btnCancel");
    QVERIFY(!f.dialog->isVisible());
    QVERIFY(!f.window->networkEnabled());
    QCOMPARE(int(f.window->serverPort()), 1234);

    QCOMPARE(f.open(), first);
    QCOMPARE(f.chkEnabled()->checkState(), Qt::Checked);
    QCOMPARE(f.txtServerPort()->text(), QStringLiteral("4321"));
}

QTEST_MAIN(tst_NetworkSettings)
#include "tst_network_settings.moc"
