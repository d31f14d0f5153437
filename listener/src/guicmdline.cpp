// guicmdline: the listener's command-line rules and fixed texts.
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <vorngui/guicmdline.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <orx/version.h>

namespace vorngui {

using oozaf::CZAFLogger;
using oozaf::CZAFUtil;

namespace {

const char* const kTag = "guicmdline";

struct SLevelWord {
    const char* word;
    CZAFLogger::eLogLevel level;
};

const SLevelWord kLevelWords[] = {{"error", CZAFLogger::eLogError},
                                  {"warning", CZAFLogger::eLogWarning},
                                  {"verbose", CZAFLogger::eLogVerbose},
                                  {"debug", CZAFLogger::eLogDebug}};

// Plain decimal digits only, at most 10 of them, so the value fits an unsigned 64-bit number
// without overflow and "2000a" or "+2000" never pass.
bool parseDigits(const std::string& text, unsigned long long& value) {
    if (text.empty() || text.size() > 10)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    return true;
}

bool isOneArgSwitch(const std::string& sw) {
    return sw == "--log-file" || sw == "--port" || sw == "--cthread-int" || sw == "--info" ||
           sw == "--login-timeout" || sw == "--idle-timeout" || sw == "--max-frame" ||
           sw == "--host-key" || sw == "--bind" || sw == "--site-file";
}

bool isFlagSwitch(const std::string& sw) {
    return sw == "--version" || sw == "--help" || sw == "--non-secure" || sw == "--local";
}

} // namespace

void CGUICommandLineContext::minMaxArgsForSwitch(const std::string& sw, uint16_t& min,
                                                 uint16_t& max) const {
    if (isOneArgSwitch(sw)) {
        min = max = 1;
    } else if (isFlagSwitch(sw)) {
        min = max = 0;
    } else {
        ZAF_FAIL_TAG(kTag);
    }
}

bool CGUICommandLineContext::switchIsValid(const std::string& sw) const {
    return isOneArgSwitch(sw) || isFlagSwitch(sw);
}

bool CGUICommandLineContext::argIsValid(const std::string& sw, const std::string& arg) const {
    unsigned long long value = 0;
    if (sw == "--port")
        return parseDigits(arg, value) && value >= 1024 && value <= 65535;
    if (sw == "--cthread-int" || sw == "--login-timeout")
        return parseDigits(arg, value) && value > 0 && value <= 0xFFFFFFFEull;
    if (sw == "--info") {
        for (const SLevelWord& row : kLevelWords)
            if (CZAFUtil::compareIgnoreCase(arg, row.word))
                return true;
        return false;
    }
    if (sw == "--idle-timeout") {
        unsigned int milliseconds = 0;
        bool oldUnit = false;
        return parseIdleTimeout(arg, milliseconds, oldUnit);
    }
    if (sw == "--max-frame")
        return parseDigits(arg, value) && value >= 65536 && value <= kMaxFrameLimit;
    if (sw == "--bind") {
        in_addr address{};
        return inet_pton(AF_INET, arg.c_str(), &address) == 1;
    }
    if (sw == "--log-file" || sw == "--host-key" || sw == "--site-file")
        return !arg.empty();
    return false;
}

void CGUICommandLineContext::validate() const {
    CZAFCommandLineContext::validate();
    if (!getIndependentArgs().empty())
        throw new oozaf::CZAFIndependentArgsException();
}

const std::string& CGUICommandLineContext::singleArg(const std::string& sw) const {
    const CZAFArgs* args = getArgs(sw);
    ZAF_ASSERT_TAG(kTag, args != nullptr && args->size() == 1);
    return args->front();
}

bool CGUICommandLineContext::getPort(unsigned short& port) const {
    if (!switchExists("--port"))
        return false;
    port = static_cast<unsigned short>(std::atoi(singleArg("--port").c_str()));
    return true;
}

bool CGUICommandLineContext::getClientsThreadInt(unsigned int& milliseconds) const {
    if (!switchExists("--cthread-int"))
        return false;
    milliseconds =
        static_cast<unsigned int>(std::strtoul(singleArg("--cthread-int").c_str(), nullptr, 10));
    return true;
}

bool CGUICommandLineContext::getLoginTimeout(unsigned int& milliseconds) const {
    if (!switchExists("--login-timeout"))
        return false;
    milliseconds =
        static_cast<unsigned int>(std::strtoul(singleArg("--login-timeout").c_str(), nullptr, 10));
    return true;
}

bool CGUICommandLineContext::getIdleTimeout(unsigned int& milliseconds) const {
    if (!switchExists("--idle-timeout"))
        return false;
    const std::string& text = singleArg("--idle-timeout");
    bool oldUnit = false;
    const bool valid = parseIdleTimeout(text, milliseconds, oldUnit);
    ZAF_ASSERT_TAG(kTag, valid);
    if (oldUnit)
        ZAF_LOG_WARNING("WARNING: --idle-timeout " << text
                                                   << " is read as milliseconds, the old unit; "
                                                      "seconds are the unit now: --idle-timeout "
                                                   << milliseconds / 1000);
    return true;
}

bool CGUICommandLineContext::parseIdleTimeout(const std::string& text, unsigned int& milliseconds,
                                              bool& oldUnit) {
    oldUnit = false;
    std::string digits = text;
    unsigned long long scale = 1000;
    bool unitGiven = false;
    if (digits.size() > 2 && digits.compare(digits.size() - 2, 2, "ms") == 0) {
        digits.resize(digits.size() - 2);
        scale = 1;
        unitGiven = true;
    } else if (digits.size() > 1 && digits.back() == 's') {
        digits.pop_back();
        unitGiven = true;
    }
    unsigned long long value = 0;
    if (!parseDigits(digits, value))
        return false;
    // A bare number above a day of seconds can only be a setting written in the old unit.
    if (!unitGiven && value > kMaxIdleTimeoutSeconds) {
        scale = 1;
        oldUnit = true;
    }
    if (value * scale > 0xFFFFFFFEull || (scale == 1000 && value > kMaxIdleTimeoutSeconds))
        return false;
    milliseconds = static_cast<unsigned int>(value * scale);
    return true;
}

bool CGUICommandLineContext::getMaxFrame(uint32_t& bytes) const {
    if (!switchExists("--max-frame"))
        return false;
    bytes = static_cast<uint32_t>(std::strtoul(singleArg("--max-frame").c_str(), nullptr, 10));
    return true;
}

bool CGUICommandLineContext::getText(const std::string& sw, std::string& text) const {
    if (!switchExists(sw))
        return false;
    text = singleArg(sw);
    return true;
}

bool CGUICommandLineContext::getInfo(CZAFLogger::eLogLevel& level) const {
    if (!switchExists("--info"))
        return false;
    const std::string& word = singleArg("--info");
    for (const SLevelWord& row : kLevelWords) {
        if (CZAFUtil::compareIgnoreCase(word, row.word)) {
            level = row.level;
            return true;
        }
    }
    ZAF_FAIL_TAG(kTag);
}

bool CGUICommandLineContext::getLogFilename(std::string& name) const {
    if (!switchExists("--log-file"))
        return false;
    name = singleArg("--log-file");
    return true;
}

std::string CGUICommandLineContext::syntax() {
    return "--version             Display version information\n"
           "--port <number>       Set the listening TCP/IP port (default is " +
           std::to_string(kDefaultPort) +
           ")\n"
           "--log-file <filename> Set the output log's file name\n"
           "--info <level>        Set the logging level (error, warning, verbose, debug)\n"
           "--help                Display this help screen\n"
           "--bind <address>      Listen on this IPv4 address only (default: every address)\n"
           "--site-file <name>    The site settings (default orxgui-site.cfg in the\n"
           "                      installation folder)\n"
           "--host-key <folder>   The host key's folder (default hostkey in the installation\n"
           "                      folder)\n"
           "--non-secure          Plain connections instead of the secure channel\n"
           "--local               Do not use the toolkit's background service\n"
           "--login-timeout <ms>  Time a new connection has for its handshake and login\n"
           "                      (default 30000)\n"
           "--idle-timeout <s>    Close a logged-in session silent this many seconds\n"
           "                      (default 1800; 0: never; \"ms\" after the number: milliseconds)\n"
           "--max-frame <bytes>   Largest request after the login, 65536 to 1073741824\n"
           "                      (default 67108864)\n"
           "--cthread-int <ms>    Interval of the thread that reaps ended sessions\n"
           "                      (default 3600000)\n";
}

std::string gGetVersionString() { return ORX_VERSION; }

std::string gGetOutputHeader() {
    return "Brevan Vorn Server v" + gGetVersionString() + "\nGUI Client Listener\n";
}

} // namespace vorngui
