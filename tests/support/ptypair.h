#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QString>
#include <QTest>

#include <algorithm>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// The end of a serial line the test talks on, without blocking.
class LineEnd
{
public:
    LineEnd() = default;
    ~LineEnd() { closeFarEnd(); }
    LineEnd(const LineEnd &) = delete;
    LineEnd &operator=(const LineEnd &) = delete;

    // Writes everything, waiting (with events handled) while the line is full.
    bool send(const QByteArray &bytes)
    {
        qsizetype done = 0;
        return QTest::qWaitFor([&] {
            while (done < bytes.size()) {
                const ssize_t written = ::write(m_far, bytes.constData() + done, size_t(bytes.size() - done));
                if (written <= 0)
                    return false;
                done += written;
            }
            return true;
        });
    }

    // Writes everything in one call without handling events, as a program that writes and
    // closes at once does; false when the line did not take it all.
    bool sendAtOnce(const QByteArray &bytes)
    {
        return ::write(m_far, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    // Collects what arrives on the far end until count characters came; returns them and
    // keeps the rest. Empty on timeout.
    QByteArray receiveCount(qsizetype count, int timeoutMilliseconds = 5000)
    {
        const bool arrived = QTest::qWaitFor(
            [&] {
                collectWhileFlowing();
                return m_received.size() >= count;
            },
            timeoutMilliseconds);
        if (!arrived)
            return QByteArray();
        const QByteArray taken = m_received.left(count);
        m_received.remove(0, count);
        return taken;
    }

    // Reads on, as a client that caught up does, until condition holds; false on timeout.
    template<typename Condition>
    bool readUntil(Condition condition, int timeoutMilliseconds)
    {
        return QTest::qWaitFor(
            [&] {
                collectWhileFlowing();
                return condition();
            },
            timeoutMilliseconds);
    }

    // Collects what arrives on the far end until it contains ending; returns everything up
    // to and including the ending and keeps the rest. Empty on timeout.
    QByteArray receiveUntil(const QByteArray &ending, int timeoutMilliseconds = 5000)
    {
        // Only what came since the last look is searched, so megabytes arrive in linear time.
        qsizetype searched = 0;
        qsizetype found = -1;
        const bool arrived = QTest::qWaitFor(
            [&] {
                collectWhileFlowing();
                found = m_received.indexOf(ending, searched);
                searched = std::max<qsizetype>(0, m_received.size() - ending.size() + 1);
                return found >= 0;
            },
            timeoutMilliseconds);
        if (!arrived)
            return QByteArray();
        const qsizetype end = found + ending.size();
        const QByteArray taken = m_received.left(end);
        m_received.remove(0, end);
        return taken;
    }

    void closeFarEnd()
    {
        if (m_far >= 0)
            ::close(m_far);
        m_far = -1;
    }

protected:
    // Reads while characters keep coming, handling events in between so that the program
    // under test goes on writing: megabytes pass without a pause at every piece, and an
    // endless stream still returns now and then.
    void collectWhileFlowing()
    {
        constexpr int kRounds = 100;
        qsizetype before = -1;
        for (int round = 0; round < kRounds && before != m_received.size(); ++round) {
            before = m_received.size();
            collect();
            QCoreApplication::processEvents();
        }
    }

    void collect()
    {
        char chunk[4096];
        for (ssize_t got = ::read(m_far, chunk, sizeof chunk); got > 0; got = ::read(m_far, chunk, sizeof chunk))
            m_received.append(chunk, got);
    }

    int m_far = -1;
    QByteArray m_received;
};

// A pseudo-terminal pair standing in for a serial line: the program under test opens the
// device end (deviceName(), given to it through KESTRIN_COM<n>), the test talks on the far
// end. The pair stays open as long as the object lives, even while the program has the
// device closed.
class PtyPair : public LineEnd
{
public:
    PtyPair()
    {
        termios raw{};
        ::cfmakeraw(&raw);
        char name[128] = {};
        if (::openpty(&m_far, &m_device, name, &raw, nullptr) != 0)
            return;
        ::fcntl(m_far, F_SETFL, ::fcntl(m_far, F_GETFL) | O_NONBLOCK);
        m_name = QString::fromLocal8Bit(name);
    }
    ~PtyPair()
    {
        if (m_device >= 0)
            ::close(m_device);
    }

    bool isValid() const { return !m_name.isEmpty(); }
    QString deviceName() const { return m_name; }
    // The line settings the program applied to the device end.
    termios deviceSettings() const
    {
        termios settings{};
        ::tcgetattr(m_device, &settings);
        return settings;
    }

private:
    int m_device = -1;
    QString m_name;
};

// A client on a virtual port: opens its published path as a terminal program does, touching
// none of the line settings.
class PortClient : public LineEnd
{
public:
    explicit PortClient(const QString &path)
    {
        m_far = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }

    bool isOpen() const { return m_far >= 0; }
    // Turns echo on as `stty echo -echoctl` does: whatever the port sends comes back to it,
    // carriage returns included.
    bool echoBack()
    {
        termios echoing = settings();
        echoing.c_lflag |= ECHO;
        echoing.c_lflag &= ~tcflag_t(ECHOCTL);
        return ::tcsetattr(m_far, TCSANOW, &echoing) == 0;
    }
    // The line settings as the client finds them.
    termios settings() const
    {
        termios settings{};
        ::tcgetattr(m_far, &settings);
        return settings;
    }
};
