#include "networktestsupport.h"

#include "core/frmMain.h"
#include "dialogs/frmXmitFormats.h"
#include "platform/periodictimer.h"
#include "support/messagerecorder.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <memory>

namespace {

// How the user sets one list: pick the entry with this text, or type this text.
struct ListInput
{
    bool typed = false;
    QString text;
    QString typedFirst; // typed before the entry is picked
};

ListInput pick(const QString &entry) { return {false, entry, QString()}; }
ListInput type(const QString &text) { return {true, text, QString()}; }
ListInput pickAfterTyping(const QString &entry, const QString &typed) { return {false, entry, typed}; }

void enter(QComboBox *list, const ListInput &input)
{
    if (!input.typedFirst.isEmpty())
        enter(list, type(input.typedFirst));
    if (!input.typed) {
        const int target = list->findText(input.text);
        QVERIFY(target >= 0);
        while (list->currentIndex() != target)
            QTest::keyClick(list, list->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
        return;
    }
    QLineEdit *field = list->lineEdit();
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, input.text);
}

} // namespace

Q_DECLARE_METATYPE(ListInput)

class tst_Formats : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listsHoldTheFormatCodes_data();
    void listsHoldTheFormatCodes();
    void okApplies_data();
    void okApplies();
    void cancelWritesNothingAndKeepsTheLists();
    void frameCloseUnloads();
    void menuShowsOneInstanceWithoutModality();
    void closingTheMainWindowUnloadsTheDialogs();

private:
    frmXmitFormats *openDialog();
    QComboBox *list(const char *name) const { return m_dialog->findChild<QComboBox *>(QLatin1String(name)); }
    void click(const char *button) const
    {
        QTest::mouseClick(m_dialog->findChild<QPushButton *>(QLatin1String(button)), Qt::LeftButton);
    }
    // Connects a client to the switched-on instrument.
    std::unique_ptr<TestClient> connectClient();

    std::unique_ptr<MessageRecorder> m_recorder;
    std::unique_ptr<frmMain> m_window;
    QPointer<frmXmitFormats> m_dialog;
};

void tst_Formats::init()
{
    m_recorder = std::make_unique<MessageRecorder>();
    m_window = std::make_unique<frmMain>();
    m_window->setCommEnabled(false);
    m_window->findChild<QLineEdit *>(QStringLiteral("txtFrequency"))->setText(QStringLiteral("0.04"));
    m_window->findChild<QLineEdit *>(QStringLiteral("txtPtsPerLine"))->setText(QStringLiteral("3"));
}

void tst_Formats::cleanup()
{
    m_window.reset();
    m_recorder.reset();
}

frmXmitFormats *tst_Formats::openDialog()
{
    m_window->findChild<QAction *>(QStringLiteral("mnuEditXmitFormat"))->trigger();
    m_dialog = m_window->findChild<frmXmitFormats *>(QStringLiteral("frmXmitFormats"));
    return m_dialog;
}

std::unique_ptr<TestClient> tst_Formats::connectClient()
{
    const qint16 port = freeServerPort();
    m_window->setNetworkEnabled(true);
    m_window->setServerPort(port);
    m_window->ExecuteCommand(QStringLiteral("ON"));
    auto client = std::make_unique<TestClient>(port);
    if (!client->waitConnected())
        qWarning("client not connected");
    return client;
}

void tst_Formats::listsHoldTheFormatCodes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QList<int>>("codes");
    QTest::newRow("token separator") << "cmbTokenSep" << QStringList{"<Comma>", "<Tab>", "<Space>"} << QList<int>{6, 7, 5};
    QTest::newRow("line terminator") << "cmbLineTerm" << QStringList{"<CR>", "<LF>", "<CR><LF>"} << QList<int>{9, 10, 8};
}

void tst_Formats::listsHoldTheFormatCodes()
{
    QFETCH(QString, name);
    QFETCH(QStringList, entries);
    QFETCH(QList<int>, codes);
    openDialog();
    QComboBox *formats = list(name.toLatin1().constData());
    QVERIFY(formats->isEditable());
    QStringList texts;
    QList<int> data;
    for (int i = 0; i < formats->count(); ++i) {
        texts << formats->itemText(i);
        data << formats->itemData(i).toInt();
    }
    QCOMPARE(texts, entries);
    QCOMPARE(data, codes);
    QCOMPARE(formats->currentIndex(), 0);
}

void tst_Formats::okApplies_data()
{
    QTest::addColumn<ListInput>("token");
    QTest::addColumn<ListInput>("line");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("terminator");

    QTest::newRow("tab and CR LF") << pick("<Tab>") << pick("<CR><LF>") << "\t" << "\r\n";
    QTest::newRow("space and LF") << pick("<Space>") << pick("<LF>") << " " << "\n";
    QTest::newRow("typed semicolon loses its spaces") << type(" ; ") << pick("<CR>") << ";" << "\r";
    QTest::newRow("typed empty separator, typed terminator") << type("") << type(" # ") << "" << "#";
    QTest::newRow("typed spaces keep the terminator") << pick("<Comma>") << type("   ") << "," << "\r";
    QTest::newRow("typed, then an entry picked") << pick("<Comma>") << pickAfterTyping("<LF>", "xyz") << "," << "\n";
}

void tst_Formats::okApplies()
{
    QFETCH(ListInput, token);
    QFETCH(ListInput, line);
    QFETCH(QString, separator);
    QFETCH(QString, terminator);
    auto client = connectClient();

    openDialog();
    enter(list("cmbTokenSep"), token);
    enter(list("cmbLineTerm"), line);
    click("btnOK");
    QVERIFY(!m_dialog->isVisible());

    client->send(QStringLiteral("ANALYZE") + terminator);
    QTRY_COMPARE(client->received, QStringLiteral("OK") + terminator);
    emit m_window->findChild<platform::PeriodicTimer *>(QStringLiteral("tmrDataGen"))->timeout();
    const QString dataLine = m_window->findChild<QLineEdit *>(QStringLiteral("txtOutput"))->text();
    if (!separator.isEmpty())
        QCOMPARE(dataLine.split(separator).size(), 3);
    QTRY_COMPARE(client->received, QStringLiteral("OK") + terminator + dataLine + terminator);
}

void tst_Formats::cancelWritesNothingAndKeepsTheLists()
{
    auto client = connectClient();
    frmXmitFormats *first = openDialog();
    enter(list("cmbLineTerm"), pick("<LF>"));
    enter(list("cmbTokenSep"), type("|"));
    click("btnCancel");
    QVERIFY(!m_dialog->isVisible());

    client->send(QStringLiteral("PAUSE\r"));
    QTRY_COMPARE(client->received, QStringLiteral("OK\r"));

    QCOMPARE(openDialog(), first);
    QCOMPARE(list("cmbLineTerm")->currentText(), QStringLiteral("<LF>"));
    QCOMPARE(list("cmbTokenSep")->currentText(), QStringLiteral("|"));
}

void tst_Formats::frameCloseUnloads()
{
    openDialog();
    enter(list("cmbLineTerm"), pick("<CR><LF>"));
    m_dialog->close();
    QTRY_VERIFY(m_dialog.isNull());

    openDialog();
    QCOMPARE(list("cmbTokenSep")->currentText(), QStringLiteral("<Comma>"));
    QCOMPARE(list("cmbLineTerm")->currentText(), QStringLiteral("<CR>"));
}

void tst_Formats::menuShowsOneInstanceWithoutModality()
{
    openDialog();
    openDialog();
    QCOMPARE(m_window->findChildren<frmXmitFormats *>().size(), 1);
    QVERIFY(m_dialog->isVisible());
    QVERIFY(!m_dialog->isModal());
    QCOMPARE(m_dialog->windowTitle(), QStringLiteral("Transmission Formats"));

    // Shown again after OK, the same window comes back.
    click("btnOK");
    frmXmitFormats *shown = m_dialog;
    QCOMPARE(openDialog(), shown);
    QVERIFY(m_dialog->isVisible());
}

void tst_Formats::closingTheMainWindowUnloadsTheDialogs()
{
    openDialog();
    m_window->findChild<QAction *>(QStringLiteral("mnuEditNetworkSettings"))->trigger();
    QPointer<QWidget> settings = m_window->findChild<QWidget *>(QStringLiteral("frmNetworkSettings"));
    QVERIFY(settings);
    m_window->show();
    m_window->close();
    QTRY_VERIFY(m_dialog.isNull() && settings.isNull());
}

QTEST_MAIN(tst_Formats)
#include "tst_formats.moc"
