#pragma once

#include <QByteArray>
#include <QString>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// A pseudo-terminal pair standing in for a serial line: the program under test opens the
// device end (deviceName(), given to it through KESTRIN_COM<n>), the test talks on the far
// end. The pair stays open as long as the object lives, even while the program has the
// device closed.
class PtyPair
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
        closeFarEnd();
        if (m_device >= 0)
            ::close(m_device);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return !m_name.isEmpty(); }
    QString deviceName() const { return m_name; }
    // The line settings the program applied to the device end.
    termios deviceSettings() const
    {
        termios settings{};
        ::tcgetattr(m_device, &settings);
        return settings;
    }

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

    // Collects what arrives on the far end until it contains ending; returns everything up
    // to and including the ending and keeps the rest. Empty on timeout.
    QByteArray receiveUntil(const QByteArray &ending, int timeoutMilliseconds = 5000)
    {
        const bool arrived = QTest::qWaitFor(
            [&] {
                collect();
                return m_received.contains(ending);
            },
            timeoutMilliseconds);
        if (!arrived)
            return QByteArray();
        const qsizetype end = m_received.indexOf(ending) + ending.size();
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

private:
    void collect()
    {
        char chunk[4096];
        for (ssize_t got = ::read(m_far, chunk, sizeof chunk); got > 0; got = ::read(m_far, chunk, sizeof chunk))
            m_received.append(chunk, got);
    }

    int m_far = -1;
    int m_device = -1;
    QString m_name;
    QByteArray m_received;
};
