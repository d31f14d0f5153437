// logger: the process-wide logger.
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>

namespace oozaf {

CZAFLogger* gLogger = nullptr;

void gSetOOZAFLogger(CZAFLogger* logger) { gLogger = logger; }

CZAFLogger::CZAFLogger()
    : m_log(nullptr, "logger", __LINE__), m_level(eLogNone, "logger", __LINE__) {}

void CZAFLogger::write(eLogLevel level, const std::string& message) {
    if (getLogLevel() < level)
        return;
    std::ostream* out = m_log.get();
    ZAF_ASSERT_TAG("include/oozaf/logger", out != nullptr);
    std::string line = "[" + CZAFUtil::localTimeString(m_withDate) + "] ";
    if (!m_oneLine) {
        line += message;
    } else {
        size_t end = message.size();
        while (end > 0 && (message[end - 1] == '\n' || message[end - 1] == '\r'))
            --end;
        for (size_t i = 0; i < end; ++i) {
            const char c = message[i];
            if (c == '\r' && i + 1 < end && message[i + 1] == '\n')
                continue;
            if (c == '\n' || c == '\r')
                line += " | ";
            else
                line += c;
        }
    }
    CZAFLockGuard guard(m_log.getMutex());
    *out << line << std::endl;
}

} // namespace oozaf
