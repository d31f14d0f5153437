// webhttp: the small HTTP pieces of orxweb that do not depend on the HTTP library: form bodies,
// cookies, JSON text and the conversion of listener replies to JSON. Everything here reads
// outside input and is bounded.
#ifndef VORNWEB_WEBHTTP_H
#define VORNWEB_WEBHTTP_H

#include <adminxml.h>
#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vornweb {

// Limits of a form body (application/x-www-form-urlencoded).
constexpr size_t kMaxFormFields = 2048;
constexpr size_t kMaxFieldName = 64;
constexpr size_t kMaxFieldValue = 64 * 1024;
// Limits of a Cookie header.
constexpr size_t kMaxCookies = 64;
constexpr size_t kMaxCookieHeader = 8192;

// An input the client sent that orxweb refuses; `status` is the HTTP status to answer with
// (400 unless said otherwise) and the message is shown to the user.
class CWebInputException {
public:
    explicit CWebInputException(std::string message, int status = 400)
        : m_message(std::move(message)), m_status(status) {}
    const std::string& message() const { return m_message; }
    int status() const { return m_status; }

private:
    std::string m_message;
    int m_status;
};

// The fields of a form in the order sent; a name may repeat.
class CForm {
public:
    CForm() = default;
    explicit CForm(std::vector<std::pair<std::string, std::string>> fields)
        : m_fields(std::move(fields)) {}

    bool has(const std::string& name) const;
    // The first value of `name`, or `fallback`.
    std::string get(const std::string& name, const std::string& fallback = "") const;
    // The first value of `name`; CWebInputException when it is missing or longer than `limit`.
    std::string required(const std::string& name, size_t limit = kMaxFieldValue) const;
    // Every value of `name`, in order.
    std::vector<std::string> all(const std::string& name) const;
    const std::vector<std::pair<std::string, std::string>>& fields() const { return m_fields; }

private:
    std::vector<std::pair<std::string, std::string>> m_fields;
};

// Parses an application/x-www-form-urlencoded body: "&"-separated fields, "+" for a blank and
// strict percent escapes. Names must be non-empty and printable ASCII; values are UTF-8 without
// control characters other than tab, line feed and carriage return. Throws CWebInputException
// for a malformed body or one beyond the limits above.
CForm gParseForm(const std::string& body);

// The cookies of a Cookie header ("name=value; name2=value2"). Malformed pairs are skipped;
// the first of two equal names wins; at most kMaxCookies are read and a header longer than
// kMaxCookieHeader yields none.
std::map<std::string, std::string> gParseCookies(const std::string& header);

// True when the text is valid UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool gIsUtf8(const std::string& text);

// A JSON string literal (with its quotes). Invalid UTF-8 bytes become U+FFFD, so the result is
// always valid JSON.
std::string gJsonString(const std::string& text);
// An element tree as JSON: {"name":..,"attrs":{..},"children":[..],"text":..}; "text" only when
// not empty, "children" only when there are some.
std::string gElementToJson(const vornadmin::SXmlElement& element);

// Compares two strings in time that depends only on their lengths.
bool gConstantTimeEquals(const std::string& a, const std::string& b);

// `count` random bytes from the operating system, as lower-case hexadecimal.
std::string gRandomHex(size_t count);

// One sentence a person understands for a listener's error text `chain` (its cause chain, one
// message per line, "Reason: ..." lines for reason codes), and the error's `kind` when the
// listener names one ("bad-passphrase", "key-not-found"): the innermost reason or message,
// without the wrappers around it, starting with a capital and ending with a period.
std::string gPlainError(const std::string& chain, const std::string& kind = "");

// `bytes` in the gzip format, at zlib's compression `level` (1 fast .. 9 small). Throws
// std::runtime_error when zlib fails.
std::string gGzip(const std::string& bytes, int level);
// Whether an Accept-Encoding value accepts gzip (not with q=0).
bool gAcceptsGzip(const std::string& acceptEncoding);

} // namespace vornweb

#endif
