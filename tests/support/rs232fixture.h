#pragma once

#include "instrumentwindow.h"
#include "ptypair.h"

#include "serialportcontrol.h"

#include <memory>

// An instrument window whose serial ports 1 and 2 are pseudo-terminal pairs, or its own
// virtual ports; no suite reaches a real serial port.
struct Rs232Fixture : InstrumentWindow
{
    enum class Ports { Mapped, Virtual };

    explicit Rs232Fixture(Ports ports = Ports::Mapped)
    {
        if (ports == Ports::Virtual) {
            qunsetenv("KESTRIN_COM1");
            qunsetenv("KESTRIN_COM2");
        } else {
            qputenv("KESTRIN_COM1", line.deviceName().toLocal8Bit());
            qputenv("KESTRIN_COM2", secondLine.deviceName().toLocal8Bit());
        }
    }

    PtyPair line;
    PtyPair secondLine;
    // The client of a virtual port, once attached.
    std::unique_ptr<PortClient> client;
    // Where the test talks: the far end of port 1's pair, or the attached client.
    LineEnd *farEnd = &line;
    platform::SerialPortControl *port = find<platform::SerialPortControl>("comKestrin");
    QSignalSpy notifications{port, &platform::SerialPortControl::OnComm};

    // Opens the published path of the open virtual port and waits until the instrument has
    // seen the client come, or go once closed again.
    bool attachClient()
    {
        client = std::make_unique<PortClient>(port->deviceName());
        farEnd = client.get();
        return client->isOpen() && QTest::qWaitFor([this] { return port->clientAttached(); });
    }
    bool detachClient()
    {
        client->closeFarEnd();
        return QTest::qWaitFor([this] { return !port->clientAttached(); });
    }

    // Sends one chunk and waits until the instrument has handled its arrival, so that
    // consecutive chunks reach it as separate reads.
    bool sendChunk(const QByteArray &chunk)
    {
        const qsizetype before = notifications.size();
        return farEnd->send(chunk) && QTest::qWaitFor([&] { return notifications.size() > before; });
    }

    // Everything the instrument wrote up to now: a command no state knows is sent last, and
    // what arrives before its reply is returned. (Characters left waiting in the command
    // buffer end up in front of the marker, inside its reply.)
    QByteArray repliesSoFar(const QByteArray &terminator = "\r")
    {
        static const QByteArray marker = "MARKER";
        static const QByteArray markerReply = "Error 2: Illegal Command - ";
        if (!farEnd->send(marker + terminator))
            return "(marker not sent)";
        const QByteArray received = farEnd->receiveUntil(marker + terminator);
        if (!received.contains(markerReply))
            return "(no reply to the marker)";
        return received.left(received.lastIndexOf(markerReply));
    }
};
