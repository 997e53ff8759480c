#pragma once

#include "networktestsupport.h"

#include "frmMain.h"
#include "periodictimer.h"
#include "socketcontrol.h"
#include "statusbar.h"
#include "support/messagerecorder.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <memory>

// An instrument window whose message boxes are recorded; its controls are reached by name.
struct InstrumentWindow
{
    MessageRecorder recorder;
    std::unique_ptr<frmMain> window = std::make_unique<frmMain>();
    qint16 serverPort = 0;

    template<typename Control>
    Control *find(const char *name) const
    {
        return window->findChild<Control *>(QLatin1String(name));
    }
    platform::SocketControl *socket() const { return find<platform::SocketControl>("sckServer"); }
    QString status() const { return find<platform::StatusBar>("sbrMessage")->simpleText(); }
    QString input() const { return find<QLineEdit>("txtInput")->text(); }
    void setText(const char *box, const QString &text) const { find<QLineEdit>(box)->setText(text); }
    // The generator's next lines, at once.
    void tick(int count = 1) const
    {
        for (int i = 0; i < count; ++i)
            emit find<platform::PeriodicTimer>("tmrDataGen")->timeout();
    }

    // Shows a dialog through its menu entry; each dialog's object name is its class name.
    template<typename Dialog>
    Dialog *showDialog(const char *menuEntry) const
    {
        find<QAction>(menuEntry)->trigger();
        return find<Dialog>(Dialog::staticMetaObject.className());
    }

    // Enables the network on a free port and applies it at once.
    void listenNow()
    {
        serverPort = freeServerPort();
        window->setNetworkEnabled(true);
        window->setServerPort(serverPort);
        window->ResetNetworkConnection();
    }
    // Enables the network on a free port, switches the instrument on (which starts the
    // listening) and connects a client.
    std::unique_ptr<TestClient> switchOnWithClient()
    {
        serverPort = freeServerPort();
        window->setNetworkEnabled(true);
        window->setServerPort(serverPort);
        window->ExecuteCommand(QStringLiteral("ON"));
        return connectClient();
    }
    // A client the instrument has accepted.
    std::unique_ptr<TestClient> connectClient() const
    {
        auto client = std::make_unique<TestClient>(serverPort);
        if (!client->waitConnected()
            || !QTest::qWaitFor([this] { return socket()->State() == platform::SocketControl::Connected; }))
            qWarning("client not accepted");
        return client;
    }
    // Sends a piece and waits until the instrument has taken it in, so that consecutive
    // pieces reach it as separate reads.
    bool sendPiece(TestClient &client, const QString &piece) const
    {
        QSignalSpy arrivals(socket(), &platform::SocketControl::dataArrived);
        client.send(piece);
        return QTest::qWaitFor([&] { return !arrivals.isEmpty(); });
    }
};

inline void clickButton(QWidget *dialog, const char *button)
{
    QTest::mouseClick(dialog->findChild<QPushButton *>(QLatin1String(button)), Qt::LeftButton);
}

// The instrument for the network suites: the serial channel switched off, so that ON opens
// no port, and one data line in 25 s, so that the tests tick the generator by hand.
struct NetworkInstrument : InstrumentWindow
{
    NetworkInstrument()
    {
        window->setCommEnabled(false);
        setText("txtFrequency", QStringLiteral("0.04"));
    }
};
