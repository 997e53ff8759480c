#include "errors.h"
#include "textfiles.h"

#include "support/testfiles.h"

#include <QTemporaryDir>
#include <QTest>

using namespace platform;

class TestTextFiles : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void readsLinesEndingInCrCrLfOrLf_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("CR") << QByteArray("a\rb\r") << QStringList{"a", "b"};
        QTest::newRow("CRLF") << QByteArray("a\r\nb\r\n") << QStringList{"a", "b"};
        QTest::newRow("LF") << QByteArray("a\nb\n") << QStringList{"a", "b"};
        QTest::newRow("last line unterminated") << QByteArray("a\nb") << QStringList{"a", "b"};
        QTest::newRow("empty lines kept") << QByteArray("\n\r\nx\n") << QStringList{"", "", "x"};
        QTest::newRow("LF CR is two endings") << QByteArray("a\n\rb") << QStringList{"a", "", "b"};
        QTest::newRow("empty file") << QByteArray() << QStringList{};
        QTest::newRow("bytes kept as Latin-1")
            << QByteArray("\xe9t\xe9\n") << QStringList{QString::fromLatin1("\xe9t\xe9")};
    }
    void readsLinesEndingInCrCrLfOrLf()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, lines);
        TextFiles files;
        const int number = files.FreeFile();
        files.OpenForInput(number, writeTestFile(m_dir, QStringLiteral("data.txt"), content));
        QStringList read;
        while (!files.Eof(number))
            read << files.LineInput(number);
        QCOMPARE(read, lines);
        QVERIFY_THROWS_EXCEPTION(RuntimeError, files.LineInput(number));
    }

    // A file's size is not where reading ends: a /sys file claims a page and holds a line, a
    // /proc file claims nothing and holds many.
    void endsWhereReadingEnds_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("/sys file larger by stat") << "/sys/devices/system/cpu/online";
        QTest::newRow("/proc file empty by stat") << "/proc/version";
    }
    void endsWhereReadingEnds()
    {
        QFETCH(QString, path);
        QFile whole(path);
        if (!whole.open(QIODevice::ReadOnly))
            QSKIP(qPrintable(path + QStringLiteral(" cannot be read here")));
        const QStringList expected = QString::fromLatin1(whole.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY(!expected.isEmpty());

        TextFiles files;
        const int number = files.FreeFile();
        files.OpenForInput(number, path);
        QStringList read;
        while (!files.Eof(number) && read.size() <= expected.size())
            read << files.LineInput(number);
        QCOMPARE(read, expected);
    }

    // A file that opens but cannot be read is a failure, not an end.
    void readFailureIsReported()
    {
        const QString path = QStringLiteral("/proc/self/mem"); // nothing is mapped at offset 0
        TextFiles files;
        const int number = files.FreeFile();
        try {
            files.OpenForInput(number, path);
        } catch (const RuntimeError &) {
            QSKIP("/proc/self/mem cannot be opened here");
        }
        try {
            files.Eof(number);
            QFAIL("reading should fail");
        } catch (const RuntimeError &error) {
            QCOMPARE(error.number(), ErrorNumber::DeviceIO);
            QVERIFY2(error.description().contains(path), qPrintable(error.description()));
        }
    }

    void fileNumbersAndCloseAll()
    {
        TextFiles files;
        const QString path = writeTestFile(m_dir, QStringLiteral("n.txt"), "x\n");
        const int first = files.FreeFile();
        files.OpenForInput(first, path);
        const int second = files.FreeFile();
        QVERIFY(second != first);
        files.OpenForInput(second, path);
        QCOMPARE(files.openCount(), 2);
        files.CloseAll();
        QCOMPARE(files.openCount(), 0);
        QCOMPARE(files.FreeFile(), first);
        QVERIFY_THROWS_EXCEPTION(RuntimeError, files.Eof(first));
    }

    void openFailuresCarryTheirNumbers_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("number");
        QTest::newRow("empty name") << "" << ErrorNumber::FileNotFound;
        QTest::newRow("missing file") << "missing.txt" << ErrorNumber::FileNotFound;
        QTest::newRow("missing folder") << "nowhere/x.txt" << ErrorNumber::PathNotFound;
        QTest::newRow("a folder") << "." << ErrorNumber::FileNotFound;
    }
    void openFailuresCarryTheirNumbers()
    {
        QFETCH(QString, name);
        QFETCH(int, number);
        TextFiles files;
        const QString path = name.isEmpty() ? name : m_dir.filePath(name);
        try {
            files.OpenForInput(files.FreeFile(), path);
            QFAIL("the open should fail");
        } catch (const RuntimeError &error) {
            QCOMPARE(error.number(), number);
        }
        QCOMPARE(files.openCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestTextFiles)
#include "tst_textfiles.moc"
