#include "commandline.h"

#include <QTest>

Q_DECLARE_METATYPE(InstrumentState)
Q_DECLARE_METATYPE(StateOperation)

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("word");
        QTest::addColumn<int>("number");
        QTest::addColumn<bool>("overflows");
        QTest::newRow("spaces and case") << "  analyze 25  "
                                         << "ANALYZE" << 25 << false;
        QTest::newRow("two spaces before number") << "ANALYZE  25"
                                                  << "ANALYZE" << 25 << false;
        QTest::newRow("half to even down") << "ANALYZE 2.5"
                                           << "ANALYZE" << 2 << false;
        QTest::newRow("half to even up") << "ANALYZE 3.5"
                                         << "ANALYZE" << 4 << false;
        QTest::newRow("two numbers") << "ANALYZE 5 7"
                                     << "ANALYZE" << 0 << false;
        QTest::newRow("not a number") << "ANALYZE abc"
                                      << "ANALYZE" << 0 << false;
        QTest::newRow("negative") << "ANALYZE -4"
                                  << "ANALYZE" << -4 << false;
        QTest::newRow("word only") << "pause"
                                   << "PAUSE" << 0 << false;
        QTest::newRow("words after") << "off please"
                                     << "OFF" << 0 << false;
        QTest::newRow("beyond 16 bits") << "ANALYZE 40000"
                                        << "ANALYZE" << 0 << true;
        QTest::newRow("tab stays in word") << "ON\t"
                                           << "ON\t" << 0 << false;
        QTest::newRow("carriage return stays") << "ON\r"
                                               << "ON\r" << 0 << false;
    }
    void parse()
    {
        QFETCH(QString, line);
        QFETCH(QString, word);
        QFETCH(int, number);
        QFETCH(bool, overflows);
        const std::optional<CommandLine> command = parseCommandLine(line);
        QVERIFY(command);
        QCOMPARE(command->word, word);
        QCOMPARE(int(command->number), number);
        QCOMPARE(command->numberOverflows, overflows);
        QVERIFY(!command->tooLong);
    }

    // Every channel upper-cases alike, one character for one, within Latin-1: a byte channel
    // sends the quoted word back byte for byte, and a conversation's text beyond Latin-1 is
    // not folded into a command word.
    void upperCaseKeepsOneCharacterPerCharacter_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("word");
        QTest::newRow("sharp s stays") << QStringLiteral("ma\u00df") << QStringLiteral("MA\u00df");
        QTest::newRow("y diaeresis stays") << QStringLiteral("\u00ff") << QStringLiteral("\u00ff");
        QTest::newRow("micro sign stays") << QStringLiteral("\u00b5s") << QStringLiteral("\u00b5S");
        QTest::newRow("a grave takes its capital") << QStringLiteral("\u00e0bort") << QStringLiteral("\u00c0BORT");
        QTest::newRow("long s is not S") << QStringLiteral("pau\u017fe") << QStringLiteral("PAU\u017fE");
    }
    void upperCaseKeepsOneCharacterPerCharacter()
    {
        QFETCH(QString, line);
        QFETCH(QString, word);
        const std::optional<CommandLine> command = parseCommandLine(line);
        QVERIFY(command);
        QCOMPARE(command->word, word);
        QCOMPARE(transitionFor(InstrumentState::Paused, command->word).resultCode, ResultCode::IllegalCommand);
        QCOMPARE(replyText(ResultCode::IllegalCommand, command->word),
                 QStringLiteral("Error 2: Illegal Command - ") + word);
    }

    void blankAndOverlongLines()
    {
        QVERIFY(!parseCommandLine(QString()));
        QVERIFY(!parseCommandLine(QStringLiteral("    ")));
        QVERIFY(parseCommandLine(QStringLiteral("\t")));
        const QString longest = QStringLiteral("PAUSE ") + QString(kMaximumCommandLength - 6, QLatin1Char('x'));
        QVERIFY(!parseCommandLine(longest)->tooLong);
        QVERIFY(parseCommandLine(longest + QLatin1Char('x'))->tooLong);
        QCOMPARE(parseCommandLine(QStringLiteral("   ") + longest + QStringLiteral("   "))->tooLong, false);
    }

    void transitions_data()
    {
        using S = InstrumentState;
        using Op = StateOperation;
        QTest::addColumn<InstrumentState>("state");
        QTest::addColumn<QString>("word");
        QTest::addColumn<StateOperation>("operation");
        QTest::addColumn<InstrumentState>("next");
        QTest::addColumn<int>("code");
        QTest::newRow("off ON") << S::Off << "ON" << Op::TurnOn << S::Idle << 0;
        QTest::newRow("off OFF") << S::Off << "OFF" << Op::None << S::Off << 2;
        QTest::newRow("off ANALYZE") << S::Off << "ANALYZE" << Op::None << S::Off << 2;
        QTest::newRow("idle ANALYZE") << S::Idle << "ANALYZE" << Op::StartAnalysis << S::Analyzing << 0;
        QTest::newRow("idle ABORT") << S::Idle << "ABORT" << Op::None << S::Idle << 0;
        QTest::newRow("idle PAUSE") << S::Idle << "PAUSE" << Op::None << S::Idle << 0;
        QTest::newRow("idle OFF") << S::Idle << "OFF" << Op::TurnOff << S::Off << 0;
        QTest::newRow("idle ON") << S::Idle << "ON" << Op::None << S::Idle << 2;
        QTest::newRow("idle RESUME") << S::Idle << "RESUME" << Op::None << S::Idle << 2;
        QTest::newRow("analyzing PAUSE") << S::Analyzing << "PAUSE" << Op::PauseAnalysis << S::Paused << 0;
        QTest::newRow("analyzing ABORT") << S::Analyzing << "ABORT" << Op::StopAnalysis << S::Idle << 0;
        QTest::newRow("analyzing OFF") << S::Analyzing << "OFF" << Op::TurnOff << S::Off << 0;
        QTest::newRow("analyzing ANALYZE") << S::Analyzing << "ANALYZE" << Op::None << S::Analyzing << 2;
        QTest::newRow("analyzing RESUME") << S::Analyzing << "RESUME" << Op::None << S::Analyzing << 2;
        QTest::newRow("paused RESUME") << S::Paused << "RESUME" << Op::ResumeAnalysis << S::Analyzing << 0;
        QTest::newRow("paused ABORT") << S::Paused << "ABORT" << Op::AbortAnalysis << S::Idle << 0;
        QTest::newRow("paused OFF") << S::Paused << "OFF" << Op::TurnOff << S::Off << 0;
        QTest::newRow("paused PAUSE") << S::Paused << "PAUSE" << Op::None << S::Paused << 2;
        QTest::newRow("paused ON") << S::Paused << "ON" << Op::None << S::Paused << 2;
        QTest::newRow("lower case is no word") << S::Idle << "off" << Op::None << S::Idle << 2;
    }
    void transitions()
    {
        QFETCH(InstrumentState, state);
        QFETCH(QString, word);
        QFETCH(StateOperation, operation);
        QFETCH(InstrumentState, next);
        QFETCH(int, code);
        const Transition transition = transitionFor(state, word);
        QCOMPARE(transition.operation, operation);
        QCOMPARE(transition.next, next);
        QCOMPARE(int(transition.resultCode), code);
    }

    void replies_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("word");
        QTest::addColumn<QString>("reply");
        QTest::newRow("success") << 0 << "ON"
                                 << "OK";
        QTest::newRow("illegal") << 2 << "RESUME"
                                 << "Error 2: Illegal Command - RESUME";
        QTest::newRow("illegal without word") << 2 << ""
                                              << "Error 2: Illegal Command - (Unknown)";
        QTest::newRow("other code") << 5 << "ON"
                                    << "Error 5: Result code not understood";
        QTest::newRow("negative code") << -1 << "ON"
                                       << "Error -1: Result code not understood";
    }
    void replies()
    {
        QFETCH(int, code);
        QFETCH(QString, word);
        QFETCH(QString, reply);
        QCOMPARE(replyText(qint16(code), word), reply);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
