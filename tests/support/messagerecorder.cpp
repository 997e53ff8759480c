#include "messagerecorder.h"

#include "messagebox.h"

MessageRecorder::MessageRecorder()
{
    platform::setMessageHandler([this](const QString &caption, const QString &text) {
        captions << caption;
        messages << text;
    });
}

MessageRecorder::~MessageRecorder()
{
    platform::setMessageHandler({});
}
