// The instrument without a window: commands in, replies, panel signals and data lines out.

#include "generationsettings.h"
#include "instrument.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(StateOperation)

namespace {

// A blank line is no command and carries no result code.
constexpr int kNoCode = -1;

// An instrument whose timer never fires by itself: the test asks for each line.
struct Bench
{
    StoredGenerationControls controls;
    Instrument instrument{controls};
    QSignalSpy lines{&instrument, &Instrument::dataLine};

    QString nextLine()
    {
        const qsizetype before = lines.size();
        instrument.tickNow();
        return lines.size() > before ? lines.last().at(0).toString() : QString();
    }
};

} // namespace

class TestInstrument : public QObject
{
    Q_OBJECT

private slots:
    // Each row runs its commands from a fresh start. Every reply reaches the Output box and
    // every state the State label; the last command gives the reply, the state, the word for
    // the Input box and the status text. (Which word each state takes: tst_commandline.)
    void commands_data()
    {
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<InstrumentState>("state");
        QTest::addColumn<QString>("word");
        QTest::addColumn<QString>("status");
        using S = InstrumentState;
        const QString overlong = QStringLiteral("PAUSE ") + QString(40000, QLatin1Char('x'));
        QTest::newRow("on") << QStringList{"on"} << "OK" << S::Idle << "ON"
                            << "";
        QTest::newRow("on between blanks") << QStringList{"  on  "} << "OK" << S::Idle << "ON"
                                           << "";
        QTest::newRow("off while off") << QStringList{"OFF"} << "Error 2: Illegal Command - OFF" << S::Off << "OFF"
                                       << "";
        QTest::newRow("analyze while off")
            << QStringList{"ANALYZE"} << "Error 2: Illegal Command - ANALYZE" << S::Off << "ANALYZE"
            << "";
        QTest::newRow("on with tab") << QStringList{"ON\t"} << "Error 2: Illegal Command - ON\t" << S::Off << "ON\t"
                                     << "";
        QTest::newRow("number taken for every word") << QStringList{"ON 1e9"} << "OK" << S::Idle << "ON"
                                                     << "";
        QTest::newRow("on while idle") << QStringList{"ON", "ON"} << "Error 2: Illegal Command - ON" << S::Idle << "ON"
                                       << "";
        QTest::newRow("resume while idle")
            << QStringList{"ON", "RESUME"} << "Error 2: Illegal Command - RESUME" << S::Idle << "RESUME"
            << "";
        QTest::newRow("pause while idle") << QStringList{"ON", "PAUSE"} << "OK" << S::Idle << "PAUSE"
                                          << "";
        QTest::newRow("abort while idle") << QStringList{"ON", "abort"} << "OK" << S::Idle << "ABORT"
                                          << "";
        QTest::newRow("off while idle") << QStringList{"ON", "OFF"} << "OK" << S::Off << "OFF"
                                        << "";
        QTest::newRow("analyze") << QStringList{"ON", "Analyze"} << "OK" << S::Analyzing << "ANALYZE"
                                 << "Running ...";
        QTest::newRow("analyze while analyzing") << QStringList{"ON", "ANALYZE", "ANALYZE 10"}
                                                 << "Error 2: Illegal Command - ANALYZE" << S::Analyzing << "ANALYZE"
                                                 << "Running ...";
        QTest::newRow("pause") << QStringList{"ON", "ANALYZE", "pause"} << "OK" << S::Paused << "PAUSE"
                               << "Paused!";
        QTest::newRow("pause while paused") << QStringList{"ON", "ANALYZE", "PAUSE", "PAUSE"}
                                            << "Error 2: Illegal Command - PAUSE" << S::Paused << "PAUSE"
                                            << "Paused!";
        QTest::newRow("resume") << QStringList{"ON", "ANALYZE", "PAUSE", "RESUME"} << "OK" << S::Analyzing << "RESUME"
                                << "Resumed!";
        QTest::newRow("abort running") << QStringList{"ON", "ANALYZE", "ABORT"} << "OK" << S::Idle << "ABORT"
                                       << "Stopped!";
        QTest::newRow("abort paused") << QStringList{"ON", "ANALYZE", "PAUSE", "ABORT"} << "OK" << S::Idle << "ABORT"
                                      << "Aborted!";
        QTest::newRow("off please") << QStringList{"ON", "ANALYZE", "off please"} << "OK" << S::Off << "OFF"
                                    << "";
        QTest::newRow("on, analyze, pause, resume, abort, off")
            << QStringList{"on", "analyze", "pause", "resume", "abort", "off"} << "OK" << S::Off << "OFF"
            << "";
        QTest::newRow("analyze beyond 16 bits")
            << QStringList{"ON", "ANALYZE 40000"} << "Error 2: Illegal Command - ANALYZE" << S::Idle << "ANALYZE"
            << "";
        QTest::newRow("a count within 16 bits after one beyond")
            << QStringList{"ON", "ANALYZE 40000", "ANALYZE 4"} << "OK" << S::Analyzing << "ANALYZE"
            << "Running ...";
        QTest::newRow("overlong line") << QStringList{"ON", overlong} << "Error 2: Illegal Command - PAUSE" << S::Idle
                                       << "PAUSE"
                                       << "";
    }

    void commands()
    {
        QFETCH(QStringList, commands);
        QFETCH(QString, reply);
        QFETCH(InstrumentState, state);
        QFETCH(QString, word);
        QFETCH(QString, status);
        Bench bench;
        QSignalSpy states(&bench.instrument, &Instrument::stateChanged);
        QSignalSpy outputs(&bench.instrument, &Instrument::outputWritten);
        QSignalSpy words(&bench.instrument, &Instrument::commandReceived);
        QSignalSpy statuses(&bench.instrument, &Instrument::statusMessage);
        QString last;
        std::optional<qint16> code;
        for (const QString &command : std::as_const(commands)) {
            const CommandResult result = bench.instrument.ExecuteCommand(command);
            last = result.reply;
            code = result.resultCode;
            QCOMPARE(outputs.last().at(0).toString(), last);
            QCOMPARE(states.last().at(0).value<InstrumentState>(), bench.instrument.state());
        }
        QCOMPARE(last, reply);
        // Beside the text, the code the channels decide by: 0 for OK, 2 for every refusal here.
        QCOMPARE(int(code.value_or(kNoCode)),
                 reply == QLatin1String("OK") ? int(ResultCode::Success) : int(ResultCode::IllegalCommand));
        QCOMPARE(bench.instrument.state(), state);
        QCOMPARE(words.last().at(0).toString(), word);
        QCOMPARE(statuses.isEmpty() ? QString() : statuses.last().at(0).toString(), status);

        // A blank line is no command: no reply, and nothing for the panel to show.
        const qsizetype signalsBefore = states.size() + outputs.size() + words.size() + statuses.size();
        for (const QString &blank : {QString(), QStringLiteral("   ")}) {
            const CommandResult result = bench.instrument.ExecuteCommand(blank);
            QVERIFY(result.reply.isEmpty());
            QVERIFY(!result.resultCode.has_value());
            QVERIFY(!result.succeeded());
        }
        QCOMPARE(states.size() + outputs.size() + words.size() + statuses.size(), signalsBefore);
        QCOMPARE(bench.instrument.state(), state);
    }

    void aRunThatCannotStartSaysWhy_data()
    {
        QTest::addColumn<QString>("frequency");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<int>("code");
        QTest::newRow("frequency 0") << "0"
                                     << ""
                                     << "Error 11: Result code not understood" << 11;
        QTest::newRow("interval beyond 16 bits") << "0.001"
                                                 << ""
                                                 << "Error 6: Result code not understood" << 6;
        QTest::newRow("missing data file") << "2"
                                           << "/nonexistent/folder/data.txt"
                                           << "Error 76: Result code not understood" << 76;
    }

    void aRunThatCannotStartSaysWhy()
    {
        QFETCH(QString, frequency);
        QFETCH(QString, fileName);
        QFETCH(QString, reply);
        QFETCH(int, code);
        Bench bench;
        bench.controls.settings.frequency = frequency;
        if (!fileName.isEmpty()) {
            bench.controls.settings.dataSource = Generation::Source::File;
            bench.controls.settings.dataFilePath = fileName;
        }
        QSignalSpy status(&bench.instrument, &Instrument::statusMessage);
        bench.instrument.ExecuteCommand(QStringLiteral("ON"));
        const CommandResult result = bench.instrument.ExecuteCommand(QStringLiteral("ANALYZE"));
        QCOMPARE(result.reply, reply);
        // The error's number, no success: a DDE client's execute is refused.
        QCOMPARE(int(result.resultCode.value_or(kNoCode)), code);
        QVERIFY(!result.succeeded());
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
        QCOMPARE(bench.instrument.ExecuteCommand(command).reply, QStringLiteral("OK"));
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
        QCOMPARE(bench.instrument.ExecuteCommand(QStringLiteral("ANALYZE")).reply, QStringLiteral("OK"));
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
