#include "displaycheck.h"
#include "linecounter.h"

#include <QLocalServer>
#include <QTemporaryDir>
#include <QTest>

// The benchmark's figures rest on these: a client that miscounts lines cut across reads
// reports lost or extra lines, and a wrong verdict on the display stops the window benchmark
// where it could run or lets it start where it cannot.
class TestBenchClients : public QObject
{
    Q_OBJECT

private slots:
    void countsDataLines_data()
    {
        QTest::addColumn<char>("terminator");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QStringList>("reads");
        QTest::addColumn<long>("count");
        const QString update = QStringLiteral("UPDATE txtOutput ");
        QTest::newRow("updates in one read")
            << '\n'
            << update << QStringList{"UPDATE txtOutput 0.1,0.2\nUPDATE txtOutput 3.5\n"} << 2L;
        QTest::newRow("update cut inside the prefix") << '\n'
                                                      << update << QStringList{"UPDATE txtOut", "put 0.1,0.2\n"} << 1L;
        QTest::newRow("terminator in a read of its own") << '\n'
                                                         << update << QStringList{"UPDATE txtOutput 0.1", "\n"} << 1L;
        QTest::newRow("unfinished update") << '\n' << update << QStringList{"UPDATE txtOutput 0.1,0.2"} << 0L;
        QTest::newRow("replies are no data")
            << '\n'
            << update << QStringList{"UPDATE txtOutput OK\nUPDATE txtOutput Error 2: Illegal Command - ANALYZE\n"}
            << 0L;
        QTest::newRow("empty update") << '\n' << update << QStringList{"UPDATE txtOutput \n"} << 0L;
        QTest::newRow("advise answer and acknowledgement") << '\n'
                                                           << update << QStringList{"DATA txtOutput 0.5\nACK\n"} << 0L;
        QTest::newRow("another item") << '\n' << update << QStringList{"UPDATE txtInput 0.5\n"} << 0L;
        QTest::newRow("serial lines with a reply") << '\r' << QString() << QStringList{"0.1,0.2\r0.3\rOK\r"} << 2L;
        QTest::newRow("serial line over three reads") << '\r' << QString() << QStringList{"0.1", ",0.2", "\r"} << 1L;
    }
    void countsDataLines()
    {
        QFETCH(char, terminator);
        QFETCH(QString, prefix);
        QFETCH(QStringList, reads);
        QFETCH(long, count);
        bench::LineCounter counter(terminator, prefix.toStdString());
        long counted = 0;
        for (const QString &read : reads) {
            const QByteArray bytes = read.toLatin1();
            counter.take(bytes.constData(), size_t(bytes.size()), counted);
        }
        QCOMPARE(counted, count);
    }

    void resetForgetsUnfinishedLine()
    {
        bench::LineCounter counter('\n', "UPDATE txtOutput ");
        long counted = 0;
        const QByteArray before = "UPDATE txtOutput 0.1";
        const QByteArray after = "UPDATE txtOutput 0.2\n";
        counter.take(before.constData(), size_t(before.size()), counted);
        counter.reset();
        counter.take(after.constData(), size_t(after.size()), counted);
        QCOMPARE(counted, 1L);
    }

    void judgesDisplay_data()
    {
        QTest::addColumn<QByteArray>("display");
        QTest::addColumn<bool>("reachable");
        QTest::newRow("not set") << QByteArray() << false;
        QTest::newRow("server listening") << QByteArray(":7") << true;
        QTest::newRow("with screen number") << QByteArray(":7.0") << true;
        QTest::newRow("unix host") << QByteArray("unix:7") << true;
        QTest::newRow("no server at that number") << QByteArray(":8") << false;
        QTest::newRow("number prefix of a listening one") << QByteArray(":70") << false;
        QTest::newRow("no number") << QByteArray(":") << false;
        QTest::newRow("not a display") << QByteArray("nonsense") << false;
        QTest::newRow("another host left to the toolkit") << QByteArray("otherhost:0") << true;
    }
    void judgesDisplay()
    {
        QFETCH(QByteArray, display);
        QFETCH(bool, reachable);
        QTemporaryDir folder;
        QLocalServer server;
        QVERIFY(server.listen(folder.filePath(QStringLiteral("X7"))));
        const QString problem = bench::xDisplayProblem(display, folder.path());
        QCOMPARE(problem.isEmpty(), reachable);
    }
};

QTEST_GUILESS_MAIN(TestBenchClients)
#include "tst_benchclients.moc"
