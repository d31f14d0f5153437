// cmdline: the generic command-line holder and parser; programs supply the switch rules.
#ifndef OOZAF_CMDLINE_H
#define OOZAF_CMDLINE_H

#include <oozaf/obj.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace oozaf {

// Splits an argument list (without the program name) into switches (words beginning with "--"),
// each with the words that follow it, and independent arguments (the words before the first
// switch), then checks them against the rules of the derived class.
//
// Switch names are kept lower-cased; argument values keep their case. A word beginning with "--"
// is always a switch, so it can never be an argument.
//
// Filled by one thread with parse(); read-only afterwards. Failures are thrown as new
// CZAFCommandLineException subclasses (invalid switch, duplicate switch, invalid argument,
// wrong argument count); after one the parsed state is incomplete and must not be used.
class CZAFCommandLineContext : public CZAFObj {
public:
    using CZAFArgs = std::vector<std::string>;

    CZAFCommandLineContext() = default;
    ~CZAFCommandLineContext() override = default;
    CZAFCommandLineContext(const CZAFCommandLineContext&) = delete;
    CZAFCommandLineContext& operator=(const CZAFCommandLineContext&) = delete;

    // Parses `count` entries of `argv` (pass argc - 1 and argv + 1). A null array with a
    // non-zero count, or a null entry, throws CZAFInternalError.
    void parse(unsigned int count, const char* const* argv);
    // Replaces the supplied arguments with `args` and parses them (parseArgs, then validate).
    void parse(const CZAFArgs& args);

    // The arguments as last given to parse.
    const CZAFArgs& getArgs() const { return m_args; }
    // The words that came before the first switch.
    const CZAFArgs& getIndependentArgs() const { return m_independentArgs; }
    // The arguments of a switch (matched ignoring case), or null when it was not given. The
    // pointer stays valid until the next parse or the destruction of the context.
    const CZAFArgs* getArgs(const std::string& sw) const;
    bool switchExists(const std::string& sw) const { return getArgs(sw) != nullptr; }
    // True for a word beginning with "--" ("--" alone included; "-p" is not a switch).
    static bool isSwitch(const std::string& word);

    // The rules, answered by the program's subclass, and the two parsing steps.

    // Splits the supplied arguments into independent arguments and switches, checking each
    // switch and argument as it is met, then calls validate().
    virtual void parseArgs();
    // The least and greatest number of arguments of a (lower-cased) switch; 0 means unbounded.
    virtual void minMaxArgsForSwitch(const std::string& sw, uint16_t& min, uint16_t& max) const = 0;
    // True when the program knows the (lower-cased) switch.
    virtual bool switchIsValid(const std::string& sw) const = 0;
    // True when `arg` may be given to the switch.
    virtual bool argIsValid(const std::string& sw, const std::string& arg) const = 0;
    // Checks the argument counts against minMaxArgsForSwitch, in switch order, and throws
    // CZAFIncorrectArgsNumException for the first switch outside its bounds. An override calls
    // this first and may add checks of its own.
    virtual void validate() const;

    // The parsed switches (lower-cased, in byte-wise order) with their arguments.
    const std::map<std::string, CZAFArgs>& getParsedSwitches() const { return m_switches; }

private:
    CZAFArgs m_args;
    std::map<std::string, CZAFArgs> m_switches;
    CZAFArgs m_independentArgs;
};

// Writes a diagnostic dump: the supplied arguments, then each parsed switch with its arguments.
std::ostream& operator<<(std::ostream& out, const CZAFCommandLineContext& context);

} // namespace oozaf

#endif
