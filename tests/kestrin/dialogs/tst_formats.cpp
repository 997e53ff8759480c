#include "support/instrumentwindow.h"

#include "frmXmitFormats.h"

#include <QComboBox>
#include <QPointer>

namespace {

// How the user sets one list: pick the entry with this text, or type this text.
struct ListInput
{
    bool typed = false;
    QString text;
    QString typedFirst; // typed before the entry is picked
};

ListInput pick(const QString &entry)
{
    return {false, entry, QString()};
}
ListInput type(const QString &text)
{
    return {true, text, QString()};
}
ListInput pickAfterTyping(const QString &entry, const QString &typed)
{
    return {false, entry, typed};
}

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

namespace {

// The network suite's instrument, three values a line, with its "Transmission Formats" dialog.
struct FormatsFixture : NetworkInstrument
{
    QPointer<frmXmitFormats> dialog;

    FormatsFixture() { setText("txtPtsPerLine", QStringLiteral("3")); }
    frmXmitFormats *open() { return dialog = showDialog<frmXmitFormats>("mnuEditXmitFormat"); }
    QComboBox *list(const char *name) const { return dialog->findChild<QComboBox *>(QLatin1String(name)); }
    void click(const char *button) const { clickButton(dialog, button); }
};

} // namespace

class tst_Formats : public QObject
{
    Q_OBJECT

private slots:
    void okApplies_data();
    void okApplies();
    void cancelWritesNothingAndKeepsTheLists();
    void frameCloseUnloads();
};

void tst_Formats::okApplies_data()
{
    QTest::addColumn<ListInput>("token");
    QTest::addColumn<ListInput>("line");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("terminator");

    QTest::newRow("tab and CR LF") << pick("<Tab>") << pick("<CR><LF>") << "\t"
                                   << "\r\n";
    QTest::newRow("space and LF") << pick("<Space>") << pick("<LF>") << " "
                                  << "\n";
    QTest::newRow("typed semicolon loses its spaces") << type(" ; ") << pick("<CR>") << ";"
                                                      << "\r";
    QTest::newRow("typed empty separator, typed terminator") << type("") << type(" # ") << ""
                                                             << "#";
    QTest::newRow("typed spaces keep the terminator") << pick("<Comma>") << type("   ") << ","
                                                      << "\r";
    QTest::newRow("typed, then an entry picked") << pick("<Comma>") << pickAfterTyping("<LF>", "xyz") << ","
                                                 << "\n";
}

void tst_Formats::okApplies()
{
    QFETCH(ListInput, token);
    QFETCH(ListInput, line);
    QFETCH(QString, separator);
    QFETCH(QString, terminator);
    FormatsFixture f;
    auto client = f.switchOnWithClient();

    f.open();
    enter(f.list("cmbTokenSep"), token);
    enter(f.list("cmbLineTerm"), line);
    f.click("btnOK");
    QVERIFY(!f.dialog->isVisible());

    client->send(QStringLiteral("ANALYZE") + terminator);
    QTRY_COMPARE(client->received, QStringLiteral("OK") + terminator);
    f.tick();
    const QString dataLine = f.find<QLineEdit>("txtOutput")->text();
    if (!separator.isEmpty())
        QCOMPARE(dataLine.split(separator).size(), 3);
    QTRY_COMPARE(client->received, QStringLiteral("OK") + terminator + dataLine + terminator);
}

void tst_Formats::cancelWritesNothingAndKeepsTheLists()
{
    FormatsFixture f;
    auto client = f.switchOnWithClient();
    frmXmitFormats *first = f.open();
    enter(f.list("cmbLineTerm"), pick("<LF>"));
    enter(f.list("cmbTokenSep"), type("|"));
    f.click("btnCancel");
    QVERIFY(!f.dialog->isVisible());

    client->send(QStringLiteral("PAUSE\r"));
    QTRY_COMPARE(client->received, QStringLiteral("OK\r"));

    QCOMPARE(f.open(), first);
    QCOMPARE(f.list("cmbLineTerm")->currentText(), QStringLiteral("<LF>"));
    QCOMPARE(f.list("cmbTokenSep")->currentText(), QStringLiteral("|"));
}

void tst_Formats::frameCloseUnloads()
{
    FormatsFixture f;
    f.open();
    enter(f.list("cmbLineTerm"), pick("<CR><LF>"));
    f.dialog->close();
    QTRY_VERIFY(f.dialog.isNull());

    f.open();
    QCOMPARE(f.list("cmbTokenSep")->currentText(), QStringLiteral("<Comma>"));
    QCOMPARE(f.list("cmbLineTerm")->currentText(), QStringLiteral("<CR>"));
}

QTEST_MAIN(tst_Formats)
#include "tst_formats.moc"
