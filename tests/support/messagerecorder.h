#pragma once

#include <QString>
#include <QStringList>

// Replaces the message box for as long as it lives and records every message instead, so a
// test never waits on a modal window. Recorders nest: a message reaches every recorder alive,
// so a test's own recorder and the one of its window fixture both see it. They end in the
// reverse order of their making.
class MessageRecorder
{
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder &) = delete;
    MessageRecorder &operator=(const MessageRecorder &) = delete;

    QStringList messages;
    QStringList captions;

private:
    // Makes `recorder` the one the message box calls; none brings the real box back.
    static void handTo(MessageRecorder *recorder);
    void record(const QString &caption, const QString &text);

    MessageRecorder *m_outer;
};
