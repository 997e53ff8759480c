#pragma once

#include "networktestsupport.h"

#include "frmMain.h"
#include "instrument.h"
#include "periodictimer.h"
#include "socketcontrol.h"
#include "statusbar.h"
#include "support/messagerecorder.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <memory>

// A fresh instrument window per test, whose message boxes are recorded; its controls are
// reached by name.
struct InstrumentWindow
{
    MessageRecorder recorder;
    std::unique_ptr<frmMain> window = std::make_unique<frmMain>();
    qint16 serverPort = 0;

    // The control of that name, or null.
    template<typename Control>
    Control *find(const char *name) const
    {
        return window->findChild<Control *>(QLatin1String(name));
    }
    // The control of that name; without it no test of the suite could go on.
    template<typename Control = QWidget>
    Control *control(const char *name) const
    {
        auto *found = find<Control>(name);
        if (!found)
            qFatal("no control named %s", name);
        return found;
    }

    QLineEdit *box(const char *name) const { return control<QLineEdit>(name); }
    QString text(const char *name) const { return box(name)->text(); }
    QString input() const { return text("txtInput"); }
    QString caption(const char *name) const { return control<QAbstractButton>(name)->text(); }
    QString stateLabel() const { return control<QLabel>("lblState")->text(); }
    QString status() const { return control<platform::StatusBar>("sbrMessage")->simpleText(); }
    platform::PeriodicTimer *timer() const { return control<platform::PeriodicTimer>("tmrDataGen"); }
    platform::SocketControl *socket() const { return find<platform::SocketControl>("sckServer"); }
    Instrument *instrument() const
    {
        auto *found = window->findChild<Instrument *>();
        if (!found)
            qFatal("the window holds no instrument");
        return found;
    }

    void click(const char *name) const { QTest::mouseClick(control<QAbstractButton>(name), Qt::LeftButton); }
    void setText(const char *name, const QString &value) const { box(name)->setText(value); }
    // The generator's next lines, at once.
    void tick(int count = 1) const
    {
        for (int i = 0; i < count; ++i)
            instrument()->tickNow();
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

// The instrument for the front-panel suites: its serial channel is disabled, these tests are
// about the instrument, not about a port.
struct PanelInstrument : InstrumentWindow
{
    PanelInstrument() { window->setCommEnabled(false); }
};

// The instrument for the network suites: the serial channel switched off, so that ON opens
// no port, and one data line in 25 s, so that the tests tick the generator by hand.
struct NetworkInstrument : PanelInstrument
{
    NetworkInstrument() { setText("txtFrequency", QStringLiteral("0.04")); }
};
