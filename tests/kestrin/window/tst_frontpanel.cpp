#include "support/instrumentwindow.h"
#include "support/messagerecorder.h"

#include <QApplication>
#include <QMenuBar>
#include <QRegularExpression>
#include <QSignalSpy>

class TestFrontPanel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setApplicationName(QStringLiteral("kestrin")); }

    void freshStart()
    {
        PanelInstrument f;
        QCOMPARE(f.window->windowTitle(), QStringLiteral("Tarvolin"));
        QCOMPARE(f.stateLabel(), QString());
        QCOMPARE(f.caption("btnOnOff"), QStringLiteral("On"));
        QCOMPARE(f.caption("btnStartAbort"), QStringLiteral("Start"));
        QCOMPARE(f.caption("btnPauseResume"), QStringLiteral("Pause"));
        QVERIFY(!f.control("imgOff")->isHidden());
        QVERIFY(f.control("imgOn")->isHidden());
        QVERIFY(!f.control("fraDataGeneration")->isEnabled());
        QCOMPARE(f.text("txtInput"), QString());
        QCOMPARE(f.text("txtOutput"), QString());
        QCOMPARE(f.status(), QString());
        QVERIFY(!f.timer()->isEnabled());
        QCOMPARE(f.timer()->interval(), 500);
        // The accessible names come from the labels.
        QCOMPARE(f.box("txtInput")->accessibleName(), QStringLiteral("Input"));
        QCOMPARE(f.box("txtNumPts")->accessibleName(), QStringLiteral("No. Lines"));
        // The controls of a frame stand inside its line, none across it.
        for (const char *name : {"fraDataGeneration", "fraPoints", "fraProfile"}) {
            const QWidget *frame = f.control(name);
            for (const QWidget *inside : frame->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
                QVERIFY2(frame->contentsRect().contains(inside->geometry()), qPrintable(inside->objectName()));
        }
    }

    void panelDefaultsAfterSwitchingOn()
    {
        PanelInstrument f;
        f.click("btnOnOff");
        QVERIFY(f.control("fraDataGeneration")->isEnabled());
        QVERIFY(f.control<QRadioButton>("opRandom")->isChecked());
        QVERIFY(f.control<QRadioButton>("opContinuous")->isChecked());
        QVERIFY(f.control<QRadioButton>("opFlat")->isChecked());
        QVERIFY(!f.control<QCheckBox>("chkPointNumber")->isChecked());
        QVERIFY(!f.control<QCheckBox>("chkAbsVal")->isChecked());
        const QList<std::pair<const char *, QString>> texts{
            {"txtFrequency", "2"}, {"txtPtsPerLine", "1"}, {"txtNumPts", "100"}, {"txtMin", "0.0"},
            {"txtMax", "1.0"},     {"txtMean", "0.0"},     {"txtStDev", "1.0"},  {"txtFileName", ""}};
        for (const auto &[name, value] : texts)
            QCOMPARE(f.text(name), value);
        for (const char *greyed : {"txtFileName", "btnFileName", "txtNumPts", "txtMean", "txtStDev"})
            QVERIFY2(!f.control(greyed)->isEnabled(), greyed);
        for (const char *enabled : {"fraPoints", "fraProfile", "txtMin", "txtMax", "txtFrequency"})
            QVERIFY2(f.control(enabled)->isEnabled(), enabled);
    }

    void optionGroupsEnableTheirControls()
    {
        PanelInstrument f;
        f.click("btnOnOff");
        f.setText("txtFrequency", QStringLiteral("7"));
        f.click("opFinite");
        f.click("opFile");
        QVERIFY(!f.control("fraPoints")->isEnabled());
        QVERIFY(!f.control("fraProfile")->isEnabled());
        QVERIFY(f.control("txtFileName")->isEnabled());
        QVERIFY(f.control("btnFileName")->isEnabled());
        QVERIFY(f.control<QCheckBox>("chkPointNumber")->isEnabled());

        // Each container's options exclude each other only: File, Random, File, Random.
        for (const char *source : {"opRandom", "opFile", "opRandom"}) {
            f.click(source);
            QVERIFY2(f.control<QRadioButton>(source)->isChecked(), source);
            QCOMPARE(f.control<QRadioButton>("opRandom")->isChecked(), !f.control<QRadioButton>("opFile")->isChecked());
        }
        QVERIFY(f.control("fraPoints")->isEnabled());
        QVERIFY(!f.control("txtFileName")->isEnabled());
        QCOMPARE(f.text("txtFrequency"), QStringLiteral("7"));
        QVERIFY(f.control<QRadioButton>("opFinite")->isChecked());
        QVERIFY(f.control("txtNumPts")->isEnabled());

        f.click("opGaussian");
        QVERIFY(f.control("txtMean")->isEnabled() && f.control("txtStDev")->isEnabled());
        QVERIFY(!f.control("txtMin")->isEnabled() && !f.control("txtMax")->isEnabled());
        f.click("opFlat");
        QVERIFY(!f.control("txtMean")->isEnabled() && f.control("txtMin")->isEnabled());
        f.click("opContinuous");
        QVERIFY(!f.control("txtNumPts")->isEnabled());
    }

    // What the panel shows of the instrument: its state in the State label, the last word in
    // the Input box, the last reply in the Output box, the status in the status bar. (Which
    // command gives which reply, state and status: tst_instrument.)
    void panelShowsTheInstrument_data()
    {
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("stateLabel");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("status");
        QTest::newRow("idle") << QStringList{"on"} << "OK"
                              << "Idle"
                              << "ON"
                              << "";
        QTest::newRow("refused") << QStringList{"ON", "RESUME"} << "Error 2: Illegal Command - RESUME"
                                 << "Idle"
                                 << "RESUME"
                                 << "";
        QTest::newRow("analyzing") << QStringList{"ON", "Analyze"} << "OK"
                                   << "Analyzing ..."
                                   << "ANALYZE"
                                   << "Running ...";
        QTest::newRow("paused") << QStringList{"ON", "ANALYZE", "pause"} << "OK"
                                << "Paused"
                                << "PAUSE"
                                << "Paused!";
        QTest::newRow("off again") << QStringList{"ON", "ANALYZE", "off please"} << "OK"
                                   << "Off"
                                   << "OFF"
                                   << "";
    }
    void panelShowsTheInstrument()
    {
        QFETCH(QStringList, commands);
        QFETCH(QString, output);
        QFETCH(QString, stateLabel);
        QFETCH(QString, input);
        QFETCH(QString, status);
        PanelInstrument f;
        f.setText("txtFrequency", QStringLiteral("0.1"));
        for (const QString &command : std::as_const(commands))
            f.window->ExecuteCommand(command);
        QCOMPARE(f.text("txtOutput"), output);
        QCOMPARE(f.stateLabel(), stateLabel);
        QCOMPARE(f.input(), input);
        QCOMPARE(f.status(), status);
        QCOMPARE(f.recorder.messages, QStringList());
    }

    void analyzeCountPresetsThePanel()
    {
        PanelInstrument f;
        f.window->ExecuteCommand(QStringLiteral("ON"));
        QCOMPARE(f.window->ExecuteCommand(QStringLiteral("  analyze 25  ")), QStringLiteral("OK"));
        QVERIFY(f.control<QRadioButton>("opFinite")->isChecked());
        QVERIFY(f.control("txtNumPts")->isEnabled());
        QCOMPARE(f.text("txtNumPts"), QStringLiteral("1"));
        QCOMPARE(f.text("txtPtsPerLine"), QStringLiteral("25"));
        QCOMPARE(f.caption("btnStartAbort"), QStringLiteral("Abort"));
    }

    void analyzeWithoutCountLeavesThePanel_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("no number") << "ANALYZE";
        QTest::newRow("zero") << "ANALYZE 0";
        QTest::newRow("negative") << "ANALYZE -4";
        QTest::newRow("not a number") << "ANALYZE abc";
        QTest::newRow("two numbers") << "ANALYZE 5 7";
    }
    void analyzeWithoutCountLeavesThePanel()
    {
        QFETCH(QString, command);
        PanelInstrument f;
        f.window->ExecuteCommand(QStringLiteral("ON"));
        QCOMPARE(f.window->ExecuteCommand(command), QStringLiteral("OK"));
        QVERIFY(f.control<QRadioButton>("opContinuous")->isChecked());
        QCOMPARE(f.text("txtNumPts"), QStringLiteral("100"));
        QCOMPARE(f.text("txtPtsPerLine"), QStringLiteral("1"));
    }

    void buttonsThroughARunCycle()
    {
        PanelInstrument f;
        f.setText("txtFrequency", QStringLiteral("0.1"));
        f.click("btnOnOff");
        QCOMPARE(f.caption("btnOnOff"), QStringLiteral("Off"));
        QVERIFY(f.control("imgOff")->isHidden() && !f.control("imgOn")->isHidden());

        f.click("btnStartAbort");
        QCOMPARE(f.window->instrumentState(), InstrumentState::Analyzing);
        QCOMPARE(f.caption("btnStartAbort"), QStringLiteral("Abort"));
        QVERIFY(f.timer()->isEnabled());
        f.click("btnPauseResume");
        QCOMPARE(f.caption("btnPauseResume"), QStringLiteral("Resume"));
        f.click("btnPauseResume");
        QCOMPARE(f.caption("btnPauseResume"), QStringLiteral("Pause"));
        QCOMPARE(f.status(), QStringLiteral("Resumed!"));
        f.click("btnStartAbort");
        QCOMPARE(f.status(), QStringLiteral("Stopped!"));
        QCOMPARE(f.caption("btnStartAbort"), QStringLiteral("Start"));
        QVERIFY(!f.timer()->isEnabled());

        f.click("btnStartAbort");
        f.click("btnPauseResume");
        f.click("btnStartAbort");
        QCOMPARE(f.status(), QStringLiteral("Aborted!"));
        QCOMPARE(f.caption("btnStartAbort"), QStringLiteral("Start"));
        QCOMPARE(f.caption("btnPauseResume"), QStringLiteral("Pause"));

        f.click("btnStartAbort");
        f.click("btnPauseResume");
        f.click("btnOnOff");
        QCOMPARE(f.window->instrumentState(), InstrumentState::Off);
        QCOMPARE(f.caption("btnOnOff"), QStringLiteral("On"));
        QCOMPARE(f.caption("btnStartAbort"), QStringLiteral("Start"));
        QCOMPARE(f.caption("btnPauseResume"), QStringLiteral("Pause"));
        QVERIFY(!f.control("fraDataGeneration")->isEnabled());
        QVERIFY(!f.timer()->isEnabled());
        QCOMPARE(f.status(), QString());
    }

    void menus()
    {
        PanelInstrument f;
        QStringList titles;
        const QList<QAction *> menus = f.window->menuBar()->actions();
        for (const QAction *menu : menus)
            titles << menu->text();
        QCOMPARE(titles, (QStringList{"&File", "&Edit", "&Help"}));
        QCOMPARE(f.control<QAction>("mnuFileExit")->text(), QStringLiteral("E&xit"));
        QCOMPARE(f.control<QAction>("mnuEditXmitFormat")->text(), QStringLiteral("&Transmission Formats ..."));
        QCOMPARE(f.control<QAction>("mnuEditRS232PortSettings")->text(), QStringLiteral("&RS232 Port Settings ..."));
        QCOMPARE(f.control<QAction>("mnuEditNetworkSettings")->text(), QStringLiteral("&Network Settings ..."));
        QCOMPARE(f.control<QAction>("mnuHelpAbout")->text(), QStringLiteral("&About the Tarvolin"));
    }

    void aboutBox()
    {
        MessageRecorder recorder;
        PanelInstrument f;
        f.control<QAction>("mnuHelpAbout")->trigger();
        QCOMPARE(recorder.captions, QStringList{QStringLiteral("kestrin")});
        QCOMPARE(recorder.messages.size(), 1);
        const QStringList lines = recorder.messages.first().split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.first(), QStringLiteral("Tarvolin - Version 1.3, Date 06/12/1998"));
        // The release and the licence are in the rights notice.
        QVERIFY2(lines.last().contains(
                     QRegularExpression(QStringLiteral("Release \\d+\\.\\d+, licensed under the MIT License"))),
                 qPrintable(lines.last()));
    }

    void exitDuringARunClosesEverythingQuietly()
    {
        PanelInstrument f;
        f.window->show();
        auto *dialog = new QWidget(nullptr, Qt::Dialog);
        dialog->setObjectName(QStringLiteral("frmNetworkSettings"));
        dialog->show();
        const QPointer<QWidget> watched(dialog);
        f.setText("txtFrequency", QStringLiteral("0.1"));
        f.window->ExecuteCommand(QStringLiteral("ON"));
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));

        f.control<QAction>("mnuFileExit")->trigger();
        QVERIFY(!f.window->isVisible());
        QCOMPARE(f.status(), QStringLiteral("Running ..."));
        QCOMPARE(f.window->instrumentState(), InstrumentState::Analyzing);
        QTRY_VERIFY(watched.isNull());
    }
};

QTEST_MAIN(TestFrontPanel)
#include "tst_frontpanel.moc"
