// translog: the transaction log reader of the server facade.
#include <oozaf/file.h>
#include <oozaf/filemanager.h>
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserver.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace oozaf {

namespace {

const char* const kTag = "vornserver";
const std::size_t kLogFieldCount = 6;

// Fields that name people and commands are shown on a console: a byte that would not print
// there (a control character, or anything outside ASCII) becomes "?".
std::string printable(const std::string& text) {
    std::string out(text);
    for (char& c : out)
        if (!std::isprint(static_cast<unsigned char>(c)))
            c = '?';
    return out;
}

// The leading decimal number as atoi reads it, clamped to the 32-bit range instead of
// overflowing.
int32_t readReturnCode(const std::string& text) {
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

} // namespace

// One transaction per line, six fields separated by TABs:
//
//   start <TAB> end <TAB> user name <TAB> operation <TAB> command line <TAB> return code
//
// start and end are "YYYY-MM-DD HH:MM:SS.mmm" (CZAFTime::createFromYMDHMSMs); the return code is
// a decimal number. The split is quote-aware, the one CZAFUtil::delimParse makes: a double quote
// toggles quoting and is not part of the field, and a TAB between quotes belongs to the field,
// so the writer encloses a field that holds a TAB (a quoted argument of the command line, for
// example) in double quotes. A field cannot hold a double quote itself; an unpaired one takes the
// TABs after it into its field, and the line then has too few fields. Empty fields are kept, the
// last one too.
bool gParseVornLogLine(const std::string& line, SVornLogEntry& entry) {
    std::vector<std::string> fields;
    CZAFUtil::delimParse(line, "\t", false, fields);
    // A TAB that ends the line opens no token in delimParse, so the empty field after it would be
    // lost; it is unquoted when the line's quotes pair up.
    if (!line.empty() && line.back() == '\t' && std::count(line.begin(), line.end(), '"') % 2 == 0)
        fields.emplace_back();
    if (fields.size() != kLogFieldCount)
        return false;

    SVornLogEntry parsed;
    parsed.start = CZAFTime::createFromYMDHMSMs(fields[0]);
    parsed.end = CZAFTime::createFromYMDHMSMs(fields[1]);
    parsed.username = printable(fields[2]);
    parsed.op = fields[3];
    parsed.cmdline = printable(fields[4]);
    parsed.rc = readReturnCode(fields[5]);
    entry = parsed;
    return true;
}

void CVornServer::getLog(std::vector<SVornLogEntry>& entries) const {
    std::string path;
    if (!getLogFilePath(path))
        throw new CZAFLogException(eReasonNoLogFile);

    try {
        // The log's path comes from the user's configuration: never wait on what is no file.
        std::unique_ptr<CZAFFile> file(CZAFFileManager::openUserFile(
            path, eFileOpenRead, eFileTypeText, eUserFileFollowLinks));
        auto* text = dynamic_cast<CZAFTextFile*>(file.get());
        ZAF_ASSERT_TAG(kTag, text != nullptr);
        entries.clear();
        std::string line;
        while (text->readLine(line, kMaxLogLineLength)) {
            SVornLogEntry entry;
            if (!gParseVornLogLine(line, entry)) {
                ZAF_LOG_ERROR("Invalid log line format:" << printable(line));
                throw new CZAFLogException(eReasonLogLineFormat);
            }
            entries.push_back(entry);
        }
    } catch (CZAFLogException*) {
        throw;
    } catch (CZAFException* e) {
        gRethrowAs<CZAFLogException>(e);
    }
}

} // namespace oozaf
