#include "virtualserialport.h"

#include "devicemap.h"
#include "errors.h"
#include "runtimefolder.h"
#include "seriallogging.h"
#include "serialportcontrol.h"
#include "terminalsettings.h"

#include <QFile>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

// How often a port without a client looks for one: a terminal nobody has open reads as hung
// up, which no notifier can wait on without spinning.
constexpr int kClientCheckMilliseconds = 50;
constexpr qint64 kDefaultReadBufferSize = 16 * 1024;
constexpr int kDeviceIoError = SerialPortControl::kDeviceIoError;
constexpr int kDeviceUnavailable = SerialPortControl::kDeviceUnavailable;
constexpr mode_t kLockFileMode = 0600;
// What a departed client left is taken at once, up to this much: more than the terminal holds,
// so only a client that opened the port in the same moment and floods it meets the bound.
constexpr qint64 kMaximumLeftInput = 256 * 1024;
// The line watch wakes for characters and hang-ups while nobody is seen on the line, and only
// for the hang-up while a client is attached: its characters come through the read notifier.
constexpr uint32_t kWatchWithoutClient = EPOLLIN | EPOLLET;
constexpr uint32_t kWatchWithClient = EPOLLHUP | EPOLLET;

// A file descriptor closed when it goes out of scope unless released.
class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    bool isValid() const { return m_fd >= 0; }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

QString lastError()
{
    return qt_error_string(errno);
}

int openTerminal(const QString &terminal)
{
    return ::open(QFile::encodeName(terminal).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

} // namespace

VirtualSerialPort::VirtualSerialPort(QObject *parent)
    : QObject(parent)
    , m_readBufferSize(kDefaultReadBufferSize)
    , m_readable(new QSocketNotifier(QSocketNotifier::Read, this))
    , m_writable(new QSocketNotifier(QSocketNotifier::Write, this))
    , m_lineEvents(new QSocketNotifier(QSocketNotifier::Read, this))
{
    m_clientCheck.setInterval(kClientCheckMilliseconds);
    m_inputPace.setSingleShot(true);
    connect(&m_clientCheck, &QTimer::timeout, this, &VirtualSerialPort::checkForClient);
    connect(&m_inputPace, &QTimer::timeout, this, &VirtualSerialPort::resumeInput);
    connect(m_readable, &QSocketNotifier::activated, this, &VirtualSerialPort::receive);
    connect(m_writable, &QSocketNotifier::activated, this, &VirtualSerialPort::sendQueued);
    connect(m_lineEvents, &QSocketNotifier::activated, this, &VirtualSerialPort::lineChanged);
}

VirtualSerialPort::~VirtualSerialPort()
{
    release();
}

void VirtualSerialPort::open(const DeviceMap &map, int port, const SerialSettings &settings)
{
    if (isOpen())
        return;
    if (m_releasePending && port == m_port) {
        try {
            applyTerminalSettings(m_controller, settings, m_path);
        } catch (const RuntimeError &) {
            release();
            throw;
        }
        m_releasePending = false;
        m_settings = settings;
        m_pace.setSettings(settings);
        m_lineEvents->setEnabled(true);
        if (m_clientAttached)
            resumeInput();
        else
            m_clientCheck.start();
        return;
    }
    release();
    RuntimeFolder::ensure(map.publishedFolder(), QStringLiteral("folder of the virtual serial ports"));
    const QString path = map.virtualPortPath(port);
    const QByteArray link = QFile::encodeName(path);

    Descriptor lock(::open((link + ".lock").constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kLockFileMode));
    if (!lock.isValid())
        throw RuntimeError(
            ErrorNumber::PermissionDenied,
            QStringLiteral("Permission denied: the lock file of %1 cannot be opened (%2)").arg(path, lastError()));
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            throw RuntimeError(
                ErrorNumber::PermissionDenied,
                QStringLiteral("Permission denied: %1 is in use by another running instrument").arg(path));
        throw RuntimeError(ErrorNumber::PermissionDenied,
                           QStringLiteral("Permission denied: %1 cannot be locked (%2)").arg(path, lastError()));
    }

    Descriptor controller(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    char name[128] = {};
    if (!controller.isValid() || ::grantpt(controller.get()) != 0 || ::unlockpt(controller.get()) != 0
        || ::ptsname_r(controller.get(), name, sizeof name) != 0)
        throw RuntimeError(kDeviceUnavailable,
                           QStringLiteral("Device unavailable: no pseudo-terminal for %1 (%2)").arg(path, lastError()));
    const QString terminal = QFile::decodeName(name);
    applyTerminalSettings(controller.get(), settings, path);
    // A client that writes and closes at once is gone before the next look for clients; the
    // system wakes this watch when its characters arrive and when it closes the terminal.
    Descriptor lineWatch(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event watched{};
    watched.events = kWatchWithoutClient;
    if (!lineWatch.isValid() || ::epoll_ctl(lineWatch.get(), EPOLL_CTL_ADD, controller.get(), &watched) != 0)
        throw RuntimeError(kDeviceUnavailable,
                           QStringLiteral("Device unavailable: %1 cannot be watched (%2)").arg(path, lastError()));
    // Opened and closed once, the terminal reads as hung up until a client opens it; before
    // that it would take output for the first client as if one were there.
    if (!Descriptor(openTerminal(terminal)).isValid())
        throw RuntimeError(kDeviceUnavailable,
                           QStringLiteral("Device unavailable: %1 cannot be opened (%2)").arg(terminal, lastError()));

    // With the lock ours, a link already there was left by a program that was killed.
    if (::unlink(link.constData()) != 0 && errno != ENOENT)
        throw RuntimeError(ErrorNumber::PermissionDenied,
                           QStringLiteral("Permission denied: %1 cannot be replaced (%2)").arg(path, lastError()));
    if (::symlink(name, link.constData()) != 0)
        throw RuntimeError(ErrorNumber::PermissionDenied,
                           QStringLiteral("Permission denied: %1 cannot be published (%2)").arg(path, lastError()));

    m_port = port;
    m_controller = controller.release();
    m_lock = lock.release();
    m_lineWatch = lineWatch.release();
    m_path = path;
    m_terminal = terminal;
    m_clientAttached = false;
    m_settings = settings;
    m_pace.setSettings(settings);
    m_readable->setSocket(m_controller);
    m_writable->setSocket(m_controller);
    m_lineEvents->setSocket(m_lineWatch);
    m_clientCheck.start();
    m_lineEvents->setEnabled(true);
}

void VirtualSerialPort::close()
{
    if (!isOpen())
        return;
    reportUnheardOutput();
    m_releasePending = true;
    m_clientCheck.stop();
    m_inputPace.stop();
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
    m_lineEvents->setEnabled(false);
    m_input.clear();
    m_output.clear();
    QTimer::singleShot(0, this, [this] {
        if (m_releasePending)
            release();
    });
}

void VirtualSerialPort::release()
{
    m_releasePending = false;
    if (m_controller < 0)
        return;
    m_clientCheck.stop();
    m_inputPace.stop();
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
    m_lineEvents->setEnabled(false);
    // The link is ours while the lock is held; one already gone leaves nothing to remove.
    ::unlink(QFile::encodeName(m_path).constData());
    ::close(std::exchange(m_lineWatch, -1));
    ::close(std::exchange(m_controller, -1));
    ::close(std::exchange(m_lock, -1));
    m_path.clear();
    m_terminal.clear();
    m_clientAttached = false;
    m_input.clear();
    m_output.clear();
}

void VirtualSerialPort::applySettings(const SerialSettings &settings)
{
    applyTerminalSettings(m_controller, settings, m_path);
    m_settings = settings;
    m_pace.setSettings(settings);
}

QByteArray VirtualSerialPort::readAll()
{
    QByteArray received = std::exchange(m_input, QByteArray());
    if (m_clientAttached && !m_inputPace.isActive())
        m_readable->setEnabled(true);
    return received;
}

void VirtualSerialPort::write(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    // Nobody on the line: the characters go nowhere, as down an unplugged cable. Counted, and
    // told once the next client comes.
    if (!m_clientAttached) {
        ++m_unheardWrites;
        m_unheardBytes += bytes.size();
        return;
    }
    ssize_t sent = 0;
    if (m_output.isEmpty()) {
        sent = ::write(m_controller, bytes.constData(), size_t(bytes.size()));
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            throw RuntimeError(kDeviceIoError, QStringLiteral("Device I/O error: %1 (%2)").arg(m_path, lastError()));
        sent = std::max<ssize_t>(sent, 0);
    }
    if (sent < bytes.size()) {
        m_output.append(sent == 0 ? bytes : bytes.mid(sent));
        m_writable->setEnabled(true);
    }
}

void VirtualSerialPort::receive()
{
    bool hungUp = false;
    bool held = false;
    for (;;) {
        const qint64 room = std::min(m_readBufferSize - m_input.size(), m_pace.available());
        if (room <= 0) {
            held = true;
            break;
        }
        char chunk[4096];
        const ssize_t got = ::read(m_controller, chunk, size_t(std::min<qint64>(qint64(sizeof chunk), room)));
        if (got > 0) {
            m_input.append(chunk, got);
            m_pace.take(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        // EIO: the last client closed the terminal (what it sent before is read by now).
        hungUp = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        break;
    }
    if (hungUp) {
        clientGone();
        return;
    }
    if (held)
        holdInput();
    if (!m_input.isEmpty())
        emit readyRead();
}

void VirtualSerialPort::holdInput()
{
    m_readable->setEnabled(false);
    // A full buffer waits for readAll(); the line's pace for the characters it has yet to carry.
    if (m_input.size() < m_readBufferSize && !m_inputPace.isActive())
        m_inputPace.start(m_pace.millisecondsUntilMore());
}

void VirtualSerialPort::resumeInput()
{
    if (m_clientAttached)
        m_readable->setEnabled(true);
}

void VirtualSerialPort::sendQueued()
{
    const qint64 sent = m_output.writeTo(m_controller);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Reported writable yet full: a terminal whose client went away reads so for ever.
        if (terminalHungUp())
            clientGone();
        return;
    }
    if (sent < 0 && errno != EINTR) {
        qCDebug(lcPlatformSerial).noquote() << QStringLiteral("output to %1 failed (%2): %3 bytes queued dropped")
                                                   .arg(describe(), lastError())
                                                   .arg(m_output.size());
        m_output.clear();
        m_writable->setEnabled(false);
        emit writeFailed();
        emit drained();
        return;
    }
    if (sent > 0)
        emit bytesWritten(sent);
    if (m_output.isEmpty()) {
        m_writable->setEnabled(false);
        emit drained();
    }
}

void VirtualSerialPort::checkForClient()
{
    if (!terminalHungUp())
        attachClient();
}

void VirtualSerialPort::lineChanged()
{
    epoll_event event{};
    while (::epoll_wait(m_lineWatch, &event, 1, 0) > 0) {
    }
    const bool hungUp = terminalHungUp();
    if (m_clientAttached) {
        // Seen at once, also while the line's pace holds the client's characters back.
        if (hungUp)
            clientGone();
        return;
    }
    if (!hungUp) {
        attachClient();
        return;
    }
    // A client came and went between two looks for clients; with nothing left behind it
    // only woke the watch (or this is the hang-up of the client already seen leaving).
    restoreLineSettings();
    if (takeLeftInput())
        clientGone();
}

void VirtualSerialPort::attachClient()
{
    m_clientCheck.stop();
    watchLine(kWatchWithClient);
    m_clientAttached = true;
    if (!m_inputPace.isActive())
        m_readable->setEnabled(true);
    reportUnheardOutput();
    emit clientChanged();
}

void VirtualSerialPort::clientGone()
{
    // What the client left is its own: taken at once, since nothing can echo it any more,
    // and handed on before the news of its leaving, so that the reader can tell it from
    // what the next client sends.
    const bool wasAttached = std::exchange(m_clientAttached, false);
    m_inputPace.stop();
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
    const qint64 queued = m_output.size();
    m_output.clear();
    restoreLineSettings();
    takeLeftInput();
    const bool leftInput = !m_input.isEmpty();
    const qint64 unread = discardPendingOutput();
    if (queued > 0 || unread > 0)
        qCDebug(lcPlatformSerial).noquote()
            << QStringLiteral("the client of %1 left: %2 bytes queued for it and %3 bytes it left unread dropped")
                   .arg(describe())
                   .arg(queued)
                   .arg(unread);
    m_clientCheck.start();
    watchLine(kWatchWithoutClient);
    if (leftInput)
        emit readyRead();
    if (wasAttached || leftInput)
        emit clientChanged();
    if (queued > 0)
        emit drained();
}

bool VirtualSerialPort::takeLeftInput()
{
    qint64 taken = 0;
    while (taken < kMaximumLeftInput) {
        char chunk[4096];
        const ssize_t got = ::read(m_controller, chunk, sizeof chunk);
        if (got > 0) {
            m_input.append(chunk, got);
            taken += got;
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break; // EIO once everything is read: nobody has the terminal open
        }
    }
    if (taken >= kMaximumLeftInput)
        qCDebug(lcPlatformSerial).noquote()
            << QStringLiteral("input of %1 cut at %2 bytes, the most taken at once from a client that left; the "
                              "rest waits in the terminal")
                   .arg(describe())
                   .arg(taken);
    return taken > 0;
}

void VirtualSerialPort::watchLine(uint32_t events)
{
    epoll_event watched{};
    watched.events = events;
    // Changing the watch of a descriptor already watched fails only for want of memory; the
    // look for clients then still finds them, later.
    if (::epoll_ctl(m_lineWatch, EPOLL_CTL_MOD, m_controller, &watched) != 0)
        qWarning("Line watch of %s: %s", qPrintable(m_path), qPrintable(lastError()));
    m_lineEvents->setEnabled(true);
}

bool VirtualSerialPort::terminalHungUp() const
{
    pollfd state{m_controller, POLLIN, 0};
    return ::poll(&state, 1, 0) < 0 || (state.revents & POLLHUP) != 0;
}

void VirtualSerialPort::restoreLineSettings()
{
    try {
        applyTerminalSettings(m_controller, m_settings, m_path);
    } catch (const RuntimeError &failure) {
        // The settings were taken when the port opened; a terminal that refuses them now has
        // failed underneath, and the next client finds out at its first character.
        qWarning("%s", qPrintable(failure.error().message(QStringLiteral("Line settings of the next client: "))));
    }
}

qint64 VirtualSerialPort::discardPendingOutput()
{
    // What the last client left unread would greet the next one. Only the terminal side can
    // drop it; a terminal that cannot be opened any more has nobody left to greet.
    const Descriptor terminal(openTerminal(m_terminal));
    if (!terminal.isValid())
        return 0;
    int unread = 0;
    if (::ioctl(terminal.get(), FIONREAD, &unread) != 0)
        unread = 0;
    ::tcflush(terminal.get(), TCIFLUSH);
    return unread;
}

QString VirtualSerialPort::describe() const
{
    return QStringLiteral("%1 (%2)").arg(m_path, m_terminal);
}

void VirtualSerialPort::reportUnheardOutput()
{
    if (m_unheardWrites == 0)
        return;
    qCDebug(lcPlatformSerial).noquote()
        << QStringLiteral("%1: %2 writes (%3 bytes) of output dropped while no client had the port open")
               .arg(describe())
               .arg(std::exchange(m_unheardWrites, 0))
               .arg(std::exchange(m_unheardBytes, 0));
}

} // namespace platform
