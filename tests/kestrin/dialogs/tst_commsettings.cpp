// The "Communication Settings" dialog: the settings text built from its lists' item values,
// OK applying at once in every instrument state, Cancel, and the device of the chosen port.

#include "support/rs232fixture.h"

#include "serialdevices.h"
#include "frmCommSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>

namespace {

struct DialogFixture : Rs232Fixture
{
    QPointer<frmCommSettings> dialog;

    frmCommSettings *open() { return dialog = showDialog<frmCommSettings>("mnuEditRS232PortSettings"); }
    template<typename Control>
    Control *control(const char *name) const
    {
        return dialog->findChild<Control *>(QLatin1String(name));
    }
    QComboBox *list(const char *name) const { return control<QComboBox>(name); }
    void choose(const char *listName, const QString &entry) const
    {
        QComboBox *box = list(listName);
        box->setCurrentIndex(box->findText(entry));
    }
    void click(const char *name) const { clickButton(dialog, name); }
};

} // namespace

class tst_CommSettings : public QObject
{
    Q_OBJECT

private slots:
    void okWithoutChanges();
    void settingsFromEveryList_data();
    void settingsFromEveryList();
    void okWhileOffOpensPortForOn();
    void disabledPortStaysClosed();
    void cancelKeepsEditsAndAppliesNothing();
    void failedOpeningClosesDialog();
    void deviceOfChosenPort();
};

void tst_CommSettings::okWithoutChanges()
{
    DialogFixture f;
    QVERIFY(f.open());
    QVERIFY(f.control<QCheckBox>("chkEnabled")->isChecked());
    QCOMPARE(f.control<QCheckBox>("chkEnabled")->text(), QStringLiteral("Port Enabled:"));

    f.click("btnOK");
    QVERIFY(!f.dialog->isVisible());
    QCOMPARE(f.port->Settings(), QStringLiteral("19200,N,8,1"));
    QCOMPARE(f.port->CommPort(), qint16(1));
    QVERIFY(f.port->PortOpen());
    QCOMPARE(f.port->deviceName(), f.line.deviceName());
    QCOMPARE(f.recorder.messages, QStringList());
}

void tst_CommSettings::settingsFromEveryList_data()
{
    QTest::addColumn<QStringList>("choice"); // port, baud rate, parity, data bits, stop bits
    QTest::addColumn<QString>("settings");
    QTest::addColumn<qint16>("port");
    QTest::addColumn<bool>("opens"); // a pseudo-terminal keeps 8 data bits without parity

    QTest::newRow("9600 even 7 2") << QStringList{"Port 1", "9600", "Even", "7", "2"} << "9600,E,7,2" << qint16(1)
                                   << false;
    QTest::newRow("1.5 stop bits") << QStringList{"Port 2", "1200", "Mark", "5", "1.5"} << "1200,M,5,1.5" << qint16(2)
                                   << false;
    QTest::newRow("2400 odd 6") << QStringList{"Port 1", "2400", "Odd", "6", "1"} << "2400,O,6,1" << qint16(1) << false;
    QTest::newRow("14400 space 4") << QStringList{"Port 2", "14400", "Space", "4", "2"} << "14400,S,4,2" << qint16(2)
                                   << false;
    QTest::newRow("19200 none 8 2 on port 2")
        << QStringList{"Port 2", "19200", "None", "8", "2"} << "19200,N,8,2" << qint16(2) << true;
}

void tst_CommSettings::settingsFromEveryList()
{
    QFETCH(QStringList, choice);
    QFETCH(bool, opens);
    DialogFixture f;
    QVERIFY(f.open());
    const char *lists[] = {"cmbCommPort", "cmbBaudRate", "cmbParity", "cmbDataBits", "cmbStopBits"};
    for (int i = 0; i < 5; ++i)
        f.choose(lists[i], choice.at(i));

    f.click("btnOK");
    QTEST(f.port->Settings(), "settings");
    QTEST(f.port->CommPort(), "port");
    QCOMPARE(f.port->PortOpen(), opens);
    QCOMPARE(f.recorder.messages.size(), opens ? 0 : 1);
}

void tst_CommSettings::okWhileOffOpensPortForOn()
{
    DialogFixture f;
    QVERIFY(f.open());
    f.click("btnOK");
    QCOMPARE(f.window->instrumentState(), InstrumentState::Off);
    QVERIFY(f.port->PortOpen());

    // While Off only ON is taken.
    QVERIFY(f.line.send("ANALYZE\r"));
    QCOMPARE(f.line.receiveUntil("\r"), QByteArray("Error 2: Illegal Command - ANALYZE\r"));
    QVERIFY(f.line.send("ON\r"));
    QCOMPARE(f.line.receiveUntil("\r"), QByteArray("OK\r"));
    QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
    QVERIFY(f.port->PortOpen());
}

void tst_CommSettings::disabledPortStaysClosed()
{
    DialogFixture f;
    f.window->ExecuteCommand(QStringLiteral("ON"));
    QVERIFY(f.port->PortOpen());
    QVERIFY(f.open());
    f.control<QCheckBox>("chkEnabled")->setChecked(false);
    f.click("btnOK");
    QVERIFY(!f.port->PortOpen());

    f.window->ExecuteCommand(QStringLiteral("OFF"));
    f.window->ExecuteCommand(QStringLiteral("ON"));
    QVERIFY(!f.port->PortOpen());
    // A greyed box does not count as ticked either.
    f.open();
    f.control<QCheckBox>("chkEnabled")->setCheckState(Qt::PartiallyChecked);
    f.click("btnOK");
    QVERIFY(!f.port->PortOpen());
    QCOMPARE(f.recorder.messages, QStringList());
}

void tst_CommSettings::cancelKeepsEditsAndAppliesNothing()
{
    DialogFixture f;
    f.window->ResetRS232Port();
    frmCommSettings *first = f.open();
    f.choose("cmbBaudRate", QStringLiteral("9600"));
    f.choose("cmbCommPort", QStringLiteral("Port 2"));
    f.control<QCheckBox>("chkEnabled")->setChecked(false);
    f.click("btnCancel");
    QVERIFY(!f.dialog->isVisible());
    QCOMPARE(f.port->Settings(), QStringLiteral("19200,N,8,1"));
    QCOMPARE(f.port->deviceName(), f.line.deviceName());
    QVERIFY(f.port->PortOpen());

    QCOMPARE(f.open(), first);
    QCOMPARE(f.list("cmbBaudRate")->currentText(), QStringLiteral("9600"));
    QCOMPARE(f.list("cmbCommPort")->currentText(), QStringLiteral("Port 2"));
    QVERIFY(!f.control<QCheckBox>("chkEnabled")->isChecked());
}

void tst_CommSettings::failedOpeningClosesDialog()
{
    DialogFixture f;
    qputenv("KESTRIN_COM2", "/nonexistent/ttyKestrin2");
    f.window->ExecuteCommand(QStringLiteral("ON"));
    QVERIFY(f.open());
    f.choose("cmbCommPort", QStringLiteral("Port 2"));
    f.click("btnOK");

    QCOMPARE(f.recorder.messages.size(), 1);
    QVERIFY2(f.recorder.messages.first().startsWith(
                 QStringLiteral("Error (frmMain - ResetRS232Port) 68: Device unavailable: /nonexistent/ttyKestrin2")),
             qPrintable(f.recorder.messages.first()));
    QVERIFY(!f.dialog->isVisible());
    QVERIFY(!f.port->PortOpen());
    QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
}

void tst_CommSettings::deviceOfChosenPort()
{
    DialogFixture f;
    qunsetenv("KESTRIN_COM1"); // port 1 virtual, port 2 on the second pty pair
    QVERIFY(f.open());
    auto *device = f.control<QLineEdit>("txtDevice");
    QCOMPARE(device->text(), instrumentSerialDevices().virtualPortPath(1));
    QCOMPARE(f.control<QLabel>("lblDevice")->buddy(), device);
    f.choose("cmbCommPort", QStringLiteral("Port 2"));
    QCOMPARE(device->text(), f.secondLine.deviceName());

    // In a row of its own inside the window, over no other control.
    QVERIFY(f.dialog->rect().contains(device->geometry()));
    for (const QWidget *control : f.dialog->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (control != device)
            QVERIFY2(!control->geometry().intersects(device->geometry()), qPrintable(control->objectName()));
    }

    // The map is read again at the next showing, as at every opening of the port.
    f.click("btnCancel");
    qputenv("KESTRIN_COM2", "/dev/ttyUSB7");
    QVERIFY(f.open());
    QCOMPARE(device->text(), QStringLiteral("/dev/ttyUSB7"));
}

QTEST_MAIN(tst_CommSettings)
#include "tst_commsettings.moc"
