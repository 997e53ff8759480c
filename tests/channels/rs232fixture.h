#pragma once

#include "ptypair.h"

#include "core/frmMain.h"
#include "platform/serial/serialportcontrol.h"
#include "support/messagerecorder.h"

#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <memory>

// An instrument window whose serial port 1 (and 2) is a pseudo-terminal pair; no suite
// reaches a real serial port.
struct Rs232Fixture
{
    Rs232Fixture()
    {
        qputenv("KESTRIN_COM1", line.deviceName().toLocal8Bit());
        qputenv("KESTRIN_COM2", secondLine.deviceName().toLocal8Bit());
    }

    PtyPair line;
    PtyPair secondLine;
    MessageRecorder recorder;
    std::unique_ptr<frmMain> window = std::make_unique<frmMain>();
    platform::SerialPortControl *port = window->findChild<platform::SerialPortControl *>(QStringLiteral("comKestrin"));
    QSignalSpy notifications{port, &platform::SerialPortControl::OnComm};

    QString input() const { return window->findChild<QLineEdit *>(QStringLiteral("txtInput"))->text(); }

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
