// guicmdline: the listener's command-line rules, its help, version and header texts.
#ifndef VORNGUI_GUICMDLINE_H
#define VORNGUI_GUICMDLINE_H

#include <oozaf/cmdline.h>
#include <oozaf/logger.h>

#include <cstdint>
#include <string>

namespace vorngui {

// The switches of orxgui:
//   --port <1024..65535>      --non-secure      --local      --cthread-int <ms > 0>
//   --version                 --help            --info <error|warning|verbose|debug>
//   --log-file <name>         --login-timeout <ms > 0>     --idle-timeout <s, 0: none>
//   --max-frame <65536..1073741824>   --host-key <folder>   --bind <dotted IPv4>
//   --site-file <name>
// "--login-timeout" (the time a new connection has for the secure handshake and its login
// request, default 30000 ms) is this listener's own addition. syntax() lists every switch: the
// five of the original help first, then the others.
// "--idle-timeout" counts seconds, as every daemon of the product does ("1800", "1800s");
// "1800000ms" gives milliseconds, and a bare number above a day of seconds (86400) is a setting
// written in the old unit, milliseconds, and is read as such with a warning.
//
// Numbers must be plain decimal digits ("2000a" is refused). Filled once by parse() on the main
// thread, read-only afterwards.
class CGUICommandLineContext final : public oozaf::CZAFCommandLineContext {
public:
    static constexpr unsigned short kDefaultPort = 1718;
    static constexpr unsigned int kDefaultClientsThreadInterval = 3600000;
    static constexpr unsigned int kDefaultLoginTimeout = 30000;
    static constexpr unsigned int kDefaultIdleTimeout = 30u * 60 * 1000; // milliseconds
    static constexpr unsigned int kMaxIdleTimeoutSeconds = 86400;
    static constexpr uint32_t kDefaultMaxFrame = 64u * 1024 * 1024;
    static constexpr uint32_t kMaxFrameLimit = 1024u * 1024 * 1024;

    void minMaxArgsForSwitch(const std::string& sw, uint16_t& min, uint16_t& max) const override;
    bool switchIsValid(const std::string& sw) const override;
    bool argIsValid(const std::string& sw, const std::string& arg) const override;
    // Adds to the base checks: words before the first switch throw CZAFIndependentArgsException.
    void validate() const override;

    // True and the value when the switch was given. A one-argument switch holding another number
    // of arguments is an internal error (tag "guicmdline").
    bool getPort(unsigned short& port) const;
    bool getClientsThreadInt(unsigned int& milliseconds) const;
    bool getLoginTimeout(unsigned int& milliseconds) const;
    // In milliseconds, whichever unit the switch was given in (see above).
    bool getIdleTimeout(unsigned int& milliseconds) const;
    // Reads an "--idle-timeout" value; false when it is none. `oldUnit`: a bare number read as
    // milliseconds.
    static bool parseIdleTimeout(const std::string& text, unsigned int& milliseconds,
                                 bool& oldUnit);
    bool getMaxFrame(uint32_t& bytes) const;
    // "--host-key", "--bind", "--site-file": the switch's one argument.
    bool getText(const std::string& sw, std::string& text) const;
    bool getInfo(oozaf::CZAFLogger::eLogLevel& level) const;
    bool getLogFilename(std::string& name) const;
    bool getNonsecure() const { return switchExists("--non-secure"); }
    bool getLocal() const { return switchExists("--local"); }
    bool getVersion() const { return switchExists("--version"); }
    bool getHelp() const { return switchExists("--help"); }

    // The lines of help text, each ended by a line break.
    static std::string syntax();

private:
    const std::string& singleArg(const std::string& sw) const;
};

// The product's version, "8.5.0".
std::string gGetVersionString();
// "Brevan Vorn Server v8.5.0\nGUI Client Listener\n".
std::string gGetOutputHeader();

} // namespace vorngui

#endif
