// guiaudit: the user's transaction log as the listener writes it: one line per state-changing
// request, in the form the log's reader reads (six TAB-separated fields: start, end, user name,
// operation, command line, return code).
#ifndef VORNGUI_GUIAUDIT_H
#define VORNGUI_GUIAUDIT_H

#include <xercesc/dom/DOM.hpp>

#include <cstddef>
#include <string>

namespace vorngui {

// The command-line field of a request's line: "orxgui from <client>: <type>" followed by the
// attributes of the request's "data" element and of the elements right below it (name='value'),
// with the values of attributes named like passwords and passphrases shown as "***". At most
// kMaxAuditText bytes (cut with "..."), control characters (and TABs) as "?", double quotes as
// single ones. `request` may be null (a request that did not parse): the type alone is given
// then.
constexpr std::size_t kMaxAuditText = 1024;
std::string gAuditCommandLine(const std::string& client, const std::string& type,
                              const xercesc::DOMDocument* request);

// One line of the transaction log (times in the form the reader parses, see CZAFTime).
struct SGUIAuditLine {
    std::string start;
    std::string end;
    std::string username;
    std::string operation;
    std::string commandLine;
    int rc = 0;
};
// The line as the reader reads it (gParseVornLogLine), TABs, line breaks and other control
// characters in its fields replaced by "?" and double quotes by single ones, ended by a line
// break.
std::string gFormatAuditLine(const SGUIAuditLine& line);
// Appends `line` to the log at `path`: opened for appending without following a link, without
// waiting on something that is not a file (which is refused), created 0600; the whole line in
// one write under an exclusive lock, so that concurrent writers never tear lines. Returns an
// empty text, or what went wrong.
std::string gAppendAuditLine(const std::string& path, const SGUIAuditLine& line);

} // namespace vorngui

#endif
