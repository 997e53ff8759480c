#include "support/instrumentwindow.h"
#include "support/messagerecorder.h"
#include "support/testfiles.h"

#include "filedialog.h"

#include <QApplication>
#include <QFileInfo>
#include <QLocalServer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <sys/stat.h>

namespace {

const QRegularExpression kValue(QStringLiteral(R"(^-?\d+\.\d{1,5}$)"));

// An instrument switched on with a slow timer, so only the ticks the test drives count.
struct RunningInstrument : PanelInstrument
{
    RunningInstrument()
    {
        setText("txtFrequency", QStringLiteral("0.1"));
        window->ExecuteCommand(QStringLiteral("ON"));
    }
    QStringList tokens() const { return text("txtOutput").split(QLatin1Char(',')); }
};

} // namespace

class TestGenerator : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QApplication::setApplicationName(QStringLiteral("kestrin"));
        QVERIFY(m_dir.isValid());
    }

    void finiteRunNumbersItsLinesAndStopsItself()
    {
        MessageRecorder recorder;
        RunningInstrument f;
        f.click("chkPointNumber");
        f.click("opFinite");
        f.setText("txtNumPts", QStringLiteral("3"));
        f.setText("txtPtsPerLine", QStringLiteral("2"));
        QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ANALYZE")), QStringLiteral("OK"));
        for (int line = 1; line <= 3; ++line) {
            f.tick();
            const QStringList tokens = f.tokens();
            QCOMPARE(tokens.size(), 3);
            QCOMPARE(tokens.at(0), QString::number(line));
            for (const QString &value : tokens.mid(1)) {
                QVERIFY2(kValue.match(value).hasMatch(), qPrintable(value));
                QVERIFY(value.toDouble() >= 0.0 && value.toDouble() < 1.0);
            }
        }
        f.tick();
        QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
        QCOMPARE(f.text("txtOutput"), QStringLiteral("OK"));
        QCOMPARE(f.text("txtInput"), QStringLiteral("ABORT"));
        QCOMPARE(f.stateLabel(), QStringLiteral("Idle"));
        QCOMPARE(f.status(), QStringLiteral("Stopped!"));
        QCOMPARE(f.caption("btnStartAbort"), QStringLiteral("Start"));
        QVERIFY(!f.timer()->isEnabled());

        // A second run numbers from 1 again.
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        f.tick();
        QCOMPARE(f.tokens().first(), QStringLiteral("1"));
        QCOMPARE(recorder.messages, QStringList());
    }

    void finiteRunWithoutLines()
    {
        RunningInstrument f;
        f.click("opFinite");
        f.setText("txtNumPts", QStringLiteral("-3"));
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        f.tick();
        QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
        QCOMPARE(f.text("txtOutput"), QStringLiteral("OK"));
    }

    void pointsPerLine_data()
    {
        QTest::addColumn<QString>("points");
        QTest::addColumn<bool>("numbered");
        QTest::addColumn<int>("tokens");
        QTest::newRow("none, numbered") << "0" << true << 2;
        QTest::newRow("negative, plain") << "-5" << false << 1;
        QTest::newRow("largest count") << "32767" << false << 32767;
    }
    void pointsPerLine()
    {
        QFETCH(QString, points);
        QFETCH(bool, numbered);
        QFETCH(int, tokens);
        RunningInstrument f;
        if (numbered)
            f.click("chkPointNumber");
        f.setText("txtPtsPerLine", points);
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        f.tick();
        QCOMPARE(f.tokens().size(), tokens);
        if (tokens > 2)
            QVERIFY(kValue.match(f.tokens().last()).hasMatch());
        else
            QCOMPARE(f.tokens().last(), QString());
    }

    void pauseKeepsTheCount()
    {
        RunningInstrument f;
        f.click("chkPointNumber");
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        f.tick();
        f.window->ExecuteCommand(QStringLiteral("PAUSE"));
        f.tick(3);
        QCOMPARE(f.text("txtOutput"), QStringLiteral("OK"));
        f.window->ExecuteCommand(QStringLiteral("RESUME"));
        f.tick();
        QCOMPARE(f.tokens().first(), QStringLiteral("2"));
    }

    void absoluteValueOfFlatMinusOneToOne()
    {
        RunningInstrument f;
        f.setText("txtMin", QStringLiteral("-1.0"));
        f.setText("txtPtsPerLine", QStringLiteral("200"));
        f.click("chkAbsVal");
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        f.tick();
        const QStringList values = f.tokens();
        QCOMPARE(values.size(), 200);
        for (const QString &value : values)
            QVERIFY2(value.toDouble() >= 0.0 && value.toDouble() <= 1.0, qPrintable(value));

        // Read at every point: unticked during the run, negative values appear.
        f.click("chkAbsVal");
        f.tick();
        QVERIFY(f.text("txtOutput").contains(QLatin1Char('-')));
    }

    void nonNumericBoxKeepsThePreviousValue()
    {
        RunningInstrument f;
        f.click("opGaussian");
        f.setText("txtMean", QStringLiteral("5"));
        f.setText("txtStDev", QStringLiteral("0"));
        f.setText("txtPtsPerLine", QStringLiteral("3"));
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        f.tick();
        QCOMPARE(f.text("txtOutput"), QStringLiteral("5.0,5.0,5.0"));
        f.window->ExecuteCommand(QStringLiteral("ABORT"));

        f.setText("txtStDev", QStringLiteral("abc"));
        f.setText("txtPtsPerLine", QStringLiteral("many"));
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        f.tick();
        QCOMPARE(f.text("txtOutput"), QStringLiteral("5.0,5.0,5.0"));
    }

    void tokenSeparatorAppliesFromTheNextLine()
    {
        RunningInstrument f;
        f.setText("txtPtsPerLine", QStringLiteral("3"));
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        f.window->setTokenSep(QStringLiteral("\t"));
        f.tick();
        QCOMPARE(f.text("txtOutput").split(QLatin1Char('\t')).size(), 3);
        f.window->setTokenSep(QString());
        f.tick();
        QVERIFY(!f.text("txtOutput").contains(QLatin1Char('\t')));
    }

    void frequencySetsTheInterval_data()
    {
        QTest::addColumn<QString>("frequency");
        QTest::addColumn<int>("interval");
        QTest::newRow("2") << "2" << 500;
        QTest::newRow("3") << "3" << 333;
        QTest::newRow("half") << "0.5" << 2000;
        QTest::newRow("10") << "10" << 100;
        QTest::newRow("2000 gives no ticks") << "2000" << 0;
        QTest::newRow("not a number keeps it") << "fast" << 500;
    }
    void frequencySetsTheInterval()
    {
        QFETCH(QString, frequency);
        QFETCH(int, interval);
        PanelInstrument f;
        f.window->ExecuteCommand(QStringLiteral("ON"));
        f.setText("txtFrequency", frequency);
        QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ANALYZE")), QStringLiteral("OK"));
        QCOMPARE(f.timer()->interval(), interval);
        f.window->ExecuteCommand(QStringLiteral("ABORT"));
    }

    // A run that cannot start stays Idle, replies with the error's number and says why in
    // the status bar, without a message box.
    void failuresAtRunStart_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("reply");
        QTest::newRow("zero frequency") << "txtFrequency"
                                        << "0"
                                        << "Error 11: Result code not understood";
        QTest::newRow("negative frequency") << "txtFrequency"
                                            << "-2"
                                            << "Error 380: Result code not understood";
        QTest::newRow("too slow") << "txtFrequency"
                                  << "0.03"
                                  << "Error 6: Result code not understood";
        QTest::newRow("points beyond 16 bits") << "txtPtsPerLine"
                                               << "40000"
                                               << "Error 6: Result code not understood";
        QTest::newRow("beyond float") << "txtMax"
                                      << "1e39"
                                      << "Error 6: Result code not understood";
    }
    void failuresAtRunStart()
    {
        QFETCH(QString, box);
        QFETCH(QString, value);
        QFETCH(QString, reply);
        MessageRecorder recorder;
        RunningInstrument f;
        f.setText(qPrintable(box), value);
        QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ANALYZE")), reply);
        QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
        QCOMPARE(f.stateLabel(), QStringLiteral("Idle"));
        QVERIFY(!f.timer()->isEnabled());
        QVERIFY(f.status().startsWith(QStringLiteral("Not started")));
        QCOMPARE(f.caption("btnStartAbort"), QStringLiteral("Start"));
        QCOMPARE(recorder.messages, QStringList());
    }

    void fileRuns_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("CR") << QByteArray("a\rb\r") << QStringList{"1,a", "2,b"};
        QTest::newRow("CRLF") << QByteArray("a\r\nb\r\n") << QStringList{"1,a", "2,b"};
        QTest::newRow("LF") << QByteArray("a\nb") << QStringList{"1,a", "2,b"};
        QTest::newRow("unchanged text") << QByteArray("3.14159265, x ,\n") << QStringList{"1,3.14159265, x ,"};
        // One character per byte, so that the serial line and TCP pass the bytes on unchanged.
        QTest::newRow("bytes read as Latin-1")
            << QByteArray("caf\xc3\xa9\n") << QStringList{QString::fromLatin1("1,caf\xc3\xa9")};
        QTest::newRow("empty file") << QByteArray() << QStringList{};
    }
    void fileRuns()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, lines);
        const QString path = writeTestFile(m_dir, QStringLiteral("run.txt"), content);
        RunningInstrument f;
        f.click("chkPointNumber");
        f.click("opFile");
        f.setText("txtFileName", path);
        QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ANALYZE")), QStringLiteral("OK"));
        for (const QString &line : std::as_const(lines)) {
            f.tick();
            QCOMPARE(f.text("txtOutput"), line);
        }
        f.tick();
        QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
        QCOMPARE(f.status(), QStringLiteral("Stopped!"));
        QCOMPARE(f.text("txtOutput"), QStringLiteral("OK"));
    }

    // A run ends where reading ends, not where the file's size says: a /sys file claims a page
    // and holds a line; empty lines for ever would follow it.
    void runOfAFileLargerByItsSizeEnds()
    {
        const QString path = QStringLiteral("/sys/devices/system/cpu/online");
        QFile whole(path);
        if (!whole.open(QIODevice::ReadOnly))
            QSKIP("no /sys here");
        const QString content = QString::fromLatin1(whole.readAll()).trimmed();
        QVERIFY(QFileInfo(path).size() > content.size());
        RunningInstrument f;
        f.click("opFile");
        f.setText("txtFileName", path);
        QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ANALYZE")), QStringLiteral("OK"));
        f.tick();
        QCOMPARE(f.text("txtOutput"), content);
        f.tick();
        QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
        QCOMPARE(f.status(), QStringLiteral("Stopped!"));
    }

    void fileRunKeepsTheRandomRunsInterval()
    {
        const QString path = writeTestFile(m_dir, QStringLiteral("keep.txt"), "x\n");
        RunningInstrument f;
        f.setText("txtFrequency", QStringLiteral("10"));
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        f.window->ExecuteCommand(QStringLiteral("ABORT"));
        f.click("opFile");
        f.setText("txtFileName", path);
        f.setText("txtFrequency", QStringLiteral("1"));
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        QCOMPARE(f.timer()->interval(), 100);
    }

    void dataFileThatCannotBePlayedDoesNotStart_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "absent.txt"
                                 << "Error 53: Result code not understood"
                                 << "File not found";
        // Opening a pipe with no writer would wait for one: the whole instrument would freeze.
        QTest::newRow("named pipe") << "pipe.txt"
                                    << "Error 75: Result code not understood"
                                    << "a named pipe";
        QTest::newRow("socket") << "socket.txt"
                                << "Error 75: Result code not understood"
                                << "a socket";
    }
    void dataFileThatCannotBePlayedDoesNotStart()
    {
        QFETCH(QString, name);
        const QString path = m_dir.filePath(name);
        QFile::remove(path);
        QLocalServer socket;
        if (name == QLatin1String("pipe.txt"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        if (name == QLatin1String("socket.txt"))
            QVERIFY(socket.listen(path));
        MessageRecorder recorder;
        RunningInstrument f;
        f.click("opFile");
        f.setText("txtFileName", path);
        QTEST(f.window->ExecuteCommand(QStringLiteral("ANALYZE")), "reply");
        QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
        QFETCH(QString, reason);
        QVERIFY2(f.status().contains(reason), qPrintable(f.status()));
        QCOMPARE(recorder.messages, QStringList());
    }

    // A line too long to hand out ends the run where it stands, without a box.
    void overLongDataLineEndsTheRun()
    {
        QByteArray content = "first\n";
        content += QByteArray(10 * 1024 * 1024, 'x');
        content += "\nlast\n";
        const QString path = writeTestFile(m_dir, QStringLiteral("long.txt"), content);
        MessageRecorder recorder;
        RunningInstrument f;
        f.click("opFile");
        f.setText("txtFileName", path);
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        f.tick(2);
        QCOMPARE(f.window->instrumentState(), InstrumentState::Idle);
        QCOMPARE(f.text("txtOutput"), QStringLiteral("OK"));
        QVERIFY2(f.status().contains(QStringLiteral("longer than 1048576")), qPrintable(f.status()));
        QCOMPARE(recorder.messages, QStringList());
    }

    void fileChosenInAnotherFolderIsPlayed()
    {
        QTemporaryDir other;
        QVERIFY(other.isValid());
        const QString path = writeTestFile(other, QStringLiteral("chosen.txt"), "first\nsecond\n");
        platform::CommonDialog::Request asked;
        platform::CommonDialog::setChooser([&](const platform::CommonDialog::Request &request) {
            asked = request;
            return std::optional<QString>(path);
        });
        RunningInstrument f;
        f.click("opFile");
        f.click("btnFileName");
        platform::CommonDialog::setChooser({});

        QCOMPARE(asked.title, QStringLiteral("Open Data File"));
        QCOMPARE(asked.nameFilters, (QStringList{"Text (*.txt)", "All (*)"}));
        QCOMPARE(asked.defaultSuffix, QStringLiteral("txt"));
        QCOMPARE(f.text("txtFileName"), QStringLiteral("chosen.txt"));
        QVERIFY(QDir::currentPath() != other.path());
        QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ANALYZE")), QStringLiteral("OK"));
        f.tick();
        QCOMPARE(f.text("txtOutput"), QStringLiteral("first"));

        // A name typed into the box is opened relative to the current directory instead.
        f.window->ExecuteCommand(QStringLiteral("ABORT"));
        QTest::keyClicks(f.box("txtFileName"), QStringLiteral("x"));
        QCOMPARE(f.window->ExecuteCommand(QStringLiteral("ANALYZE")),
                 QStringLiteral("Error 53: Result code not understood"));
    }

    void cancelledFileDialogChangesNothing()
    {
        MessageRecorder recorder;
        platform::CommonDialog::setChooser([](const platform::CommonDialog::Request &) { return std::nullopt; });
        RunningInstrument f;
        f.click("opFile");
        f.setText("txtFileName", QStringLiteral("kept.txt"));
        f.click("btnFileName");
        platform::CommonDialog::setChooser({});
        QCOMPARE(f.text("txtFileName"), QStringLiteral("kept.txt"));
        QCOMPARE(recorder.messages, QStringList());
    }

    void offDuringAFileRunClosesTheFile()
    {
        const QString path = writeTestFile(m_dir, QStringLiteral("off.txt"), "a\nb\n");
        RunningInstrument f;
        f.click("opFile");
        f.setText("txtFileName", path);
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        f.tick();
        f.window->ExecuteCommand(QStringLiteral("OFF"));
        f.tick();
        QCOMPARE(f.text("txtOutput"), QStringLiteral("OK"));
        // Switched on again, a new run reads the file from its start.
        f.window->ExecuteCommand(QStringLiteral("ON"));
        f.window->ExecuteCommand(QStringLiteral("ANALYZE"));
        f.tick();
        QCOMPARE(f.text("txtOutput"), QStringLiteral("a"));
    }
};

QTEST_MAIN(TestGenerator)
#include "tst_generator.moc"
