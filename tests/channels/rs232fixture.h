#pragma once

#include "instrumentwindow.h"
#include "ptypair.h"

#include "platform/serial/serialportcontrol.h"

// An instrument window whose serial port 1 (and 2) is a pseudo-terminal pair; no suite
// reaches a real serial port.
struct Rs232Fixture : InstrumentWindow
{
    Rs232Fixture()
    {
        qputenv("KESTRIN_COM1", line.deviceName().toLocal8Bit());
        qputenv("KESTRIN_COM2", secondLine.deviceName().toLocal8Bit());
    }

    PtyPair line;
    PtyPair secondLine;
    platform::SerialPortControl *port = find<platform::SerialPortControl>("comKestrin");
    QSignalSpy notifications{port, &platform::SerialPortControl::OnComm};

    // Sends one chunk and waits until the instrument has handled its arrival, so that
    // consecutive chunks reach it as separate reads.
    bool sendChunk(const QByteArray &chunk)
    {
        const qsizetype before = notifications.size();
        return line.send(chunk) && QTest::qWaitFor([&] { return notifications.size() > before; });
    }

    // Everything the instrument wrote up to now: a command no state knows is sent last, and
    // what arrives before its reply is returned. (Characters left waiting in the command
    // buffer end up in front of the marker, inside its reply.)
    QByteArray repliesSoFar(const QByteArray &terminator = "\r")
    {
        static const QByteArray marker = "MARKER";
        static const QByteArray markerReply = "Error 2: Illegal Command - ";
        if (!line.send(marker + terminator))
            return "(marker not sent)";
        const QByteArray received = line.receiveUntil(marker + terminator);
        if (!received.contains(markerReply))
            return "(no reply to the marker)";
        return received.left(received.lastIndexOf(markerReply));
    }
};
