// What the instrument's three settings dialogs share: one non-modal instance shown from the
// menu, kept while hidden, unloaded with the main window; and the entries of their lists.

#include "support/instrumentwindow.h"

#include "frmCommSettings.h"
#include "frmNetworkSettings.h"
#include "frmXmitFormats.h"

#include <QComboBox>
#include <QPointer>

namespace {

QWidget *showDialog(const NetworkInstrument &f, const QString &menuEntry, const QString &dialogName)
{
    f.find<QAction>(menuEntry.toLatin1().constData())->trigger();
    return f.find<QWidget>(dialogName.toLatin1().constData());
}

} // namespace

class tst_DialogWindows : public QObject
{
    Q_OBJECT

private slots:
    void oneNonModalInstance_data();
    void oneNonModalInstance();
    void listsAtLoad_data();
    void listsAtLoad();
};

void tst_DialogWindows::oneNonModalInstance_data()
{
    QTest::addColumn<QString>("menuEntry");
    QTest::addColumn<QString>("dialogName");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("hideButton");

    // OK in "Communication Settings" would open a port the suite does not have.
    QTest::newRow("formats") << "mnuEditXmitFormat"
                             << "frmXmitFormats"
                             << "Transmission Formats"
                             << "btnOK";
    QTest::newRow("network") << "mnuEditNetworkSettings"
                             << "frmNetworkSettings"
                             << "Network Settings"
                             << "btnOK";
    QTest::newRow("serial port") << "mnuEditRS232PortSettings"
                                 << "frmCommSettings"
                                 << "Communication Settings"
                                 << "btnCancel";
}

void tst_DialogWindows::oneNonModalInstance()
{
    QFETCH(QString, menuEntry);
    QFETCH(QString, dialogName);
    QFETCH(QString, hideButton);
    NetworkInstrument f;
    showDialog(f, menuEntry, dialogName);
    const QPointer<QWidget> dialog = showDialog(f, menuEntry, dialogName);
    QVERIFY(dialog);
    QCOMPARE(f.window->findChildren<QWidget *>(dialogName).size(), 1);
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->isModal());
    QTEST(dialog->windowTitle(), "title");

    // Shown again after it was hidden, the same window comes back.
    clickButton(dialog, hideButton.toLatin1().constData());
    QVERIFY(!dialog->isVisible());
    QCOMPARE(showDialog(f, menuEntry, dialogName), dialog.data());
    QVERIFY(dialog->isVisible());
    // Esc is Cancel: it hides the window and leaves it loaded.
    QTest::keyClick(dialog, Qt::Key_Escape);
    QVERIFY(!dialog->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(showDialog(f, menuEntry, dialogName), dialog.data());

    f.window->show();
    f.window->close();
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(f.recorder.messages, QStringList());
}

void tst_DialogWindows::listsAtLoad_data()
{
    QTest::addColumn<QString>("menuEntry");
    QTest::addColumn<QString>("dialogName");
    QTest::addColumn<QString>("list");
    QTest::addColumn<bool>("editable");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<QString>("selected");

    const QString formats = QStringLiteral("mnuEditXmitFormat");
    const QString serial = QStringLiteral("mnuEditRS232PortSettings");
    QTest::newRow("token separator") << formats << "frmXmitFormats"
                                     << "cmbTokenSep" << true << QStringList{"<Comma>", "<Tab>", "<Space>"}
                                     << QList<int>{6, 7, 5} << "<Comma>";
    QTest::newRow("line terminator") << formats << "frmXmitFormats"
                                     << "cmbLineTerm" << true << QStringList{"<CR>", "<LF>", "<CR><LF>"}
                                     << QList<int>{9, 10, 8} << "<CR>";
    QTest::newRow("port") << serial << "frmCommSettings"
                          << "cmbCommPort" << false << QStringList{"Port 1", "Port 2"} << QList<int>{1, 2} << "Port 1";
    QTest::newRow("baud rate") << serial << "frmCommSettings"
                               << "cmbBaudRate" << false << QStringList{"1200", "2400", "9600", "14400", "19200"}
                               << QList<int>{1200, 2400, 9600, 14400, 19200} << "19200";
    QTest::newRow("parity") << serial << "frmCommSettings"
                            << "cmbParity" << false << QStringList{"Even", "Mark", "None", "Odd", "Space"}
                            << QList<int>{'E', 'M', 'N', 'O', 'S'} << "None";
    QTest::newRow("data bits") << serial << "frmCommSettings"
                               << "cmbDataBits" << false << QStringList{"4", "5", "6", "7", "8"}
                               << QList<int>{4, 5, 6, 7, 8} << "8";
    QTest::newRow("stop bits") << serial << "frmCommSettings"
                               << "cmbStopBits" << false << QStringList{"1", "1.5", "2"} << QList<int>{2, 3, 4} << "1";
}

void tst_DialogWindows::listsAtLoad()
{
    QFETCH(QString, menuEntry);
    QFETCH(QString, dialogName);
    QFETCH(QString, list);
    NetworkInstrument f;
    auto *box = showDialog(f, menuEntry, dialogName)->findChild<QComboBox *>(list);
    QVERIFY(box);
    QTEST(box->isEditable(), "editable");
    QStringList texts;
    QList<int> values;
    for (int i = 0; i < box->count(); ++i) {
        texts << box->itemText(i);
        values << box->itemData(i).toInt();
    }
    QTEST(texts, "texts");
    QTEST(values, "values");
    QTEST(box->currentText(), "selected");
}

QTEST_MAIN(tst_DialogWindows)
#include "tst_dialogwindows.moc"
