#include "serialportcontrol.h"

#include "devicemap.h"
#include "errors.h"
#include "seriallogging.h"
#include "serialsettings.h"
#include "virtualserialport.h"

#include <QFile>
#include <cerrno>
#include <utility>
#include <unistd.h>

namespace platform {

namespace {

QString permissionRemedy()
{
    return QStringLiteral("membership of the dialout group gives access "
                          "(sudo usermod -aG dialout $USER, then log in again)");
}

} // namespace

SerialPortControl::SerialPortControl(const DeviceMap &deviceMap, QObject *parent)
    : QObject(parent)
    , m_deviceMap(deviceMap)
    , m_port(new QSerialPort(this))
    , m_virtualPort(new VirtualSerialPort(this))
{
    m_port->setReadBufferSize(kMaximumBufferedInput);
    m_virtualPort->setReadBufferSize(kMaximumBufferedInput);
    connect(m_port, &QSerialPort::readyRead, this, [this] { notify(Receive); });
    m_jamTimer.setSingleShot(true);
    m_jamTimer.setInterval(kStalledOutputMilliseconds);
    connect(&m_jamTimer, &QTimer::timeout, this, [this] {
        m_jammed = true;
        m_jamClock.start();
        qCDebug(lcPlatformSerial).noquote()
            << QStringLiteral("output to %1 jammed: %2 bytes have not moved for %3 ms; the far end does not read")
                   .arg(m_device)
                   .arg(queuedOutput())
                   .arg(kStalledOutputMilliseconds);
    });
    connect(m_port, &QSerialPort::bytesWritten, this, [this] {
        outputMoved();
        if (m_port->bytesToWrite() == 0) {
            outputEmptied();
            emit outputDrained();
        }
    });
    connect(m_port, &QSerialPort::errorOccurred, this, &SerialPortControl::deviceFailed);
    connect(m_virtualPort, &VirtualSerialPort::readyRead, this, [this] { notify(Receive); });
    connect(m_virtualPort, &VirtualSerialPort::bytesWritten, this, &SerialPortControl::outputMoved);
    connect(m_virtualPort, &VirtualSerialPort::drained, this, [this] {
        outputEmptied();
        emit outputDrained();
    });
    connect(m_virtualPort, &VirtualSerialPort::clientChanged, this, [this] { notify(CarrierDetect); });
    connect(m_virtualPort, &VirtualSerialPort::writeFailed, this, [this] { notify(DeviceError); });
}

void SerialPortControl::setSettings(const QString &settings)
{
    if (m_port->isOpen())
        applySettings(parseSerialSettings(settings));
    else if (m_virtualPort->isOpen())
        m_virtualPort->applySettings(parseSerialSettings(settings));
    m_settings = settings;
}

bool SerialPortControl::PortOpen() const
{
    return m_port->isOpen() || m_virtualPort->isOpen();
}

void SerialPortControl::setPortOpen(bool open)
{
    if (open == PortOpen())
        return;
    if (open) {
        this->open();
    } else {
        endJam(QStringLiteral("the port closed"));
        endDropping(QStringLiteral("the port closed"));
        m_port->close();
        m_virtualPort->close();
    }
}

QString SerialPortControl::deviceName() const
{
    return PortOpen() ? m_device : QString();
}

bool SerialPortControl::clientAttached() const
{
    return m_virtualPort->clientAttached();
}

void SerialPortControl::open()
{
    const SerialSettings settings = parseSerialSettings(m_settings);
    const QString device = m_deviceMap.deviceForPort(m_commPort);
    if (device.isEmpty())
        throw RuntimeError(kDeviceUnavailable,
                           QStringLiteral("Device unavailable: there is no serial port %1").arg(m_commPort));
    if (m_deviceMap.mappedDevice(m_commPort).isEmpty()) {
        m_virtualPort->open(m_deviceMap, m_commPort, settings);
        m_device = device;
        return;
    }

    const QByteArray path = QFile::encodeName(device);
    if (::access(path.constData(), F_OK) != 0)
        throw RuntimeError(kDeviceUnavailable,
                           QStringLiteral("Device unavailable: %1 (serial port %2, mapped by %3) does not "
                                          "exist; without the variable the port is a virtual one")
                               .arg(device)
                               .arg(m_commPort)
                               .arg(m_deviceMap.environmentVariable(m_commPort)));
    if (::access(path.constData(), R_OK | W_OK) != 0)
        throw RuntimeError(ErrorNumber::PermissionDenied,
                           QStringLiteral("Permission denied: %1; %2").arg(device, permissionRemedy()));

    m_port->setPortName(device);
    m_device = device;
    if (!m_port->open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = m_port->error();
        const QString reason = m_port->errorString();
        m_port->clearError();
        if (error == QSerialPort::PermissionError)
            throw RuntimeError(ErrorNumber::PermissionDenied,
                               QStringLiteral("Permission denied: %1 is in use by another program, or %2 (%3)")
                                   .arg(device, permissionRemedy(), reason));
        throw RuntimeError(kDeviceUnavailable,
                           QStringLiteral("Device unavailable: %1 cannot be opened (%2)").arg(device, reason));
    }

    try {
        applySettings(settings);
    } catch (const RuntimeError &) {
        m_port->close();
        throw;
    }
    // Characters that reached the device while the port was closed were sent to nobody: a
    // serial line drops them, a pseudo-terminal would keep them. They are no commands.
    m_port->clear(QSerialPort::Input);
}

void SerialPortControl::applySettings(const SerialSettings &settings)
{
    const QString &device = m_device;
    // The terminal interface of Linux knows 5 to 8 data bits and 1 or 2 stop bits; the
    // serial port classes would quietly send 1 stop bit for 1.5.
    if (settings.dataBits < QSerialPort::Data5)
        throw settingRefused(QStringLiteral("%1 data bits").arg(settings.dataBits), device,
                             QStringLiteral("it offers 5 to 8"));
    if (settings.stopBits == QSerialPort::OneAndHalfStop)
        throw settingRefused(QStringLiteral("1.5 stop bits"), device, QStringLiteral("it offers 1 or 2"));

    const auto check = [this, &device](bool applied, const QString &what) {
        if (applied)
            return;
        const QString reason = m_port->errorString();
        m_port->clearError();
        throw settingRefused(what, device, reason);
    };
    check(m_port->setBaudRate(settings.baudRate), QStringLiteral("baud rate %1").arg(settings.baudRate));
    check(m_port->setDataBits(QSerialPort::DataBits(settings.dataBits)),
          QStringLiteral("%1 data bits").arg(settings.dataBits));
    check(m_port->setParity(settings.parity), QStringLiteral("this parity"));
    check(m_port->setStopBits(settings.stopBits), QStringLiteral("these stop bits"));
}

QString SerialPortControl::Input()
{
    if (m_virtualPort->isOpen())
        return QString::fromLatin1(m_virtualPort->readAll());
    if (!m_port->isOpen())
        return QString();
    return QString::fromLatin1(m_port->readAll());
}

void SerialPortControl::setOutput(const QString &text)
{
    if (!PortOpen())
        throw RuntimeError(kDeviceUnavailable, QStringLiteral("Device unavailable: the serial port is not open"));
    QByteArray bytes = text.toLatin1();
    if (m_virtualPort->isOpen()) {
        const qint64 queued = m_virtualPort->bytesToWrite();
        if (queued > 0 && queued + bytes.size() > kMaximumQueuedOutput)
            throw dropOutput(bytes.size());
        endDropping(QStringLiteral("the queue has room again"));
        m_virtualPort->write(bytes);
        if (queued == 0 && m_virtualPort->bytesToWrite() > 0)
            outputMoved();
        return;
    }
    // What the line takes leaves at once, so a reply does not wait for the next turn of the
    // event loop; the rest queues behind it. Only with nothing queued, to keep the order.
    if (m_port->bytesToWrite() == 0) {
        const ssize_t sent = ::write(m_port->handle(), bytes.constData(), size_t(bytes.size()));
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            throw RuntimeError(kDeviceIoError, QStringLiteral("Device I/O error: %1").arg(qt_error_string(errno)));
        if (sent > 0)
            bytes.remove(0, sent);
        if (bytes.isEmpty())
            return;
    }
    // The rest of a line the line took in part always queues, so no line leaves cut.
    const qint64 queued = m_port->bytesToWrite();
    if (queued > 0 && queued + bytes.size() > kMaximumQueuedOutput)
        throw dropOutput(bytes.size());
    endDropping(QStringLiteral("the queue has room again"));
    if (m_port->write(bytes) != bytes.size())
        throw RuntimeError(kDeviceIoError, QStringLiteral("Device I/O error: %1").arg(m_port->errorString()));
    // Output began to wait: the clock of a stall and of a jam starts now.
    if (queued == 0)
        outputMoved();
}

void SerialPortControl::outputMoved()
{
    m_sinceOutputMoved.start();
    if (!m_jammed && queuedOutput() > 0)
        m_jamTimer.start();
}

void SerialPortControl::outputEmptied()
{
    endJam(m_virtualPort->isOpen() && !m_virtualPort->clientAttached()
               ? QStringLiteral("the client left, and its queue with it")
               : QStringLiteral("everything queued has left"));
    endDropping(QStringLiteral("the queue is empty"));
}

qint64 SerialPortControl::queuedOutput() const
{
    return m_virtualPort->isOpen() ? m_virtualPort->bytesToWrite() : m_port->bytesToWrite();
}

void SerialPortControl::endJam(const QString &how)
{
    m_jamTimer.stop();
    if (!std::exchange(m_jammed, false))
        return;
    qCDebug(lcPlatformSerial).noquote() << QStringLiteral("output to %1 no longer jammed after %2 ms: %3")
                                               .arg(m_device)
                                               .arg(m_jamClock.elapsed())
                                               .arg(how);
}

RuntimeError SerialPortControl::dropOutput(qsizetype bytes)
{
    RuntimeError failure = outputJammed();
    if (m_droppedWrites++ == 0)
        qCDebug(lcPlatformSerial).noquote()
            << QStringLiteral("dropping output to %1: %2 bytes wait, the most the queue holds (error %3: %4)")
                   .arg(m_device)
                   .arg(queuedOutput())
                   .arg(failure.number())
                   .arg(failure.description());
    m_droppedBytes += bytes;
    return failure;
}

void SerialPortControl::endDropping(const QString &how)
{
    if (m_droppedWrites == 0)
        return;
    qCDebug(lcPlatformSerial).noquote() << QStringLiteral("output to %1 no longer dropped (%2): %3 writes (%4 bytes) "
                                                          "were dropped")
                                               .arg(m_device, how)
                                               .arg(std::exchange(m_droppedWrites, 0))
                                               .arg(std::exchange(m_droppedBytes, 0));
}

RuntimeError SerialPortControl::outputJammed() const
{
    if (m_sinceOutputMoved.isValid() && m_sinceOutputMoved.elapsed() < kStalledOutputMilliseconds)
        return RuntimeError(kDeviceIoError, QStringLiteral("Device I/O error: the far end of %1 does not take "
                                                           "lines as fast as they come; lines are dropped until it "
                                                           "catches up")
                                                .arg(m_device));
    return RuntimeError(kDeviceIoError, QStringLiteral("Device I/O error: the far end of %1 is not reading; "
                                                       "output is dropped until it reads again")
                                            .arg(m_device));
}

void SerialPortControl::notify(CommEventNumber reason)
{
    m_commEvent = reason;
    emit OnComm();
    m_commEvent = NoEvent;
}

void SerialPortControl::deviceFailed(QSerialPort::SerialPortError error)
{
    if (!m_port->isOpen()
        || (error != QSerialPort::ReadError && error != QSerialPort::WriteError && error != QSerialPort::ResourceError))
        return;
    m_port->clearError();
    // A line that fails to read has hung up (an unplugged adapter, the far end of a
    // pseudo-terminal gone) and would report the failure again at once, for ever; closing
    // the port ends that.
    if (error != QSerialPort::WriteError)
        m_port->close();
    notify(DeviceError);
}

} // namespace platform
