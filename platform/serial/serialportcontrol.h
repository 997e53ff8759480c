#pragma once

#include "devicemap.h"
#include "errors.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>
#include <QtGlobal>

namespace platform {

struct SerialSettings;
class VirtualSerialPort;

// The serial port control of a window: a port number, its line settings as one text, an
// open state, text in and text out, and one notification (OnComm) whose reason CommEvent()
// tells. It notifies as soon as one character is waiting, and Input() returns everything
// waiting. Text passes one byte per character (Latin-1) both ways. Port numbers name
// devices through the program's device map (devicemap.h): a mapped device is opened as a
// serial port, an unmapped port is a virtual port the control provides itself
// (virtualserialport.h).
class SerialPortControl : public QObject
{
    Q_OBJECT

public:
    // Reasons of a notification.
    enum CommEventNumber : qint16 {
        NoEvent = 0,
        Receive = 2,        // characters are waiting
        CarrierDetect = 5,  // a client opened or closed a virtual port, as a cable plugged or pulled
        DeviceError = 1010, // reading or writing failed; a line that hung up is closed
    };

    // Numbers of the failures this control raises besides 70 (permission denied) and 380
    // (settings the text or the port does not allow).
    static constexpr int kDeviceIoError = 57;
    static constexpr int kDeviceUnavailable = 68;
    // Characters waiting to leave, at most: enough for a second of lines at 1000 lines a
    // second of up to 4 KiB each (400 points), the burst of a generator catching up. Beyond
    // it output is dropped, as on a line without flow control, rather than held without bound.
    static constexpr qint64 kMaximumQueuedOutput = 4 * 1024 * 1024;
    // A far end that has taken nothing for this long while output waits is not reading; one
    // that takes some but less than comes is slow.
    static constexpr int kStalledOutputMilliseconds = 1000;
    // Received characters held for Input(), at most: beyond it the rest waits in the
    // system's buffer (and, once that is full, the far end waits), so a flood costs
    // bounded memory.
    static constexpr qint64 kMaximumBufferedInput = 16 * 1024;

    explicit SerialPortControl(const DeviceMap &deviceMap, QObject *parent = nullptr);

    const DeviceMap &deviceMap() const { return m_deviceMap; }

    // The port number used by the next opening.
    qint16 CommPort() const { return m_commPort; }
    void setCommPort(qint16 port) { m_commPort = port; }

    // The line settings, such as "19200,N,8,1". Stored for the next opening; on an open port
    // they apply at once and throw RuntimeError when the text or the port refuses them (the
    // stored text then stays).
    QString Settings() const { return m_settings; }
    void setSettings(const QString &settings);

    // Opening uses the current port number and settings and throws RuntimeError when the
    // device is missing (68), not accessible or locked by another program (70; for a virtual
    // port also a runtime folder that is not private), or the settings are refused (380); the
    // port then stays closed. Characters that arrived while the port was closed are
    // discarded. Setting the state it already has does nothing.
    bool PortOpen() const;
    void setPortOpen(bool open);

    // The device of the port while it is open: the mapped device, or the published path of
    // the virtual port.
    QString deviceName() const;
    // True while a client has the virtual port open; a device has no client to tell.
    bool clientAttached() const;

    // Every character waiting, removed from the input; empty when the port is closed.
    QString Input();

    // Queues the text for sending. Throws RuntimeError when the port is closed (68), when the
    // output queue is full (57; the text is dropped; the description says whether the far end
    // is not reading or reading too slowly) or when the device refuses the text (57).
    // A virtual port without a client drops the text without complaint.
    void setOutput(const QString &text);

    // The reason of the notification being handled.
    qint16 CommEvent() const { return m_commEvent; }

signals:
    void OnComm();
    // Everything queued has left: a far end that had stopped reading reads again.
    void outputDrained();

private:
    void open();
    void applySettings(const SerialSettings &settings);
    void notify(CommEventNumber reason);
    void deviceFailed(QSerialPort::SerialPortError error);
    void outputMoved();
    // Everything queued has left, or went with the client it was for.
    void outputEmptied();
    // Counts text dropped at the bound of the queue (the first of a run is logged) and
    // returns the failure to raise.
    RuntimeError dropOutput(qsizetype bytes);
    RuntimeError outputJammed() const;
    qint64 queuedOutput() const;
    // Logs the end of a jam and of a run of dropped text, if either is going on.
    void endJam(const QString &how);
    void endDropping(const QString &how);

    const DeviceMap m_deviceMap;
    QSerialPort *m_port;
    VirtualSerialPort *m_virtualPort;
    QString m_device; // the device of the open port
    qint16 m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    qint16 m_commEvent = NoEvent;
    QElapsedTimer m_sinceOutputMoved; // since output last left, or began to wait
    // Runs while output waits and restarts whenever some leaves: output that has not moved
    // for kStalledOutputMilliseconds is jammed, logged when the jam starts and when it ends,
    // never per line.
    QTimer m_jamTimer;
    QElapsedTimer m_jamClock; // since the jam began
    bool m_jammed = false;
    // Text dropped at the bound of the queue since the run began.
    qint64 m_droppedWrites = 0;
    qint64 m_droppedBytes = 0;
};

} // namespace platform
