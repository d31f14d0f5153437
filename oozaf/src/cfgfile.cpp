// cfgfile: reading, writing and updating configuration files.
#include "cfgpart_internal.h"
#include "file_internal.h"

#include <oozaf/cfgfile.h>
#include <oozaf/filemanager.h>
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace oozaf {

namespace {

const char* const kTag = "vornserverconf";
using CFileGuard = std::unique_ptr<CZAFFile>;

[[noreturn]] void throwParsing(eReason reason, const std::string& info) {
    auto* e = new CZAFPropertiesParsingException(reason);
    e->setInfo(info);
    throw e;
}

[[noreturn]] void throwPathParsing(const std::string& path, const std::string& info) {
    auto* e = new CZAFPropertiesParsingException(eReasonParse, path);
    e->setInfo(info);
    throw e;
}

bool hasBlankTabOrEquals(const std::string& text) {
    return text.find_first_of(" \t=") != std::string::npos;
}

// Words of ALIAS and Include lines lose their quotes when the line is split; these must get them
// back, or the rest of the preparation would strip their white space or split at their "=".
bool needsRequoting(const std::string& word) {
    return std::any_of(word.begin(), word.end(), [](char c) {
        return c == '=' || std::isspace(static_cast<unsigned char>(c)) != 0;
    });
}

void splitWords(const std::string& line, std::vector<std::string>& words) {
    CZAFUtil::delimParse(line, " \t", true, words);
}

// The text that processOp stores for a raw value: one pair of enclosing quotes removed, except
// for the Question text that is exactly two quotes (an empty question).
std::string storedText(eZAFOp op, std::string value) {
    if (!(op == eZAFOpQuestion && value == "\"\""))
        CZAFUtil::unquote(value);
    return value;
}

// Reads the alias part of a prepared ALIAS line the way the part stores it.
bool decodeAlias(const std::string& value, std::string& source, std::string& target) {
    CVornServerCfgPart probe(nullptr);
    try {
        probe.processOp(eZAFOpAlias, value);
    } catch (CZAFPropertiesParsingException* e) {
        delete e;
        return false;
    }
    if (probe.getAliases().size() != 1)
        return false;
    source = probe.getAliases().begin()->first;
    target = probe.getAliases().begin()->second;
    return true;
}

std::string canonicalName(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return path;
    std::string name(resolved);
    free(resolved);
    return name;
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Runs a line through the reader's preparation; false when it is refused or comes out empty.
bool prepareQuietly(CVornServerCfgFile& reader, const std::string& line, std::string& prepared) {
    prepared = line;
    try {
        reader.preProcessLine(prepared);
    } catch (CZAFPropertiesParsingException* e) {
        delete e;
        return false;
    }
    return !prepared.empty();
}

[[noreturn]] void throwUnwritable(const std::string& what, const std::string& text) {
    const eReason reason =
        text.find('"') != std::string::npos ? eReasonQuotePlacement : eReasonParse;
    throwParsing(reason, what + " cannot be written to a configuration file: " + text);
}

// The form in which `text` is written as the value of `op`, chosen so that the reader gives back
// exactly `text`: quoted when it holds a blank, a tab or "=", otherwise as it is, and the other
// choice when the first one would not read back.
std::string encodeValue(CVornServerCfgFile& reader, eZAFOp op, const std::string& directive,
                        const std::string& text) {
    if (op == eZAFOpQuestion && text.empty())
        return "\"\"";
    if (text.find('\n') == std::string::npos) {
        std::string quoted(text);
        CZAFUtil::quote(quoted);
        const bool quoteFirst = hasBlankTabOrEquals(text);
        for (const std::string* candidate :
             {quoteFirst ? &quoted : &text, quoteFirst ? &text : &quoted}) {
            std::string prepared;
            if (!prepareQuietly(reader, directive + "=" + *candidate, prepared))
                continue;
            const std::size_t equals = prepared.find('=');
            if (prepared.compare(0, equals, directive) == 0 &&
                storedText(op, prepared.substr(equals + 1)) == text)
                return *candidate;
        }
    }
    throwUnwritable("The value of '" + directive + "'", text);
}

// The ALIAS line for one alias, checked to read back as the same code and target.
std::string encodeAlias(CVornServerCfgFile& reader, const std::string& source,
                        const std::string& target) {
    if (source.find('\n') == std::string::npos && target.find('\n') == std::string::npos) {
        for (bool quoteBoth : {false, true}) {
            std::string code(source);
            std::string text(target);
            if (quoteBoth || hasBlankTabOrEquals(code))
                CZAFUtil::quote(code);
            if (quoteBoth || hasBlankTabOrEquals(text))
                CZAFUtil::quote(text);
            const std::string line = "ALIAS " + code + " " + text;
            std::string prepared;
            if (!prepareQuietly(reader, line, prepared) || prepared.compare(0, 6, "ALIAS=") != 0)
                continue;
            std::string readSource;
            std::string readTarget;
            if (decodeAlias(prepared.substr(6), readSource, readTarget) && readSource == source &&
                readTarget == target)
                return line;
        }
    }
    throwUnwritable("The alias '" + source + "'", target);
}

// Appends the lines that write() produces for `part`.
void formatPart(CVornServerCfgFile& reader, const CVornServerCfgPart& part,
                std::vector<std::string>& lines) {
    for (const auto& alias : part.getAliases())
        lines.push_back(encodeAlias(reader, alias.first, alias.second));
    for (const auto& entry : part.getConfigurationMap()) {
        const std::string directive = gDirectiveFromOp(entry.first);
        for (const CValue* value : entry.second)
            lines.push_back(
                directive + "=" +
                encodeValue(reader, entry.first, directive, value->stringValue(entry.first)));
    }
}

// An empty question is written, and so read back, as two double quotes.
void markEmptyQuestions(CVornServerCfgPart& part) {
    const CStringValue empty("");
    for (;;) {
        const CValue* found = &empty;
        if (!part.replaceValue(eZAFOpQuestion, found, "\"\""))
            return;
    }
}

// Keeps one file of the include chain registered while it is read.
class CChainEntry final {
public:
    CChainEntry(std::vector<std::string>& chain, const std::string& name) : m_chain(chain) {
        m_chain.push_back(name);
    }
    ~CChainEntry() { m_chain.pop_back(); }
    CChainEntry(const CChainEntry&) = delete;
    CChainEntry& operator=(const CChainEntry&) = delete;

private:
    std::vector<std::string>& m_chain;
};

// Removes a temporary file unless it was put in place.
class CTempFile final {
public:
    explicit CTempFile(const std::string& name) : m_name(name) {}
    ~CTempFile() {
        if (!m_kept && remove(m_name.c_str()) != 0)
            ZAF_LOG_WARNING("WARNING: Could not remove temporary file '" << m_name << "'");
    }
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;
    void keep() { m_kept = true; }
    const std::string& getName() const { return m_name; }

private:
    std::string m_name;
    bool m_kept = false;
};

// A new empty file "zaftemp.$XXXXXX" in `directory`, readable by its owner only.
std::string makeTempFile(const std::string& directory) {
    std::string name = directory + "/zaftemp.$XXXXXX";
    const int fd = mkstemp(&name[0]);
    if (fd < 0)
        gThrowWithErrno<CZAFFileAccessException>(name);
    close(fd);
    return name;
}

// Gives `temp` the permission bits (and, where allowed, the owner) of `original`.
void copyPermissions(const std::string& original, const std::string& temp) {
    struct stat info {};
    if (stat(original.c_str(), &info) != 0)
        gThrowWithErrno<CZAFFileAccessException>(original);
    if (chmod(temp.c_str(), info.st_mode & 07777) != 0)
        gThrowWithErrno<CZAFFileAccessException>(temp);
    struct stat created {};
    if (stat(temp.c_str(), &created) == 0 &&
        (created.st_uid != info.st_uid || created.st_gid != info.st_gid) &&
        chown(temp.c_str(), info.st_uid, info.st_gid) != 0)
        ZAF_LOG_WARNING("WARNING: Could not keep the owner of '" << original << "'");
}

// Opens a configuration file for reading without ever waiting for another process: a FIFO, a
// device or a folder is refused at once, and so is a file above the size bound; the null device
// reads as an empty file ("Include /dev/null"). Links are followed: a user's file may be a link
// to where they keep it (update() keeps such a link).
CZAFTextFile* openToRead(const std::string& path) {
    return static_cast<CZAFTextFile*>(CZAFFileManager::openUserFile(
        path, eFileOpenRead, eFileTypeText, eUserFileFollowLinks | eUserFileNullIsEmpty,
        CVornServerCfgFile::kMaxFileSize));
}

} // namespace

CVornServerCfgFile::CVornServerCfgFile(bool followIncludes) : m_followIncludes(followIncludes) {}

void CVornServerCfgFile::read(const std::string& path, CVornServerCfgPart& part, bool flag) {
    try {
        CFileGuard file(openToRead(path));
        read(static_cast<CZAFTextFile*>(file.get()), part, flag);
    } catch (CZAFFileException* e) {
        gRethrowAs<CZAFPropertiesIOException>(e);
    }
}

void CVornServerCfgFile::read(CZAFTextFile* file, CVornServerCfgPart& part, bool flag) {
    ZAF_ASSERT_TAG(kTag, file != nullptr);
    const std::string name = canonicalName(file->getFilename());
    if (std::find(m_includeChain.begin(), m_includeChain.end(), name) != m_includeChain.end())
        throwPathParsing(file->getFilename(),
                         "The file is already being read; include loops are not allowed");
    if (m_includeChain.size() > kMaxIncludeDepth)
        throwPathParsing(file->getFilename(), "Include files are nested more than " +
                                                  std::to_string(kMaxIncludeDepth) +
                                                  " levels deep");
    std::vector<std::string> lines;
    readLines(file, lines);
    CChainEntry entry(m_includeChain, name);
    read(lines, part, flag);
}

void CVornServerCfgFile::read(const std::vector<std::string>& lines, CVornServerCfgPart& part,
                              bool flag) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        try {
            processLine(lines[i], part, flag);
        } catch (CZAFPropertiesParsingException* e) {
            e->setLineNumber(static_cast<unsigned int>(i + 1));
            throw;
        }
    }
}

void CVornServerCfgFile::readText(const std::string& text, CVornServerCfgPart& part, bool flag) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    read(lines, part, flag);
}

void CVornServerCfgFile::readLines(CZAFTextFile* file, std::vector<std::string>& lines) {
    std::size_t budget = kMaxFileSize;
    std::string line;
    while (file->readLine(line, budget)) {
        if (line.size() + 1 > budget || lines.size() >= kMaxLines)
            throw new CZAFFileReadException(file->getFilename(), EFBIG);
        budget -= line.size() + 1;
        lines.push_back(line);
    }
}

void CVornServerCfgFile::processLine(const std::string& line, CVornServerCfgPart& part, bool flag) {
    std::string prepared(line);
    preProcessLine(prepared);
    if (prepared.empty())
        return;
    const std::size_t equals = prepared.find('=');
    const std::string name = prepared.substr(0, equals);
    std::string value = prepared.substr(equals + 1);
    if (CZAFUtil::compareIgnoreCase(name, "Include") ||
        CZAFUtil::compareIgnoreCase(name, "source")) {
        if (!m_followIncludes)
            return;
        CZAFUtil::unquote(value);
        include(value, part, flag);
        return;
    }
    part.processKeyValue(name, value);
}

void CVornServerCfgFile::include(const std::string& path, CVornServerCfgPart& part, bool flag) {
    // Devices and FIFOs are read like files ("Include /dev/null" is an empty file); the open
    // never waits for them and the size bound ends one that never ends. A path that cannot be
    // examined is left to the open, which reports it as an I/O error.
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        throwPathParsing(path, "An included file must not be a directory");
    read(path, part, flag);
}

void CVornServerCfgFile::preProcessLine(std::string& line) {
    // Lines arrive without their line feed; the carriage return of a CRLF end is part of that
    // end, not of the last word (an Include path or an ALIAS target would keep it otherwise).
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    CZAFUtil::trimString(line);
    CZAFUtil::cropUnquotedComment(line, '#');
    // Blanks before a comment are trailing white space as well: "Armor= # later" is a directive
    // with an empty value, which is ignored like "Armor=".
    CZAFUtil::trimString(line);
    normalizeLine(line);
    checkLine(line);
}

void CVornServerCfgFile::normalizeLine(std::string& line) {
    if (line.empty())
        return;
    std::vector<std::string> words;
    if (CZAFUtil::beginsWithIgnoreCase(line, "Alias")) {
        splitWords(line, words);
        if (words.size() != 3)
            throwParsing(eReasonAliasFormat, "Expected: ALIAS <code> <target>");
        for (std::size_t i = 1; i < 3; ++i) {
            if (needsRequoting(words[i]))
                CZAFUtil::quote(words[i]);
        }
        line = "ALIAS=" + words[1] + ":" + words[2];
    } else if (CZAFUtil::beginsWithIgnoreCase(line, "Include") ||
               CZAFUtil::beginsWithIgnoreCase(line, "source")) {
        splitWords(line, words);
        if (words.size() != 2)
            throwParsing(eReasonIncludeFormat, "Expected: " + words.front() + " <file>");
        if (needsRequoting(words[1]))
            CZAFUtil::quote(words[1]);
        line = words[0] + "=" + words[1];
    } else {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            line += "=On";
        } else if (equals + 1 == line.size()) {
            line.clear();
            return;
        }
    }
    CZAFUtil::removeUnquotedWS(line);
}

void CVornServerCfgFile::checkLine(const std::string& line) const {
    if (line.empty())
        return;
    std::size_t quotes = 0;
    std::size_t delimiters = 0;
    std::size_t position = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            ++quotes;
        } else if (line[i] == '=' && quotes % 2 == 0) {
            if (delimiters++ == 0)
                position = i;
        }
    }
    if (delimiters == 0)
        throw new CZAFPropertiesParsingException(eReasonNoDelimiter);
    if (delimiters > 1)
        throw new CZAFPropertiesParsingException(eReasonTooManyDelimiters);
    if (position == 0)
        throw new CZAFPropertiesParsingException(eReasonNameMissing);
    if (position + 1 == line.size())
        throw new CZAFPropertiesParsingException(eReasonValueMissing);
    if (quotes % 2 != 0)
        throw new CZAFPropertiesParsingException(eReasonQuoteMismatch);
}

void CVornServerCfgFile::write(const std::string& path, bool append,
                               const CVornServerCfgPart& part) {
    // Every line is formed first, so a value that cannot be written leaves the file untouched.
    std::vector<std::string> lines;
    formatPart(*this, part, lines);
    try {
        const int mode =
            append ? eFileOpenAppend : (eFileOpenWrite | eFileOpenCreate | eFileOpenTruncate);
        CFileGuard file(
            CZAFFileManager::openUserFile(path, mode, eFileTypeText, eUserFileFollowLinks));
        auto* text = static_cast<CZAFTextFile*>(file.get());
        if (text->getSize() > 0)
            text->writeLine("");
        for (const std::string& line : lines)
            text->writeLine(line);
        // Closing would drop a failure to flush the last block; this reports it.
        text->sync();
    } catch (CZAFFileException* e) {
        gRethrowAs<CZAFPropertiesIOException>(e);
    }
}

void CVornServerCfgFile::write(CZAFTextFile* file, const CVornServerCfgPart& part) {
    ZAF_ASSERT_TAG(kTag, file != nullptr);
    std::vector<std::string> lines;
    formatPart(*this, part, lines);
    for (const std::string& line : lines)
        file->writeLine(line);
}

void CVornServerCfgFile::update(const std::string& path, const CVornServerCfgPart& part) {
    // The settings still to be placed; what is left at the end is appended.
    CVornServerCfgPart working(nullptr);
    working.merge(part);

    std::vector<std::string> lines;
    try {
        // Read and write access, as the old file would be rewritten in place: a file the caller
        // may not write is refused, and a missing one is created.
        CFileGuard file(CZAFFileManager::openUserFile(path, eFileOpenRead | eFileOpenWrite,
                                                      eFileTypeText, eUserFileFollowLinks,
                                                      kMaxFileSize));
        readLines(static_cast<CZAFTextFile*>(file.get()), lines);
    } catch (CZAFFileException* e) {
        gRethrowAs<CZAFPropertiesIOException>(e);
    }

    for (std::size_t i = 0; i < lines.size(); ++i) {
        try {
            std::string prepared(lines[i]);
            preProcessLine(prepared);
            if (prepared.empty())
                continue;
            const std::size_t equals = prepared.find('=');
            const std::string value = prepared.substr(equals + 1);
            eZAFOp op;
            try {
                op = gCachedOpFromDirective(prepared.substr(0, equals));
            } catch (CZAFNoSuchDirectiveError* e) {
                gRethrowAs<CZAFPropertiesParsingException>(e);
            }
            if (op == eZAFOpInclude1 || op == eZAFOpInclude2)
                continue;
            bool keep = false;
            if (op == eZAFOpAlias) {
                std::string source;
                std::string target;
                std::string wanted;
                if (!decodeAlias(value, source, target))
                    CVornServerCfgPart::parseAliasSrcTarget(value, source, target);
                if (working.getAliasTarget(source, wanted)) {
                    // A different target stays to be appended, where it overrides this line.
                    keep = true;
                    if (wanted == target)
                        working.clearAlias(source);
                }
            } else if (const CValueList* values = working.getValues(op)) {
                const CValue* first = values->front();
                const std::string encoded =
                    encodeValue(*this, op, gDirectiveFromOp(op), first->stringValue(op));
                // Texts and key IDs are kept only when they are the same to the letter; names,
                // numbers and booleans read the same in any case.
                const bool exact = (gCfgArgTypeFromOp(op) & (eArgTypeString | eArgTypeKeyID)) != 0;
                keep = exact ? encoded == value : CZAFUtil::compareIgnoreCase(encoded, value);
                if (keep)
                    working.clearValue(op, first);
            }
            if (!keep)
                lines[i].insert(0, "#");
        } catch (CZAFPropertiesParsingException* e) {
            e->setLineNumber(static_cast<unsigned int>(i + 1));
            throw;
        }
    }

    working.ValValues();
    formatPart(*this, working, lines);

    CVornServerCfgPart expected(nullptr);
    expected.merge(part);
    markEmptyQuestions(expected);

    const std::string target = canonicalName(path);
    try {
        CTempFile temp(makeTempFile(directoryOf(target)));
        {
            CFileGuard file(CZAFFileManager::open(
                temp.getName(), eFileOpenWrite | eFileOpenCreate | eFileOpenTruncate,
                eFileTypeText));
            auto* text = static_cast<CZAFTextFile*>(file.get());
            for (const std::string& line : lines)
                text->writeLine(line);
            text->sync();
        }
        copyPermissions(target, temp.getName());

        // The new file must hold exactly the given settings and must still read as a whole.
        CVornServerCfgPart own(nullptr);
        CVornServerCfgFile(false).read(temp.getName(), own, false);
        if (!own.isEqualTo(expected))
            throwPathParsing(path, "The updated file would not read back as the given settings");
        if (m_followIncludes) {
            CVornServerCfgPart whole(nullptr);
            CVornServerCfgFile(true).read(temp.getName(), whole, false);
        }

        replaceFile(temp.getName(), target);
        temp.keep();
    } catch (CZAFFileException* e) {
        gRethrowAs<CZAFPropertiesIOException>(e);
    }
}

void CVornServerCfgFile::replaceFile(const std::string& temp, const std::string& target) {
    if (rename(temp.c_str(), target.c_str()) != 0)
        gThrowWithErrno<CZAFFileAccessException>(target);
    // The rename itself reaches the disk with the folder's entry; without this a crash could
    // bring back the old file after the caller was told of success.
    const int fd = ::open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

} // namespace oozaf
