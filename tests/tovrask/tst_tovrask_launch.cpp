// Starting the instrument from Connect: where the program file is looked for, a single start
// per Connect, the repeated link step while the started instrument comes up, and start failures.

#include "fakeinstrument.h"
#include "frmTovrask.h"
#include "instrumentstarter.h"
#include "support/messagerecorder.h"

#include "ddedirectory.h"
#include "ddetextbox.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <signal.h>

using namespace std::chrono_literals;

namespace {

const QString kCouldNotStart = QStringLiteral("Error.  Could not start the Kestrin");

// A program file "kestrin" in the folder that runs the shell script; its path, or an empty
// text when it could not be written.
QString writeProgram(const QString &folder, const QString &script, bool executable = true)
{
    const QString path = QDir(folder).filePath(QStringLiteral("kestrin"));
    QFile file(path);
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
    if (executable)
        permissions |= QFile::ExeOwner;
    if (!file.open(QIODevice::WriteOnly) || file.write(QStringLiteral("#!/bin/sh\n").append(script).toLocal8Bit()) < 0
        || !file.setPermissions(permissions))
        return QString();
    return path;
}

// A stand-in for the instrument that only notes each start in `startLog`.
QString writeFakeProgram(const QString &folder, const QString &startLog, bool executable = true)
{
    return writeProgram(folder, QStringLiteral("echo started >> '%1'\n").arg(startLog), executable);
}

int startsIn(const QString &startLog)
{
    QFile file(startLog);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return int(file.readAll().count('\n'));
}

// Gone, or a zombie waiting for a parent that does not reap it.
bool hasEnded(pid_t processId)
{
    if (::kill(processId, 0) != 0)
        return true;
    QFile status(QStringLiteral("/proc/%1/stat").arg(processId));
    if (!status.open(QIODevice::ReadOnly))
        return true;
    const QByteArray fields = status.readAll();
    const qsizetype afterName = fields.lastIndexOf(')');
    return afterName >= 0 && fields.mid(afterName + 2, 1) == "Z";
}

} // namespace

class tst_tovrask_launch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void findProgram_data();
    void findProgram();
    void noProgramCannotStart();
    void startsOnceAndGivesUpAfterTheWait();
    void linksToTheStartedInstrument_data();
    void linksToTheStartedInstrument();
    void startsTheInstrumentProgram_data();
    void startsTheInstrumentProgram();

private:
    void clickConnect();

    std::unique_ptr<QTemporaryDir> m_beside;
    std::unique_ptr<QTemporaryDir> m_onPath;
    QString m_startLog;
    std::unique_ptr<MessageRecorder> m_messages;
    std::unique_ptr<frmTovrask> m_window;
};

void tst_tovrask_launch::init()
{
    m_beside = std::make_unique<QTemporaryDir>();
    m_onPath = std::make_unique<QTemporaryDir>();
    QVERIFY(m_beside->isValid() && m_onPath->isValid());
    m_startLog = QDir(m_onPath->path()).filePath(QStringLiteral("starts.log"));
    qputenv("PATH", m_onPath->path().toLocal8Bit());

    m_messages = std::make_unique<MessageRecorder>();
    m_window = std::make_unique<frmTovrask>();
    m_window->setInstrumentStarter(InstrumentStarter(m_beside->path()));
}

void tst_tovrask_launch::cleanup()
{
    m_window.reset();
    m_messages.reset();
}

void tst_tovrask_launch::clickConnect()
{
    QTest::mouseClick(m_window->findChild<QPushButton *>(QStringLiteral("btnConnect")), Qt::LeftButton);
}

void tst_tovrask_launch::findProgram_data()
{
    QTest::addColumn<bool>("besideProgram");
    QTest::addColumn<bool>("besideExecutable");
    QTest::addColumn<bool>("pathProgram");
    QTest::addColumn<QString>("found");

    QTest::newRow("beside wins over PATH") << true << true << true << "beside";
    QTest::newRow("beside only") << true << true << false << "beside";
    QTest::newRow("PATH only") << false << false << true << "path";
    QTest::newRow("beside not executable") << true << false << true << "path";
    QTest::newRow("nowhere") << false << false << false << "";
}

void tst_tovrask_launch::findProgram()
{
    QFETCH(bool, besideProgram);
    QFETCH(bool, besideExecutable);
    QFETCH(bool, pathProgram);
    QFETCH(QString, found);

    QString beside;
    QString onPath;
    if (besideProgram)
        beside = writeFakeProgram(m_beside->path(), m_startLog, besideExecutable);
    if (pathProgram)
        onPath = writeFakeProgram(m_onPath->path(), m_startLog);

    const QString expected = found == QLatin1String("beside") ? beside
                             : found == QLatin1String("path") ? onPath
                                                              : QString();
    QCOMPARE(InstrumentStarter(m_beside->path()).findProgram(), expected);
}

void tst_tovrask_launch::noProgramCannotStart()
{
    QSignalSpy finished(m_window.get(), &frmTovrask::connectFinished);
    clickConnect();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(m_messages->messages, QStringList{kCouldNotStart});
    QVERIFY(!m_window->isWaitingForInstrument());
}

void tst_tovrask_launch::startsOnceAndGivesUpAfterTheWait()
{
    // The started program never answers: the link step is repeated until the wait is over.
    writeFakeProgram(m_beside->path(), m_startLog);
    m_window->setStartWait(1500ms);
    QSignalSpy finished(m_window.get(), &frmTovrask::connectFinished);
    clickConnect();

    // The click has returned while the wait goes on, and the window keeps handling events.
    QVERIFY(m_window->isWaitingForInstrument());
    QTRY_COMPARE(startsIn(m_startLog), 1);
    // Connect again meanwhile continues the same wait and starts nothing more.
    clickConnect();
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(startsIn(m_startLog), 1);

    QCOMPARE(m_messages->messages.size(), 1);
    QVERIFY2(m_messages->messages.first().startsWith(QStringLiteral("Error 282 on Connect.  ")),
             qPrintable(m_messages->messages.first()));
    QVERIFY(!m_window->isWaitingForInstrument());
}

void tst_tovrask_launch::linksToTheStartedInstrument_data()
{
    QTest::addColumn<bool>("instrumentOn");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("instrument on: linked") << true << QStringList();
    QTest::newRow("instrument off: asks to turn it on") << false << QStringList{kTurnInstrumentOn};
}

void tst_tovrask_launch::linksToTheStartedInstrument()
{
    QFETCH(bool, instrumentOn);
    QFETCH(QStringList, messages);

    writeFakeProgram(m_beside->path(), m_startLog);
    QSignalSpy finished(m_window.get(), &frmTovrask::connectFinished);
    clickConnect();

    // The instrument comes up once the start was noted; the repeated link step finds it.
    QTRY_COMPARE(startsIn(m_startLog), 1);
    QVERIFY(m_window->isWaitingForInstrument());
    FakeInstrument instrument(instrumentOn);
    instrument.write(QStringLiteral("OK"));
    QVERIFY(finished.wait(5000));

    QCOMPARE(m_messages->messages, messages);
    auto *output = m_window->findChild<platform::DdeTextBox *>(QStringLiteral("txtOutput"));
    QCOMPARE(output->text(), instrumentOn ? QStringLiteral("OK") : QString());
    QCOMPARE(startsIn(m_startLog), 1);
}

void tst_tovrask_launch::startsTheInstrumentProgram_data()
{
    // Each ends the instrument as closing its window does, which removes its DDE socket.
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP, the session ending") << SIGHUP;
}

void tst_tovrask_launch::startsTheInstrumentProgram()
{
    QFETCH(int, signalNumber);
    // The real instrument, behind a wrapper that notes its process identifier before it
    // becomes the instrument. A started instrument is off, so the 293 message follows.
    const QFileInfo instrument(QDir(qEnvironmentVariable("TARVOLIN_PROGRAM_DIR")).filePath(QStringLiteral("kestrin")));
    QVERIFY2(instrument.isExecutable(), qPrintable(instrument.filePath()));
    const QString wrapper = QStringLiteral("echo $$ >> '%1'\nQT_QPA_PLATFORM=offscreen exec '%2'\n")
                                .arg(m_startLog, instrument.absoluteFilePath());
    QVERIFY(!writeProgram(m_beside->path(), wrapper).isEmpty());

    QSignalSpy finished(m_window.get(), &frmTovrask::connectFinished);
    clickConnect();
    QVERIFY(finished.wait(15000));
    QCOMPARE(m_messages->messages, QStringList{kTurnInstrumentOn});

    // Connect again reaches the same instrument, still off, and starts no other.
    clickConnect();
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(m_messages->messages, QStringList({kTurnInstrumentOn, kTurnInstrumentOn}));
    QCOMPARE(startsIn(m_startLog), 1);

    QFile log(m_startLog);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const pid_t processId = pid_t(log.readAll().trimmed().toLongLong());
    QVERIFY(processId > 0);
    const QString socket =
        platform::DdeDirectory::socketPath(platform::DdeDirectory::path(), QStringLiteral("Kestrin"));
    QVERIFY(QFileInfo::exists(socket));
    QCOMPARE(::kill(processId, signalNumber), 0);
    QTRY_VERIFY(hasEnded(processId));
    QVERIFY(!QFileInfo::exists(socket));
}

QTEST_MAIN(tst_tovrask_launch)
#include "tst_tovrask_launch.moc"
