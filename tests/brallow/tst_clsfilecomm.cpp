// clsFileComm against the file system and against a second process.
#include "clsFileComm.h"
#include "exchangefiles.h"
#include "exchangerecords.h"
#include "peerprocess.h"
#include "support/messagerecorder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <ctime>
#include <optional>

namespace FileAttribute = platform::FileAttribute;

namespace {

constexpr int kRaceRecords = 1000;
// The window in which a careless order loses or repeats a record is a few microseconds wide;
// several runs make hitting it all but certain.
constexpr int kRaceRuns = 10;
constexpr int kRaceTimeoutMs = 30000;

// OthersClear, OthersMarked: another user's, who lets everybody write it.
enum class Initial { Absent, Clear, OthersClear, OthersMarked, Marked, MarkedEmpty, MarkedReadOnlyHiddenSystem };

void prepare(const QString &path, Initial initial, const QByteArray &content)
{
    if (initial == Initial::Absent)
        return;
    const mode_t mode = initial == Initial::Clear                        ? 0644
                        : initial == Initial::OthersClear                ? 0666
                        : initial == Initial::OthersMarked               ? 0766
                        : initial == Initial::MarkedReadOnlyHiddenSystem ? 0555
                                                                         : 0744;
    writeExchangeFile(path, initial == Initial::MarkedEmpty ? QByteArray() : content, mode);
}

double processorSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace

Q_DECLARE_METATYPE(Initial)

class TestFileComm : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void send_data();
    void send();
    void receive_data();
    void receive();
    void twoSendsOneReceive();
    void blankPathsTouchNothing_data();
    void blankPathsTouchNothing();
    void pathsAreUsedAsGiven();
    void failuresAreReported_data();
    void failuresAreReported();

    void waitsForHeldFile_data();
    void waitsForHeldFile();
    void cancelBeforeAnyWait();
    void waitingCostsLittleProcessorTime();
    void raceWithAnotherProcess_data();
    void raceWithAnotherProcess();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // Acts as another user, who may pass through the test folder, while `acting` lives.
    bool actAsOtherUser(std::optional<ActingAs> &acting)
    {
        if (::chmod(QFile::encodeName(m_dir->path()).constData(), 0711) != 0)
            return false;
        return acting.emplace(kOtherUser).isActing();
    }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestFileComm::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestFileComm::send_data()
{
    QTest::addColumn<Initial>("initial");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("attributesAfter");
    QTest::addColumn<QString>("message");
    const int marked = FileAttribute::Archive;
    QTest::newRow("absent: created with one record") << Initial::Absent << QByteArray("new\r") << marked << "";
    QTest::newRow("read before: replaced") << Initial::Clear << QByteArray("new\r") << marked << "";
    QTest::newRow("unread: appended") << Initial::Marked << QByteArray("old\rnew\r") << marked << "";
    QTest::newRow("unread, empty: appended") << Initial::MarkedEmpty << QByteArray("new\r") << marked << "";
    // It could be written but not marked, and the record would be replaced unread.
    QTest::newRow("another user's: refused before writing")
        << Initial::OthersClear << QByteArray("old\r") << FileAttribute::Normal << "Error (SendData) 75: ";
}

void TestFileComm::send()
{
    QFETCH(Initial, initial);
    QFETCH(QString, message);
    const QString file = path(QStringLiteral("out"));
    prepare(file, initial, "old\r");
    MessageRecorder messages;

    clsFileComm comm;
    comm.setOutFile(file);
    std::optional<ActingAs> otherUser;
    if (initial == Initial::OthersClear) {
        if (::geteuid() != 0)
            QSKIP("Only root can act as another user.");
        QVERIFY(actAsOtherUser(otherUser));
    }
    comm.SendData(QStringLiteral("new"));
    otherUser.reset();

    QTEST(readBytes(file), "expected");
    QTEST(attributesOf(file), "attributesAfter");
    QCOMPARE(messages.messages.size(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty())
        QVERIFY2(messages.messages.constFirst().startsWith(message), qPrintable(messages.messages.constFirst()));
}

void TestFileComm::receive_data()
{
    QTest::addColumn<Initial>("initial");
    QTest::addColumn<int>("maxReceive");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QByteArray>("contentAfter");
    QTest::addColumn<int>("attributesAfter");
    QTest::addColumn<QString>("message");
    // The content is 8 characters, just what the receiver takes.
    QTest::newRow("absent") << Initial::Absent << 8 << QString() << QByteArray("<absent>") << -1 << "";
    QTest::newRow("already read: old content stays")
        << Initial::Clear << 8 << QString() << QByteArray("one\rtwo\r") << FileAttribute::Normal << "";
    QTest::newRow("unread") << Initial::Marked << 8 << QStringLiteral("one\rtwo\r") << QByteArray("one\rtwo\r")
                            << FileAttribute::Normal << "";
    QTest::newRow("unread, empty: still marked read")
        << Initial::MarkedEmpty << 8 << QString() << QByteArray() << FileAttribute::Normal << "";
    QTest::newRow("read-only, hidden, system cleared too")
        << Initial::MarkedReadOnlyHiddenSystem << 8 << QStringLiteral("one\rtwo\r") << QByteArray("one\rtwo\r")
        << FileAttribute::Normal << "";
    QTest::newRow("longer than the receiver takes: stays unread")
        << Initial::Marked << 7 << QString() << QByteArray("one\rtwo\r") << FileAttribute::Archive
        << "Error (GetData) 14: ";
    // Handed over without being marked read, the text would come again with the next receive.
    QTest::newRow("another user's: cannot be marked read, nothing handed over")
        << Initial::OthersMarked << 8 << QString() << QByteArray("one\rtwo\r") << FileAttribute::Archive
        << "Error (GetData) 75: ";
}

void TestFileComm::receive()
{
    QFETCH(Initial, initial);
    QFETCH(int, maxReceive);
    QFETCH(QString, message);
    const QString file = path(QStringLiteral("in"));
    prepare(file, initial, "one\rtwo\r");
    MessageRecorder messages;

    clsFileComm comm;
    comm.setInFile(file);
    comm.setMaxReceive(maxReceive);
    std::optional<ActingAs> otherUser;
    if (initial == Initial::OthersMarked) {
        if (::geteuid() != 0)
            QSKIP("Only root can act as another user.");
        QVERIFY(actAsOtherUser(otherUser));
    }
    QTEST(comm.GetData(), "expected");
    QTEST(readBytes(file), "contentAfter");
    QTEST(attributesOf(file), "attributesAfter");
    QCOMPARE(messages.messages.size(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty())
        QVERIFY2(messages.messages.constFirst().startsWith(message), qPrintable(messages.messages.constFirst()));
    QCOMPARE(comm.GetData(), QString());
}

void TestFileComm::twoSendsOneReceive()
{
    clsFileComm comm;
    const QString file = path(QStringLiteral("loop"));
    comm.setOutFile(file);
    comm.setInFile(file);
    const QString accented = QStringLiteral("caf\u00e9 \u00ff");
    comm.SendData(QStringLiteral("first"));
    comm.SendData(accented);
    QCOMPARE(readBytes(file), QByteArray("first\rcaf\xe9 \xff\r"));
    QCOMPARE(comm.GetData(), QStringLiteral("first\r") + accented + QLatin1Char('\r'));
    QCOMPARE(comm.GetData(), QString());

    // The next send starts afresh on the content already read.
    comm.SendData(QStringLiteral("third"));
    QCOMPARE(comm.GetData(), QStringLiteral("third\r"));
}

void TestFileComm::blankPathsTouchNothing_data()
{
    QTest::addColumn<QString>("blank");
    QTest::newRow("empty") << QString();
    QTest::newRow("spaces") << QStringLiteral("   ");
}

void TestFileComm::blankPathsTouchNothing()
{
    QFETCH(QString, blank);
    MessageRecorder messages;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));

    clsFileComm comm;
    comm.setOutFile(blank);
    comm.setInFile(blank);
    comm.SendData(QStringLiteral("nowhere"));
    QCOMPARE(comm.GetData(), QString());
    QDir::setCurrent(previous);

    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    QCOMPARE(messages.messages, QStringList());
}

void TestFileComm::pathsAreUsedAsGiven()
{
    const QString spaced = path(QStringLiteral(" spaced "));
    clsFileComm comm;
    comm.setOutFile(spaced);
    comm.setInFile(spaced);
    QCOMPARE(comm.OutFile(), spaced);
    comm.SendData(QStringLiteral("kept"));
    QVERIFY(QFile::exists(spaced));
    QVERIFY(!QFile::exists(path(QStringLiteral("spaced"))));
    QCOMPARE(comm.GetData(), QStringLiteral("kept\r"));
}

void TestFileComm::failuresAreReported_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("sendMessage");
    QTest::addColumn<QString>("getMessage");
    QTest::newRow("missing folder") << "nofolder/file"
                                    << "Error (SendData) 76: "
                                    << "Error (GetData) 76: ";
    QTest::newRow("a folder") << "folder"
                              << "Error (SendData) 75: "
                              << "Error (GetData) 75: ";
}

void TestFileComm::failuresAreReported()
{
    QFETCH(QString, name);
    QFETCH(QString, sendMessage);
    QFETCH(QString, getMessage);
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("folder")));
    // A folder reads as marked when its owner may search it.
    QCOMPARE(::chmod(QFile::encodeName(path(QStringLiteral("folder"))).constData(), 0755), 0);
    MessageRecorder messages;
    QCoreApplication::setApplicationName(QStringLiteral("brallow"));

    clsFileComm comm;
    comm.setOutFile(path(name));
    comm.setInFile(path(name));
    comm.SendData(QStringLiteral("lost"));
    QCOMPARE(comm.GetData(), QString());

    QCOMPARE(messages.messages.size(), 2);
    QVERIFY2(messages.messages.at(0).startsWith(sendMessage), qPrintable(messages.messages.at(0)));
    QVERIFY2(messages.messages.at(1).startsWith(getMessage), qPrintable(messages.messages.at(1)));
    QVERIFY(messages.messages.at(0).size() > sendMessage.size());
    QCOMPARE(messages.captions, QStringList(2, QStringLiteral("brallow")));
    QVERIFY(!QFile::exists(path(QStringLiteral("nofolder"))));
}

void TestFileComm::waitsForHeldFile_data()
{
    QTest::addColumn<bool>("sending");
    QTest::addColumn<QString>("lockKind");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QByteArray>("contentAfter");
    QTest::addColumn<QString>("received");
    QTest::newRow("send, released") << true << "ofd" << false << QByteArray("unread\rnew\r") << QString();
    QTest::newRow("send, released, traditional lock")
        << true << "posix" << false << QByteArray("unread\rnew\r") << QString();
    QTest::newRow("send, cancelled") << true << "ofd" << true << QByteArray("unread\r") << QString();
    QTest::newRow("receive, released") << false << "ofd" << false << QByteArray("unread\r") << "unread\r";
    QTest::newRow("receive, cancelled") << false << "ofd" << true << QByteArray("unread\r") << QString();
}

void TestFileComm::waitsForHeldFile()
{
    QFETCH(bool, sending);
    QFETCH(QString, lockKind);
    QFETCH(bool, cancel);
    const QString file = path(QStringLiteral("exchange"));
    prepare(file, Initial::Marked, "unread\r");
    MessageRecorder messages;

    clsFileComm comm;
    comm.setOutFile(file);
    comm.setInFile(file);
    HeldFile held(file, lockKind);
    QVERIFY(held.waitUntilHeld());

    QObject context;
    held.releaseLater(&context);
    QByteArray contentWhileHeld;
    bool released = false;
    whileWaiting(&context, comm, [&] {
        contentWhileHeld = readBytes(file);
        if (cancel)
            comm.setCancel(true);
        else
            released = held.release();
    });
    QString received;
    if (sending)
        comm.SendData(QStringLiteral("new"));
    else
        received = comm.GetData();

    QCOMPARE(contentWhileHeld, QByteArray("unread\r"));
    QCOMPARE(released, !cancel);
    QVERIFY(held.release());
    QTEST(readBytes(file), "contentAfter");
    QTEST(received, "received");
    const bool readByReceive = !sending && !cancel;
    QCOMPARE(attributesOf(file), readByReceive ? FileAttribute::Normal : FileAttribute::Archive);
    QCOMPARE(messages.messages, QStringList());
}

void TestFileComm::cancelBeforeAnyWait()
{
    const QString file = path(QStringLiteral("exchange"));
    prepare(file, Initial::Marked, "unread\r");
    clsFileComm comm;
    comm.setOutFile(file);
    comm.setInFile(file);

    // A send clears a cancel left from before and goes through.
    comm.setCancel(true);
    comm.SendData(QStringLiteral("sent"));
    QCOMPARE(readBytes(file), QByteArray("unread\rsent\r"));

    // A receive does not clear it: it gives up at its first conflict, and clears it then.
    comm.setCancel(true);
    {
        HeldFile held(file);
        QVERIFY(held.waitUntilHeld());
        QCOMPARE(comm.GetData(), QString());
    }
    {
        HeldFile held(file);
        QVERIFY(held.waitUntilHeld());
        QObject context;
        bool waited = false;
        whileWaiting(&context, comm, [&] { waited = held.release(); });
        QCOMPARE(comm.GetData(), QStringLiteral("unread\rsent\r"));
        QVERIFY(waited);
    }
}

void TestFileComm::waitingCostsLittleProcessorTime()
{
    const QString file = path(QStringLiteral("exchange"));
    prepare(file, Initial::Clear, "old\r");
    HeldFile held(file);
    QVERIFY(held.waitUntilHeld());
    clsFileComm comm;
    comm.setOutFile(file);

    constexpr int kWaitMs = 400;
    QObject context;
    held.releaseLater(&context);
    QElapsedTimer wall;
    whileWaiting(&context, comm, [&] { QTimer::singleShot(kWaitMs, &context, [&comm] { comm.setCancel(true); }); });
    wall.start();
    const double processorBefore = processorSeconds();
    comm.SendData(QStringLiteral("never"));
    const double processorUsed = processorSeconds() - processorBefore;
    const double wallSeconds = double(wall.elapsed()) / 1000.0;

    QVERIFY(wallSeconds >= kWaitMs / 1000.0);
    // A wait that retried at once would use the whole processor.
    QVERIFY2(processorUsed < 0.15 * wallSeconds,
             qPrintable(QStringLiteral("%1 s of processor time in %2 s").arg(processorUsed).arg(wallSeconds)));
    QCOMPARE(readBytes(file), QByteArray("old\r"));
}

void TestFileComm::raceWithAnotherProcess_data()
{
    QTest::addColumn<bool>("peerSends");
    QTest::newRow("this process receives") << true;
    QTest::newRow("this process sends") << false;
}

void TestFileComm::raceWithAnotherProcess()
{
    QFETCH(bool, peerSends);
    for (int run = 0; run < kRaceRuns; ++run) {
        const QString file = path(QStringLiteral("race%1").arg(run));
        MessageRecorder messages;
        clsFileComm comm;
        comm.setInFile(file);
        comm.setOutFile(file);

        QProcess peer;
        startPeer(peer, {QLatin1String(peerSends ? "send" : "receive"), file, QString::number(kRaceRecords)});
        QVERIFY(peer.waitForStarted());

        QString received;
        QElapsedTimer elapsed;
        elapsed.start();
        if (peerSends) {
            while (!hasEnded(peer) && elapsed.elapsed() < kRaceTimeoutMs)
                received += comm.GetData();
            received += comm.GetData();
        } else {
            for (int number = 0; number < kRaceRecords; ++number)
                comm.SendData(raceRecord(number));
            QVERIFY(hasEnded(peer, kRaceTimeoutMs));
            received = QString::fromLatin1(peer.readAllStandardOutput());
        }
        QVERIFY(hasEnded(peer));
        QCOMPARE(peer.exitStatus(), QProcess::NormalExit);
        QCOMPARE(peer.exitCode(), 0);
        QCOMPARE(messages.messages, QStringList());

        bool torn = false;
        const QStringList records = splitRecords(received, &torn);
        QVERIFY2(!torn, qPrintable(QStringLiteral("run %1").arg(run)));
        QCOMPARE(records.size(), kRaceRecords);
        for (int number = 0; number < kRaceRecords; ++number)
            QCOMPARE(records.at(number), raceRecord(number));
    }
}

QTEST_MAIN(TestFileComm)
#include "tst_clsfilecomm.moc"
