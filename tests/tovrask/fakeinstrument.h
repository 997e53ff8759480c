#pragma once

// An instrument stand-in for the command client's tests: a source serving "Kestrin|Kestrin"
// with the item "txtOutput". It records every execute and acknowledges it positively unless
// told to refuse; while "off" it refuses every conversation.

#include "ddesource.h"
#include "ddesourcehandler.h"

#include <QObject>
#include <QStringList>

class FakeInstrument : public QObject, public platform::DdeSourceHandler
{
public:
    explicit FakeInstrument(bool switchedOn = true)
        : on(switchedOn)
    {
        source = new platform::DdeSource(QStringLiteral("Kestrin"), this);
        source->addItem(kOutput);
        source->setLinkTopic(QStringLiteral("Kestrin"));
        source->setHandler(this);
        source->setLinkMode(platform::DdeSource::kLinkModeSource);
    }

    void write(const QString &text) { source->writeItem(kOutput, text); }

    void Form_LinkOpen(bool &cancel) override { cancel = !on; }
    void Form_LinkExecute(const QString &command, bool &cancel) override
    {
        executes << command;
        cancel = refuseExecutes;
    }

    static inline const QString kOutput = QStringLiteral("txtOutput");
    platform::DdeSource *source = nullptr;
    QStringList executes;
    bool on;
    bool refuseExecutes = false;
};

// What the command client says when the instrument refuses a conversation because it is off.
inline const QString kTurnInstrumentOn =
    QStringLiteral("Error.  Please turn the Kestrin On before establishing a DDE connection.");
