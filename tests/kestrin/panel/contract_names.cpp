// Prints, as one JSON object, the names the instrument and the test kit share: the conversation
// application, topic and items, where the instrument publishes its serial port and its socket
// (relative to the runtime folder), and the reply and refusal texts the kit reads. The kit's
// contract test compares them with its own.

#include "ddechannel.h"
#include "headlessinstrument.h"
#include "instrument.h"
#include "networkchannel.h"
#include "panelitems.h"
#include "serialdevices.h"
#include "settingchoices.h"

#include "ddesource.h"

#include "support/networktestsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cstdio>

int main(int argc, char *argv[])
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    unsetenv("KESTRIN_COM1");
    QCoreApplication application(argc, argv);
    HeadlessInstrument instrument;
    platform::DdeSource *source = instrument.dde().source();
    const QDir runtimeFolder(runtime.path());

    QJsonObject names;
    names[QStringLiteral("application")] = source->applicationName();
    names[QStringLiteral("topic")] = source->linkTopic();
    names[QStringLiteral("output_item")] = DdeChannel::kOutputItem;
    names[QStringLiteral("panel_items")] = QJsonArray::fromStringList(instrument.panel().itemNames());
    names[QStringLiteral("dde_socket")] = runtimeFolder.relativeFilePath(source->socketPath());
    names[QStringLiteral("serial_port")] = runtimeFolder.relativeFilePath(instrumentSerialDevices().virtualPortPath(1));
    // The status bar once the TCP server listens.
    instrument.network().setNetworkEnabled(true);
    instrument.network().setServerPort(qint16(freeServerPort()));
    names[QStringLiteral("ok")] = instrument.instrument().ExecuteCommand(QStringLiteral("ON")).reply;
    names[QStringLiteral("listening")] = instrument.panel().statusText();
    const QString illegal = instrument.instrument().ExecuteCommand(QStringLiteral("WORD")).reply;
    names[QStringLiteral("illegal_command")] = illegal.left(illegal.size() - int(qstrlen("WORD")));
    names[QStringLiteral("server_port_refusal")] = SettingChoices::kServerPortRefusal;
    std::fputs(QJsonDocument(names).toJson(QJsonDocument::Indented).constData(), stdout);
    return 0;
}
