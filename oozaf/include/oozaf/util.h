// util: static helpers for directories, environment, the log time stamp, Base64 and strings.
#ifndef OOZAF_UTIL_H
#define OOZAF_UTIL_H

#include <oozaf/obj.h>

#include <string>
#include <vector>

namespace oozaf {

// Stateless helpers used throughout the library. Every function may be called from any thread,
// except the environment setters (the process environment is not thread-safe: set it at start-up).
// Misuse (a quote among the delimiters, a failing clock or environment call) throws
// CZAFInternalError "Assertion Failed" with the tag "util"; the Base64 decoder throws
// CZAFCorruptBase64DataException for bad input.
class CZAFUtil : public CZAFObj {
public:
    // Directories and environment.

    // The installation directory: $ORXDIR as it is; without it the build folder when the
    // program runs from a build tree (getBuildTreeDirectory), else the directory the package
    // installs (ORX_SITE_DIR, /etc/vorn) when it exists; else a warning is logged and the
    // working directory is returned.
    static std::string getRunDirectory();
    // The build folder the running program belongs to: the program's folder or one of the two
    // above it that holds a CMakeCache.txt and the zaf-template.cfg the build copies there.
    // Empty for an installed program.
    static std::string getBuildTreeDirectory();
    // The working directory (getcwd). When it cannot be read, logs a warning and returns ".".
    // The file manager's getWorkingDirectory is this same function.
    static std::string getWorkingDirectory();
    // $TMP, else $TMPDIR, else "/tmp".
    static std::string getTempDirectory();
    // The effective user's home directory from the password database; false when not found.
    static bool getPersonalDirectory(std::string& out);
    // The effective user's login name from the password database; false when not found.
    static bool getCurrentUserName(std::string& out);
    // True and `value` set when the variable exists (an empty value counts).
    static bool getEnvironmentVariable(const std::string& name, std::string& value);
    // Sets a variable for this process and its children. The "name=value" block handed to the
    // environment is never freed (the environment keeps pointing at it). An empty name or one
    // holding "=" is an internal error.
    static void setEnvironmentVariable(const std::string& name, const std::string& value);
    // The calling thread's errno.
    static int getLastError();

    // Time stamp and build stage.

    // The local time of day as "HH:MM:SS" (the stamp of every log line); with `withDate`,
    // "YYYY-MM-DD HH:MM:SS".
    static std::string localTimeString(bool withDate = false);
    // "Development" (0), "Alpha" (1), "Beta" (2), "Release" (3), otherwise "Unknown".
    static std::string buildStageString(int stage);

    // Base64 with the standard alphabet and "=" padding, no line breaks.

    // Replaces `out` with the encoding of `in`; returns its length.
    static unsigned int Base64Encode(const std::string& in, std::string& out);
    // Decodes one group of up to four characters from `in` (white space skipped) into `out`
    // (room for 3 bytes) and returns the number of characters consumed. `count` becomes the
    // number of bytes produced (0 to 3; 0 at the end of the data), or 5 when the group is corrupt.
    static unsigned int DecodeBase64Morsel(const char* in, unsigned int length, unsigned char* out,
                                           unsigned short& count);
    // Replaces `out` with the decoded bytes and returns their number. Decoding stops at the
    // padding or at any character outside the alphabet at a group boundary; what follows is
    // ignored. Throws a new CZAFCorruptBase64DataException for a corrupt group.
    static unsigned int Base64Decode(const std::string& in, std::string& out);

    // Line endings: `out` becomes `in` with every CR LF turned into LF (a lone CR stays).
    static void memcpy0x0aEndings(std::string& out, const std::string& in);

    // Character removal and quoting.

    static std::string removeCharsFromString(const std::string& text, const std::string& chars);
    static std::string removeCharFromString(const std::string& text, const char& c);
    // Removes every blank and tab.
    static void removeWhitespaces(std::string& text);
    // Removes white space outside double quotes; the quotes stay.
    static void removeUnquotedWS(std::string& text);
    // Encloses the text in double quotes.
    static void quote(std::string& text);
    // Removes one pair of enclosing double quotes, if the text has both.
    static void unquote(std::string& text);
    // Cuts the text at the first `c` outside double quotes.
    static void cropUnquotedComment(std::string& text, const char& c);
    // Removes leading and trailing blanks and tabs.
    static void trimString(std::string& text);
    // Overwrites the characters with zero bytes in place, then empties the string.
    static void wipe(std::string& text);

    // Comparison and case.

    static std::string toLower(const std::string& text);
    static std::string toUpper(const std::string& text);
    static bool compareIgnoreCase(const std::string& a, const std::string& b);
    static bool beginsWithIgnoreCase(const std::string& text, const std::string& prefix);

    // Splitting and counting.

    // Splits `text` at any of `delimiters` outside double quotes into `out` (cleared first).
    // Quotes are dropped from the tokens. Unless `skipEmpty`, each delimiter that follows another
    // delimiter or starts the text yields an empty token. The delimiters must not contain '"'.
    static void delimParse(const std::string& text, const std::string& delimiters, bool skipEmpty,
                           std::vector<std::string>& out);
    // Number of blank- or tab-separated words.
    static unsigned int wordCount(const std::string& text);

    // Checks.

    // "0", or a text whose leading decimal number (after white space and a sign) is not zero.
    static bool isInteger(const std::string& text);
    // Only digits and the letters a-f/A-F; the empty text counts.
    static bool isHexadecimal(const std::string& text);
    // 8 or 16 hexadecimal digits, optionally after "0x" or "0X".
    static bool checkValidKeyID(const std::string& text);
    // A key named by its short (8 hex digits) or long (16) key ID or by its fingerprint (32 or
    // 40): "0x" optional, blanks allowed between groups of digits ("0x99887766 1A2B3C4D").
    // `hex` gets the digits in upper case. False for anything else.
    static bool parseKeyIDOrFingerprint(const std::string& text, std::string& hex);
};

} // namespace oozaf

#endif
