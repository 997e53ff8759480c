#include "messagerecorder.h"

#include "messagebox.h"

namespace {
MessageRecorder *innermostRecorder = nullptr;
}

MessageRecorder::MessageRecorder()
    : m_outer(innermostRecorder)
{
    innermostRecorder = this;
    handTo(this);
}

MessageRecorder::~MessageRecorder()
{
    innermostRecorder = m_outer;
    handTo(m_outer);
}

void MessageRecorder::handTo(MessageRecorder *recorder)
{
    if (!recorder) {
        platform::setMessageHandler({});
        return;
    }
    platform::setMessageHandler(
        [recorder](const QString &caption, const QString &text) { recorder->record(caption, text); });
}

void MessageRecorder::record(const QString &caption, const QString &text)
{
    captions << caption;
    messages << text;
    if (m_outer)
        m_outer->record(caption, text);
}
