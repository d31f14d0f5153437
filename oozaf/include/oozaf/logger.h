// logger: the process-wide logger and the inline logging code every module expands.
#ifndef OOZAF_LOGGER_H
#define OOZAF_LOGGER_H

#include <oozaf/mutex.h>
#include <oozaf/obj.h>

#include <ostream>
#include <sstream>
#include <string>

namespace oozaf {

// One logger per process: a level and an output stream (not owned), each under its own mutex.
// Lines are "[HH:MM:SS] message"; a line is written while the stream mutex is held, so lines
// from different threads never interleave.
//
// A daemon whose log is read by programs may ask for the date in the stamp
// ("[YYYY-MM-DD HH:MM:SS] message") and for one line per message: line breaks inside a message
// (a cause chain, a multi-line text) are then written as " | " and trailing ones dropped, so
// every event is exactly one line. Both are set once, before other threads log.
class CZAFLogger : public CZAFObj {
public:
    enum eLogLevel { eLogNone = 0, eLogError = 1, eLogWarning = 2, eLogVerbose = 3, eLogDebug = 4 };

    CZAFLogger();

    void setLog(std::ostream& out) { m_log.set(&out); }
    void setLogLevel(eLogLevel level) { m_level.set(level); }
    eLogLevel getLogLevel() { return m_level.get(); }
    void setDateInTimeStamp(bool withDate) { m_withDate = withDate; }
    void setOneLinePerMessage(bool oneLine) { m_oneLine = oneLine; }

    // Writes one line if `level` is enabled; a logger without a stream throws CZAFInternalError.
    void write(eLogLevel level, const std::string& message);

private:
    CZAFSynchObject<std::ostream*> m_log;
    CZAFSynchObject<eLogLevel> m_level;
    bool m_withDate = false;
    bool m_oneLine = false;
};

// The process's logger; null until a program installs one. Written once at start-up.
extern CZAFLogger* gLogger;

// Installs the logger; the caller keeps ownership.
void gSetOOZAFLogger(CZAFLogger* logger);

// True when a message of `level` would be written; lets callers skip building the message.
inline bool gLogEnabled(CZAFLogger::eLogLevel level) {
    return gLogger != nullptr && gLogger->getLogLevel() >= level;
}

inline void gLog(CZAFLogger::eLogLevel level, const std::string& message) {
    if (gLogEnabled(level))
        gLogger->write(level, message);
}

} // namespace oozaf

// Streams a message to the logger at a level, building it only when that level is enabled:
// ZAF_LOG(oozaf::CZAFLogger::eLogVerbose, "Created new thread (id = " << id << ")");
#define ZAF_LOG(level, expr)                                                                       \
    do {                                                                                           \
        if (::oozaf::gLogEnabled(level)) {                                                         \
            std::ostringstream zafLogStream_;                                                      \
            zafLogStream_ << expr;                                                                 \
            ::oozaf::gLogger->write(level, zafLogStream_.str());                                   \
        }                                                                                          \
    } while (0)
#define ZAF_LOG_ERROR(expr) ZAF_LOG(::oozaf::CZAFLogger::eLogError, expr)
#define ZAF_LOG_WARNING(expr) ZAF_LOG(::oozaf::CZAFLogger::eLogWarning, expr)
#define ZAF_LOG_VERBOSE(expr) ZAF_LOG(::oozaf::CZAFLogger::eLogVerbose, expr)
#define ZAF_LOG_DEBUG(expr) ZAF_LOG(::oozaf::CZAFLogger::eLogDebug, expr)

#endif
