#pragma once

#include "linepace.h"
#include "outputqueue.h"
#include "serialsettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QtGlobal>

#include <cstdint>

class QSocketNotifier;

namespace platform {

class DeviceMap;

// A serial port the program provides itself: it talks on the controlling side of a
// pseudo-terminal and publishes the terminal side for clients at a stable path, a symbolic
// link <runtime>/<folder>/COM<n> (devicemap.h) to the /dev/pts/N of this opening. A lock file beside the
// link, held while the port is open, tells a live publisher from a link left by a killed one.
//
// It behaves like a port with a cable that clients plug and unplug: clients may open and
// close the path any number of times. While no client has it open, output is dropped, never
// kept for the next client, and the port is only looked at a few times a second. Every client
// finds the line as the port set it: what one changed (echo, say) goes when the last one leaves.
// Characters are taken in no faster than the line settings carry them, so a far end that
// echoes everything costs what the line carries; output leaves as fast as the client reads.
// When the last client hangs up, everything it left in the terminal is read at once and
// handed on (readyRead), before the hang-up is told (clientChanged): nothing one client
// wrote, nor the echo it caused, waits for the next client.
class VirtualSerialPort : public QObject
{
    Q_OBJECT

public:
    explicit VirtualSerialPort(QObject *parent = nullptr);
    ~VirtualSerialPort() override;

    // Creates and publishes port `port` of the map with these line settings. Throws RuntimeError 70
    // when the runtime folder is not private or another program publishes the port, 68 when
    // no pseudo-terminal can be had, 380 for settings a pseudo-terminal cannot carry; the
    // port then stays closed.
    void open(const DeviceMap &map, int port, const SerialSettings &settings);
    // Closes the port. The link and the terminal go once control returns to the event loop,
    // and a client still on it then sees a hang-up: a port opened again before that with the
    // same number keeps them and its client, as a reset of a real port keeps the device and
    // the cable.
    void close();
    bool isOpen() const { return m_controller >= 0 && !m_releasePending; }

    // The published path while open.
    QString path() const { return m_path; }
    void applySettings(const SerialSettings &settings);
    // True while a client has the terminal open.
    bool clientAttached() const { return m_clientAttached; }

    // Received characters held at most; beyond it the rest waits in the terminal.
    void setReadBufferSize(qint64 size) { m_readBufferSize = size; }
    QByteArray readAll();

    // Sends what the terminal takes now and queues the rest; drops everything while no
    // client is attached. Throws RuntimeError 57 when the terminal refuses it.
    void write(const QByteArray &bytes);
    qint64 bytesToWrite() const { return m_output.size(); }

signals:
    void readyRead();
    // Queued output left for the client.
    void bytesWritten(qint64 bytes);
    // The output queue is empty again: everything left, or the client that was not reading
    // went away and its queue with it.
    void drained();
    // A client attached, or went away (also one that came and went unseen, leaving characters).
    void clientChanged();
    // Sending queued output failed; the queue is dropped.
    void writeFailed();

private:
    // Removes the link and ends the terminal.
    void release();
    void receive();
    // Reading stopped short of the end: the line's pace or a full buffer holds the rest.
    void holdInput();
    void resumeInput();
    void sendQueued();
    void checkForClient();
    void lineChanged();
    void attachClient();
    void clientGone();
    // Reads everything the terminal holds, without the line's pace; true when there was some.
    bool takeLeftInput();
    void watchLine(uint32_t events);
    bool terminalHungUp() const;
    void restoreLineSettings();
    // Returns how many bytes the client had left unread.
    qint64 discardPendingOutput();
    // The published path and its terminal, for log lines.
    QString describe() const;
    // Logs the output dropped while no client was on the line, if any, and starts counting anew.
    void reportUnheardOutput();

    int m_port = 0;
    bool m_releasePending = false;
    int m_controller = -1; // controlling side of the pseudo-terminal
    int m_lock = -1;       // lock file, held while open
    int m_lineWatch = -1;  // edge-triggered watch of the controlling side while no client is seen
    QString m_path;        // the published link
    QString m_terminal;    // the /dev/pts/N the link points to
    bool m_clientAttached = false;
    SerialSettings m_settings;
    LinePace m_pace{m_settings};
    qint64 m_readBufferSize = 0;
    QByteArray m_input;
    OutputQueue m_output;
    // Output dropped since the last client was seen.
    qint64 m_unheardWrites = 0;
    qint64 m_unheardBytes = 0;
    QSocketNotifier *m_readable;
    QSocketNotifier *m_writable;
    QSocketNotifier *m_lineEvents;
    QTimer m_clientCheck;
    QTimer m_inputPace;
};

} // namespace platform
