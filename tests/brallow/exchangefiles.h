#pragma once

// Exchange files as the brallow suites prepare and inspect them, straight through the file
// system rather than through the layer under test.

#include "fileattributes.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

constexpr uid_t kOtherUser = 65534; // nobody

// Runs as another user (effective uid) for as long as it lives; only root can.
class ActingAs
{
public:
    explicit ActingAs(uid_t user)
        : m_previous(::geteuid())
        , m_acting(::seteuid(user) == 0)
    {
    }
    ~ActingAs()
    {
        // Every later test would run as the other user: stop rather than go on.
        if (m_acting && ::seteuid(m_previous) != 0)
            qFatal("cannot act as user %u again", unsigned(m_previous));
    }
    ActingAs(const ActingAs &) = delete;
    ActingAs &operator=(const ActingAs &) = delete;
    bool isActing() const { return m_acting; }

private:
    uid_t m_previous;
    bool m_acting;
};

// Writes the bytes and sets the permission bits, which carry the file's attributes.
inline void writeExchangeFile(const QString &path, const QByteArray &bytes, mode_t mode)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

// The file's bytes, or "<absent>" when it cannot be read.
inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
}

// The attribute bits the permission bits carry, or -1 when the file is missing.
inline int attributesOf(const QString &path)
{
    struct stat status
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? platform::attributesFromMode(status.st_mode)
                                                                     : -1;
}
