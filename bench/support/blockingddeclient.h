#pragma once

#include <QString>
#include <string>

namespace bench {

// A blocking DDE client speaking the line protocol of docs/dde-protocol.md, for a thread of
// its own beside the instrument's window thread.
class DdeClient
{
public:
    // Connects to the instrument's DDE socket; replies wait at most this many seconds.
    explicit DdeClient(const QString &socketPath, int timeoutSeconds = 10);
    ~DdeClient();
    DdeClient(const DdeClient &) = delete;
    DdeClient &operator=(const DdeClient &) = delete;

    // Sends the line and returns the reply line, empty when none came.
    std::string ask(const std::string &line);

private:
    int m_descriptor = -1;
    std::string m_buffer;
};

} // namespace bench
