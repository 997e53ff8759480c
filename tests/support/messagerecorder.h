#pragma once

#include <QStringList>

// Replaces the message box for as long as it lives and records every message instead, so a
// test never waits on a modal window.
class MessageRecorder
{
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder &) = delete;
    MessageRecorder &operator=(const MessageRecorder &) = delete;

    QStringList messages;
    QStringList captions;
};
