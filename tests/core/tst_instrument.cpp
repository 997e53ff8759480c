// The instrument without a window: commands in, replies, panel signals and data lines out.

#include "generationsettings.h"
#include "instrument.h"

#include "periodictimer.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(StateOperation)

namespace {

struct Step
{
    const char *command;
    const char *reply;
    InstrumentState state;
};

// An instrument whose timer never fires by itself: the test asks for each line.
struct Bench
{
    StoredGenerationControls controls;
    Instrument instrument{controls};
    QSignalSpy lines{&instrument, &Instrument::dataLine};

    QString nextLine()
    {
        const qsizetype before = lines.size();
        emit instrument.findChild<platform::PeriodicTimer *>(QStringLiteral("tmrDataGen"))->timeout();
        return lines.size() > before ? lines.last().at(0).toString() : QString();
    }
};

} // namespace

class TestInstrument : public QObject
{
    Q_OBJECT

private slots:
    void commandsWalkTheStates_data()
    {
        QTest::addColumn<QList<Step>>("steps");
        using S = InstrumentState;
        QTest::newRow("on, analyze, pause, resume, abort, off")
            << QList<Step>{{"on", "OK", S::Idle},          {"analyze", "OK", S::Analyzing}, {"pause", "OK", S::Paused},
                           {"resume", "OK", S::Analyzing}, {"abort", "OK", S::Idle},        {"off", "OK", S::Off}};
        QTest::newRow("only ON is taken while off")
            << QList<Step>{{"ANALYZE", "Error 2: Illegal Command - ANALYZE", S::Off},
                           {"OFF", "Error 2: Illegal Command - OFF", S::Off},
                           {"  on  ", "OK", S::Idle}};
        QTest::newRow("abort and pause are accepted idle")
            << QList<Step>{{"ON", "OK", S::Idle},
                           {"PAUSE", "OK", S::Idle},
                           {"ABORT", "OK", S::Idle},
                           {"RESUME", "Error 2: Illegal Command - RESUME", S::Idle}};
        QTest::newRow("a count beyond 16 bits is refused")
            << QList<Step>{{"ON", "OK", S::Idle},
                           {"ANALYZE 40000", "Error 2: Illegal Command - ANALYZE", S::Idle},
                           {"ANALYZE 4", "OK", S::Analyzing}};
    }

    void commandsWalkTheStates()
    {
        QFETCH(const QList<Step>, steps);
        Bench bench;
        QSignalSpy states(&bench.instrument, &Instrument::stateChanged);
        QSignalSpy outputs(&bench.instrument, &Instrument::outputWritten);
        for (const Step &step : steps) {
            const QString reply = bench.instrument.ExecuteCommand(QString::fromLatin1(step.command));
            QCOMPARE(reply, QString::fromLatin1(step.reply));
            QCOMPARE(bench.instrument.state(), step.state);
            // The Output box shows every reply, and the State label every state.
            QCOMPARE(outputs.last().at(0).toString(), reply);
            QCOMPARE(states.last().at(0).value<InstrumentState>(), step.state);
        }
        QVERIFY(bench.instrument.ExecuteCommand(QStringLiteral("   ")).isEmpty());
    }

    void aRunThatCannotStartSaysWhy_data()
    {
        QTest::addColumn<QString>("frequency");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("reply");
        QTest::newRow("frequency 0") << "0"
                                     << ""
                                     << "Error 11: Result code not understood";
        QTest::newRow("interval beyond 16 bits") << "0.001"
                                                 << ""
                                                 << "Error 6: Result code not understood";
        QTest::newRow("missing data file") << "2"
                                           << "/nonexistent/folder/data.txt"
                                           << "Error 76: Result code not understood";
    }

    void aRunThatCannotStartSaysWhy()
    {
        QFETCH(QString, frequency);
        QFETCH(QString, fileName);
        QFETCH(QString, reply);
        Bench bench;
        bench.controls.settings.frequency = frequency;
        if (!fileName.isEmpty()) {
            bench.controls.settings.dataSource = Generation::Source::File;
            bench.controls.settings.dataFilePath = fileName;
        }
        QSignalSpy status(&bench.instrument, &Instrument::statusMessage);
        bench.instrument.ExecuteCommand(QStringLiteral("ON"));
        QCOMPARE(bench.instrument.ExecuteCommand(QStringLiteral("ANALYZE")), reply);
        QCOMPARE(bench.instrument.state(), InstrumentState::Idle);
        QVERIFY(status.last().at(0).toString().startsWith(QLatin1String("Not started: ")));
    }

    void linesFollowTheSettings_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("pointNumber");
        QTest::addColumn<bool>("absolute");
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("tokens");
        QTest::newRow("analyze 3: one line of three points") << "ANALYZE 3" << false << false << 1 << 3;
        QTest::newRow("numbered") << "ANALYZE 2" << true << false << 1 << 3;
        QTest::newRow("absolute values") << "ANALYZE 5" << false << true << 1 << 5;
    }

    void linesFollowTheSettings()
    {
        QFETCH(QString, command);
        QFETCH(bool, pointNumber);
        QFETCH(bool, absolute);
        QFETCH(int, lines);
        QFETCH(int, tokens);
        Bench bench;
        bench.controls.settings.includePointNumber = pointNumber;
        bench.controls.settings.distribution = Generation::Distribution::Gaussian;
        bench.controls.absolute = absolute;
        bench.instrument.setTokenSep(QStringLiteral(";"));
        bench.instrument.ExecuteCommand(QStringLiteral("ON"));
        QCOMPARE(bench.instrument.ExecuteCommand(command), QStringLiteral("OK"));
        for (int line = 1; line <= lines; ++line) {
            const QStringList values = bench.nextLine().split(QLatin1Char(';'));
            QCOMPARE(values.size(), tokens);
            if (pointNumber)
                QCOMPARE(values.first(), QString::number(line));
            for (const QString &value : values.mid(pointNumber ? 1 : 0)) {
                bool isNumber = false;
                const double number = value.toDouble(&isNumber);
                QVERIFY2(isNumber, qPrintable(value));
                QVERIFY(!absolute || number >= 0.0);
            }
        }
        // The finite run ends by itself and the instrument is idle again.
        QVERIFY(bench.nextLine().isEmpty());
        QCOMPARE(bench.instrument.state(), InstrumentState::Idle);
    }

    void aDataFileIsPlayedLineByLine()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("data.txt"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("1,2\r\n3,4\n\n5\r");
        file.close();

        Bench bench;
        bench.controls.settings.dataSource = Generation::Source::File;
        bench.controls.settings.dataFilePath = path;
        bench.controls.settings.includePointNumber = true;
        bench.instrument.ExecuteCommand(QStringLiteral("ON"));
        QCOMPARE(bench.instrument.ExecuteCommand(QStringLiteral("ANALYZE")), QStringLiteral("OK"));
        const QStringList expected{"1,1,2", "2,3,4", "3,", "4,5"};
        for (const QString &line : expected)
            QCOMPARE(bench.nextLine(), line);
        QVERIFY(bench.nextLine().isEmpty());
        QCOMPARE(bench.instrument.state(), InstrumentState::Idle);
    }

    void pausedAndOffProduceNothing()
    {
        Bench bench;
        bench.instrument.ExecuteCommand(QStringLiteral("ON"));
        bench.instrument.ExecuteCommand(QStringLiteral("ANALYZE"));
        QVERIFY(!bench.nextLine().isEmpty());
        bench.instrument.ExecuteCommand(QStringLiteral("PAUSE"));
        QVERIFY(bench.nextLine().isEmpty());
        bench.instrument.ExecuteCommand(QStringLiteral("RESUME"));
        QVERIFY(!bench.nextLine().isEmpty());
        bench.instrument.ExecuteCommand(QStringLiteral("OFF"));
        QVERIFY(bench.nextLine().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestInstrument)
#include "tst_instrument.moc"
