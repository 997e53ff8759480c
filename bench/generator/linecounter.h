#pragma once

#include <cstddef>
#include <string>

namespace bench {

// Cuts received bytes into lines at a terminator and counts the data lines among them: lines
// that start with the prefix and carry text after it other than a reply ("OK", "Error ...").
// A line cut across reads counts once, when its terminator arrives.
class LineCounter
{
public:
    explicit LineCounter(char terminator, std::string prefix = {});

    // Takes the next bytes received and adds the data lines they complete to `count`.
    void take(const char *bytes, size_t size, long &count);
    // Forgets an unfinished line, as when the connection it came on ends.
    void reset() { m_pending.clear(); }

private:
    bool isDataLine(const std::string &line) const;

    char m_terminator;
    std::string m_prefix;
    std::string m_pending;
};

} // namespace bench
