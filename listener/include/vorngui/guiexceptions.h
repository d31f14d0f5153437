// guiexceptions: the listener's failure family. Like every throwable of the library they are
// thrown as pointers to heap objects; the catcher owns them.
#ifndef VORNGUI_GUIEXCEPTIONS_H
#define VORNGUI_GUIEXCEPTIONS_H

#include <oozaf/throwable.h>

#include <cstdint>
#include <string>

namespace vorngui {

using oozaf::CZAFThrowable;

// Base of the listener's run-time failures; the cause, when given, is owned.
class CGUIException : public oozaf::CZAFException {
public:
    explicit CGUIException(const CZAFThrowable* cause = nullptr)
        : oozaf::CZAFException(cause, oozaf::eReasonNone) {}
};

// A request failed inside its handler; the cause says why. Answered with rc 8.
class CGUIRequestFailedException final : public CGUIException {
public:
    explicit CGUIRequestFailedException(const CZAFThrowable* cause) : CGUIException(cause) {}
    std::string getMessage() const override { return "Error processing request"; }
};

// A request type that no handler knows. Answered with rc 16.
class CGUIUnknownRequestException final : public CGUIException {
public:
    explicit CGUIUnknownRequestException(const std::string& type) : m_type(type) {}
    std::string getMessage() const override {
        return "Unknown request received from client: '" + m_type + "'";
    }
    const std::string& getType() const { return m_type; }

private:
    std::string m_type;
};

// A refused login. The client only learns the class message; the reason is logged.
class CGUIAuthenticationException : public CGUIException {
public:
    explicit CGUIAuthenticationException(const CZAFThrowable* cause = nullptr)
        : CGUIException(cause) {}
};

// The password or shadow database could not be read; the cause holds the error number.
class CGUIAuthSystemException final : public CGUIAuthenticationException {
public:
    explicit CGUIAuthSystemException(int error)
        : CGUIAuthenticationException(new oozaf::CZAFOSException(error)) {}
    std::string getMessage() const override { return "Authentication error"; }
};

// A login with the right password beyond the daemon's limit of logged-in sessions.
class CGUITooManySessionsException final : public CGUIAuthenticationException {
public:
    CGUITooManySessionsException() = default;
    std::string getMessage() const override { return "too many connections"; }
};

class CGUIBadPasswordException final : public CGUIAuthenticationException {
public:
    CGUIBadPasswordException() = default;
    std::string getMessage() const override { return "Incorrect password"; }
};

// Switching the effective identity failed; the cause holds the error number.
class CGUIImpersonationException final : public CGUIException {
public:
    explicit CGUIImpersonationException(int error)
        : CGUIException(new oozaf::CZAFOSException(error)) {}
    std::string getMessage() const override { return "Impersonation error"; }
};

// A request that does not have the expected shape, or a value that does not fit. rc 12. A
// request that is not well-formed XML (`parseFailure`) is answered with its text as well.
class CGUIFormatException final : public CGUIException {
public:
    explicit CGUIFormatException(const std::string& text, bool parseFailure = false)
        : m_text(text), m_parseFailure(parseFailure) {}
    std::string getMessage() const override {
        return "A format error has been detected in the request: " + m_text;
    }
    const std::string& getText() const { return m_text; }
    bool isParseFailure() const { return m_parseFailure; }

private:
    std::string m_text;
    bool m_parseFailure;
};

class CGUIKeyImportException final : public CGUIException {
public:
    explicit CGUIKeyImportException(const std::string& text) : m_text(text) {}
    std::string getMessage() const override {
        return "An error has been detected while importing a key: " + m_text;
    }

private:
    std::string m_text;
};

// The connection failed; the cause is the socket-level failure. Ends the session.
class CGUICommunicationException final : public CGUIException {
public:
    explicit CGUICommunicationException(const CZAFThrowable* cause) : CGUIException(cause) {}
    std::string getMessage() const override { return "Communication error"; }
};

// An exception of the XML library, with its message copied.
class CGUIXMLEngineException final : public CGUIException {
public:
    explicit CGUIXMLEngineException(const std::string& message) : m_message(message) {}
    std::string getMessage() const override {
        return "An XML Engine exception has occured, error message follows:\n" + m_message;
    }

private:
    std::string m_message;
};

// A frame whose announced length is above the session's limit. Nothing was allocated for it;
// the session ends (as the cause of a CGUICommunicationException).
class CGUIFrameTooLongException final : public oozaf::CZAFSocketException {
public:
    CGUIFrameTooLongException(uint32_t length, uint32_t limit)
        : oozaf::CZAFSocketException(oozaf::eReasonNone, nullptr), m_length(length),
          m_limit(limit) {}
    std::string getMessage() const override {
        return "Frame length " + std::to_string(m_length) + " exceeds the limit of " +
               std::to_string(m_limit) + " bytes";
    }
    uint32_t getLength() const { return m_length; }

private:
    uint32_t m_length;
    uint32_t m_limit;
};

// The secure handshake and the login request did not arrive within the login time limit.
class CGUILoginTimeoutException final : public oozaf::CZAFSocketException {
public:
    explicit CGUILoginTimeoutException(unsigned int milliseconds)
        : oozaf::CZAFSocketException(oozaf::eReasonNone, nullptr), m_milliseconds(milliseconds) {}
    std::string getMessage() const override {
        return "No login request within " + std::to_string(m_milliseconds) + " ms";
    }

private:
    unsigned int m_milliseconds;
};

// Runs a handler's work on the facade or the configuration classes: a CZAFException from it
// fails the request (rc 8) as the cause of a CGUIRequestFailedException; the listener's own
// failures (CGUIException) pass unchanged.
template <class F> auto gRequestWork(F&& work) -> decltype(work()) {
    try {
        return work();
    } catch (CGUIException*) {
        throw;
    } catch (oozaf::CZAFException* e) {
        oozaf::gRethrowAs<CGUIRequestFailedException>(e);
    }
}

// Logs `head` followed by the failure's detailed message as one error, and returns that message.
std::string gLogFailure(const CZAFThrowable& failure, const std::string& head);

// What gLogBoundaryFailure found: a defect (CZAFError, a standard library exception) or any
// other failure.
enum class eGUIFailureKind { eFailure, eDefect };

// The catch ladder of an outermost scope (a thread's body, the program's main). Call it only
// from a catch block: it takes the failure being handled (any type) and logs it as one error,
// `head` + `described` + the failure's text, or `head` + `undescribed` for a failure that has no
// text. A thread's forced unwinding passes on.
eGUIFailureKind gLogBoundaryFailure(const char* head, const char* described,
                                    const char* undescribed);

} // namespace vorngui

#endif
