#include "linecounter.h"

#include <utility>

namespace bench {

LineCounter::LineCounter(char terminator, std::string prefix)
    : m_terminator(terminator)
    , m_prefix(std::move(prefix))
{
}

void LineCounter::take(const char *bytes, size_t size, long &count)
{
    m_pending.append(bytes, size);
    size_t start = 0;
    for (size_t end = m_pending.find(m_terminator); end != std::string::npos;
         end = m_pending.find(m_terminator, start)) {
        if (isDataLine(m_pending.substr(start, end - start)))
            ++count;
        start = end + 1;
    }
    m_pending.erase(0, start);
}

bool LineCounter::isDataLine(const std::string &line) const
{
    if (line.compare(0, m_prefix.size(), m_prefix) != 0)
        return false;
    const std::string text = line.substr(m_prefix.size());
    return !text.empty() && text != "OK" && text.compare(0, 5, "Error") != 0;
}

} // namespace bench
