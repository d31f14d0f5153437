// logger: the process-wide logger.
#include <oozaf/logger.h>
#include <oozaf/throwable.h>

#include <ctime>
#include <sys/time.h>

namespace oozaf {

CZAFLogger* gLogger = nullptr;

void gSetOOZAFLogger(CZAFLogger* logger) { gLogger = logger; }

CZAFLogger::CZAFLogger()
    : m_log(nullptr, "logger", __LINE__), m_level(eLogNone, "logger", __LINE__) {}

namespace {

std::string logTimeStamp() {
    timeval now{};
    ZAF_ASSERT_TAG("logger", gettimeofday(&now, nullptr) == 0);
    std::tm local{};
    time_t seconds = now.tv_sec;
    ZAF_ASSERT_TAG("logger", localtime_r(&seconds, &local) != nullptr);
    char text[16];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

} // namespace

void CZAFLogger::write(eLogLevel level, const std::string& message) {
    if (getLogLevel() < level)
        return;
    std::ostream* out = m_log.get();
    ZAF_ASSERT_TAG("include/oozaf/logger", out != nullptr);
    std::string line = "[" + logTimeStamp() + "] " + message;
    CZAFLockGuard guard(m_log.getMutex());
    *out << line << std::endl;
}

} // namespace oozaf
