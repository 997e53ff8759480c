// The file layer under the exchange protocol: attribute bits in permission bits, exclusive
// opens by file locks, error numbers.
#include "brallow/exchangefiles.h"
#include "brallow/peerprocess.h"

#include "errors.h"
#include "exclusivefile.h"
#include "fileattributes.h"
#include "support/errorcapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace platform;

namespace {

mode_t modeOf(const QString &path)
{
    struct stat status
    {
    };
    ::stat(QFile::encodeName(path).constData(), &status);
    return status.st_mode & 07777;
}

} // namespace

class TestExchangeFile : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void attributeBits_data();
    void attributeBits();
    void errorNumbers_data();
    void errorNumbers();
    void createEmptyFileMarksNewFileOnly();
    void writesMarkTheFile_data();
    void writesMarkTheFile();
    void heldFileIsNotTruncated_data();
    void heldFileIsNotTruncated();
    void lockLastsUntilClose();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    bool makeFolder(const QString &name, mode_t mode, uid_t owner) const;
    bool makeLink(const QString &name, const QString &target, uid_t owner) const;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestExchangeFile::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestExchangeFile::attributeBits_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("attributes");
    QTest::addColumn<int>("normalMode");
    QTest::newRow("plain") << 0644 << FileAttribute::Normal << 0644;
    QTest::newRow("owner execute is archive") << 0744 << FileAttribute::Archive << 0644;
    QTest::newRow("group execute is system") << 0654 << FileAttribute::System << 0644;
    QTest::newRow("others execute is hidden") << 0645 << FileAttribute::Hidden << 0644;
    QTest::newRow("no write bit is read-only") << 0444 << FileAttribute::ReadOnly << 0644;
    QTest::newRow("group write alone is not read-only") << 0464 << FileAttribute::Normal << 0664;
    QTest::newRow("all four") << 0555
                              << (FileAttribute::ReadOnly | FileAttribute::Hidden | FileAttribute::System
                                  | FileAttribute::Archive)
                              << 0644;
    QTest::newRow("other permissions kept") << 0760 << FileAttribute::Archive << 0660;
}

void TestExchangeFile::attributeBits()
{
    QFETCH(int, mode);
    QFETCH(int, normalMode);
    const QString file = path(QStringLiteral("file"));
    writeExchangeFile(file, "x", mode_t(mode));
    QTEST(GetAttr(file), "attributes");
    SetAttr(file, FileAttribute::Normal);
    QCOMPARE(int(modeOf(file)), normalMode);
    QCOMPARE(GetAttr(file), FileAttribute::Normal);
}

void TestExchangeFile::errorNumbers_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("otherUser");
    QTest::addColumn<int>("getAttr");
    QTest::addColumn<int>("open");
    QTest::addColumn<int>("createEmpty");
    QTest::newRow("missing file") << "absent" << false << 53 << 53 << 0;
    QTest::newRow("missing folder") << "nofolder/file" << false << 76 << 76 << 76;
    QTest::newRow("a file used as a folder") << "plain/file" << false << 76 << 76 << 76;
    QTest::newRow("a folder") << "folder" << false << 0 << 75 << 0;
    // Links to "plain" and "folder" in sticky folders everybody may write ("shared" is ours,
    // "theirs" the other user's) and in one that is not sticky ("open").
    QTest::newRow("own link in a sticky shared folder") << "shared/mine" << false << 0 << 0 << 0;
    QTest::newRow("another user's link in a sticky shared folder") << "shared/theirs" << true << 75 << 75 << 0;
    QTest::newRow("a folder through another user's link") << "shared/their-folder/file" << true << 75 << 75 << 75;
    QTest::newRow("another user's link, folder not sticky") << "open/theirs" << true << 0 << 0 << 0;
    QTest::newRow("a link of the sticky folder's owner") << "theirs/theirs" << true << 0 << 0 << 0;
}

void TestExchangeFile::errorNumbers()
{
    QFETCH(QString, name);
    QFETCH(bool, otherUser);
    QFETCH(int, open);
    if (otherUser && ::geteuid() != 0)
        QSKIP("Only root can give a file to another user.");
    writeExchangeFile(path(QStringLiteral("plain")), "x", 0644);
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("folder")));
    QVERIFY(makeFolder(QStringLiteral("shared"), 01777, ::geteuid()));
    QVERIFY(makeFolder(QStringLiteral("open"), 0777, ::geteuid()));
    QVERIFY(makeLink(QStringLiteral("shared/mine"), QStringLiteral("../plain"), ::geteuid()));
    if (otherUser) {
        QVERIFY(makeFolder(QStringLiteral("theirs"), 01777, kOtherUser));
        QVERIFY(makeLink(QStringLiteral("shared/theirs"), QStringLiteral("../plain"), kOtherUser));
        QVERIFY(makeLink(QStringLiteral("shared/their-folder"), path(QStringLiteral("folder")), kOtherUser));
        QVERIFY(makeLink(QStringLiteral("open/theirs"), QStringLiteral("../plain"), kOtherUser));
        QVERIFY(makeLink(QStringLiteral("theirs/theirs"), QStringLiteral("../plain"), kOtherUser));
    }
    const QString file = path(name);

    QTEST(errorNumberOf([&] { GetAttr(file); }), "getAttr");
    for (const ExclusiveFile::Mode mode : {ExclusiveFile::Mode::Write, ExclusiveFile::Mode::Read}) {
        ExclusiveFile exclusive;
        QCOMPARE(errorNumberOf([&] { exclusive.open(file, mode); }), open);
        QCOMPARE(exclusive.isOpen(), open == 0);
    }
    QTEST(errorNumberOf([&] { createEmptyFile(file); }), "createEmpty");
    QCOMPARE(readBytes(path(QStringLiteral("plain"))), QByteArray("x"));
}

bool TestExchangeFile::makeFolder(const QString &name, mode_t mode, uid_t owner) const
{
    const QByteArray native = QFile::encodeName(path(name));
    return ::mkdir(native.constData(), mode) == 0 && ::chmod(native.constData(), mode) == 0
           && ::chown(native.constData(), owner, gid_t(-1)) == 0;
}

bool TestExchangeFile::makeLink(const QString &name, const QString &target, uid_t owner) const
{
    const QByteArray native = QFile::encodeName(path(name));
    return ::symlink(QFile::encodeName(target).constData(), native.constData()) == 0
           && ::lchown(native.constData(), owner, gid_t(-1)) == 0;
}

void TestExchangeFile::createEmptyFileMarksNewFileOnly()
{
    const QString fresh = path(QStringLiteral("fresh"));
    createEmptyFile(fresh);
    QCOMPARE(readBytes(fresh), QByteArray());
    QVERIFY(GetAttr(fresh) & FileAttribute::Archive);

    // Another program created it meanwhile: its content and flag stay.
    const QString existing = path(QStringLiteral("existing"));
    writeExchangeFile(existing, "theirs\r", 0644);
    createEmptyFile(existing);
    QCOMPARE(readBytes(existing), QByteArray("theirs\r"));
    QCOMPARE(GetAttr(existing), FileAttribute::Normal);
}

void TestExchangeFile::writesMarkTheFile_data()
{
    QTest::addColumn<bool>("append");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("replace") << false << QByteArray("new\r");
    QTest::newRow("append") << true << QByteArray("old content\rnew\r");
}

void TestExchangeFile::writesMarkTheFile()
{
    QFETCH(bool, append);
    const QString file = path(QStringLiteral("exchange"));
    writeExchangeFile(file, "old content\r", 0644);

    ExclusiveFile exclusive;
    exclusive.open(file, ExclusiveFile::Mode::Write);
    QCOMPARE(exclusive.attributes(), FileAttribute::Normal);
    if (append)
        exclusive.append("new\r");
    else
        exclusive.replace("new\r");
    QCOMPARE(exclusive.attributes(), FileAttribute::Archive);
    exclusive.close();
    QTEST(readBytes(file), "expected");
    QCOMPARE(modeOf(file), mode_t(0744));
}

void TestExchangeFile::heldFileIsNotTruncated_data()
{
    QTest::addColumn<QString>("lockKind");
    QTest::newRow("open file description lock") << QStringLiteral("ofd");
    QTest::newRow("traditional record lock") << QStringLiteral("posix");
}

void TestExchangeFile::heldFileIsNotTruncated()
{
    QFETCH(QString, lockKind);
    const QString file = path(QStringLiteral("held"));
    writeExchangeFile(file, "unread\r", 0744);
    HeldFile held(file, lockKind);
    QVERIFY(held.waitUntilHeld());

    for (const ExclusiveFile::Mode mode : {ExclusiveFile::Mode::Write, ExclusiveFile::Mode::Read}) {
        ExclusiveFile exclusive;
        QCOMPARE(errorNumberOf([&] { exclusive.open(file, mode); }), int(ErrorNumber::PermissionDenied));
        QVERIFY(!exclusive.isOpen());
    }
    QCOMPARE(readBytes(file), QByteArray("unread\r"));

    QVERIFY(held.release());
    ExclusiveFile exclusive;
    exclusive.open(file, ExclusiveFile::Mode::Write);
    QVERIFY(exclusive.isOpen());
}

void TestExchangeFile::lockLastsUntilClose()
{
    // Open file description locks also keep out a second opener in the same program.
    const QString file = path(QStringLiteral("exchange"));
    writeExchangeFile(file, "", 0644);
    ExclusiveFile first;
    first.open(file, ExclusiveFile::Mode::Read);
    ExclusiveFile second;
    QCOMPARE(errorNumberOf([&] { second.open(file, ExclusiveFile::Mode::Write); }), int(ErrorNumber::PermissionDenied));
    first.close();
    second.open(file, ExclusiveFile::Mode::Write);
    QVERIFY(second.isOpen());
}

QTEST_GUILESS_MAIN(TestExchangeFile)
#include "tst_exchangefile.moc"
