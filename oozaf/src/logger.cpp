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
    std::string line = "[" + CZAFUtil::localTimeString() + "] " + message;
    CZAFLockGuard guard(m_log.getMutex());
    *out << line << std::endl;
}

} // namespace oozaf
