// cfgpart: one layer of configuration: typed values per operation and command aliases.
#include "cfgpart_internal.h"

#include <oozaf/cfgpart.h>
#include <oozaf/filemanager.h>
#include <oozaf/logger.h>
#include <oozaf/nametables.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace oozaf {

namespace {

const char* const kTag = "vornserverconf";
// Question keeps its equal values apart until it holds this many; see putValue.
const std::size_t kQuestionCheckCount = 5;

using CValueGuard = std::unique_ptr<const CValue>;

[[noreturn]] void throwParsing(eReason reason, const std::string& info) {
    auto* e = new CZAFPropertiesParsingException(reason);
    e->setInfo(info);
    throw e;
}

// Wraps a caught throwable as the cause of a parse failure with reason 300.
[[noreturn]] void throwParsingCause(CZAFThrowable* cause, const std::string& info) {
    std::unique_ptr<CZAFPropertiesParsingException> e(
        gWrapCause<CZAFPropertiesParsingException>(cause));
    e->setInfo(info);
    throw e.release();
}

// The integer of the text's leading decimal digits, as atoi reads them, but limited to the range
// of int instead of wrapping around.
int leadingInteger(const std::string& text) {
    errno = 0;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// The directory that must exist for a log file: a bare name lives in the working directory and
// a name directly under the root in "/".
std::string logDirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return CZAFFileManager::getFilenamePath(path);
}

bool hasUnquotedColon(const std::string& text) {
    bool quoted = false;
    for (char c : text) {
        if (c == '"')
            quoted = !quoted;
        else if (c == ':' && !quoted)
            return true;
    }
    return false;
}

} // namespace

eZAFOp gCachedOpFromDirective(const std::string& directive) {
    static const std::size_t kLimit = 4096;
    thread_local std::unordered_map<std::string, eZAFOp> cache;
    auto found = cache.find(directive);
    if (found != cache.end())
        return found->second;
    const eZAFOp op = gOpFromDirective(directive);
    if (cache.size() < kLimit)
        cache.emplace(directive, op);
    return op;
}

std::string gSettingNameFromOp(eZAFOp op) {
    const SZAFOpStruct* row = _gGetOpStruct(op);
    if (row == nullptr)
        return std::to_string(static_cast<int>(op));
    if (row->directive != nullptr)
        return row->directive;
    if (row->envVar != nullptr)
        return row->envVar;
    return row->name;
}

CVornServerCfgPart::CVornServerCfgPart(CVornServerCfg* owner) : m_owner(owner) {}

CVornServerCfgPart::~CVornServerCfgPart() { clear(); }

void CVornServerCfgPart::processKeyValue(const std::string& directive, const std::string& value) {
    eZAFOp op;
    try {
        op = gCachedOpFromDirective(directive);
    } catch (CZAFNoSuchDirectiveError* e) {
        throwParsingCause(e, "Unknown directive '" + directive + "'");
    }
    processOp(op, value);
}

void CVornServerCfgPart::processOp(eZAFOp op, const std::string& value) {
    const std::string name = gSettingNameFromOp(op);
    if (op == eZAFOpInclude1 || op == eZAFOpInclude2)
        throwParsing(eReasonIncludeFormat,
                     "'" + name + "' names a file to read, written as: " + name + " <file>");
    if (op != eZAFOpAlias) {
        // Rows without a value type stand for commands; a configuration source that names one
        // is at fault, not the program.
        const SZAFOpStruct* row = _gGetOpStruct(op);
        if (row != nullptr && row->argType == eArgTypeNone)
            throwParsing(eReasonParse, "Directive '" + name + "' does not take a value");
        if (isOneToOne(op) && m_values.count(op) != 0)
            throwParsing(eReasonParse, "Directive '" + name +
                                           "' appears more than once in the configuration file");
    }

    std::string text(value);
    if (op == eZAFOpQuestion && text == "\"\"") {
        // The empty question keeps its two quotes.
    } else if (op == eZAFOpAlias && hasUnquotedColon(text)) {
        // Code and target are quoted each on its own ("-a b":"c d"); stripping the first and the
        // last quote would tear both apart. parseAliasSrcTarget unquotes each side.
    } else {
        CZAFUtil::unquote(text);
    }

    if (op == eZAFOpAlias) {
        std::string source;
        std::string target;
        parseAliasSrcTarget(text, source, target);
        addAlias(source, target);
        return;
    }

    const int32_t type = gCfgArgTypeFromOp(op);
    CValueGuard parsed;
    if (type & eArgTypeBool) {
        try {
            parsed.reset(new CBoolValue(gBoolFromString(text)));
        } catch (CZAFNoSuchBooleanError* e) {
            throwParsingCause(e, "Invalid value for directive '" + name + "': " + text);
        }
    } else if (type & eArgTypeInt) {
        if (!CZAFUtil::isInteger(text))
            throwParsing(eReasonParse, "Non-numeric value: " + text);
        parsed.reset(new CIntValue(leadingInteger(text)));
    } else if (type & eArgTypeEnum) {
        int enumValue = 0;
        if (!gArgToEnum(op, text, enumValue))
            throwParsing(eReasonParse, "Invalid value for directive '" + name + "': " + text);
        parsed.reset(new CIntValue(enumValue));
    } else if (type & eArgTypeDate) {
        ZAF_FAIL_TAG(kTag);
    } else if (type & (eArgTypeString | eArgTypeKeyID)) {
        if ((type & eArgTypeKeyID) && !CZAFUtil::checkValidKeyID(text))
            throwParsing(eReasonKeyIDFormat, "Directive '" + name + "': " + text);
        parsed.reset(new CStringValue(text));
    } else {
        ZAF_LOG_ERROR("Internal error: Unrecognized argument type encountered: " << type);
        ZAF_FAIL_TAG(kTag);
    }
    putValue(op, parsed.release());
}

const CValueList* CVornServerCfgPart::getValues(eZAFOp op) const {
    auto found = m_values.find(op);
    return found == m_values.end() ? nullptr : &found->second;
}

const CValue* CVornServerCfgPart::getValue(eZAFOp op) const {
    ZAF_ASSERT_TAG(kTag, isOneToOne(op));
    auto found = m_values.find(op);
    if (found == m_values.end())
        return nullptr;
    ZAF_ASSERT_TAG(kTag, found->second.size() == 1);
    return found->second.front();
}

bool CVornServerCfgPart::getValue(eZAFOp op, bool& out) const {
    const CValue* value = getValue(op);
    if (value == nullptr)
        return false;
    const auto* typed = dynamic_cast<const CBoolValue*>(value);
    ZAF_ASSERT_TAG(kTag, typed != nullptr);
    out = *typed;
    return true;
}

bool CVornServerCfgPart::getValue(eZAFOp op, std::string& out) const {
    const CValue* value = getValue(op);
    if (value == nullptr)
        return false;
    const auto* typed = dynamic_cast<const CStringValue*>(value);
    ZAF_ASSERT_TAG(kTag, typed != nullptr);
    out = *typed;
    return true;
}

bool CVornServerCfgPart::getValue(eZAFOp op, int& out) const {
    const CValue* value = getValue(op);
    if (value == nullptr)
        return false;
    const auto* typed = dynamic_cast<const CIntValue*>(value);
    ZAF_ASSERT_TAG(kTag, typed != nullptr);
    out = *typed;
    return true;
}

bool CVornServerCfgPart::getValue(eZAFOp op, CZAFTime& out) const {
    const CValue* value = getValue(op);
    if (value == nullptr)
        return false;
    const auto* typed = dynamic_cast<const CTimeValue*>(value);
    ZAF_ASSERT_TAG(kTag, typed != nullptr);
    out = *typed;
    return true;
}

void CVornServerCfgPart::putValue(eZAFOp op, const CValue* value) {
    CValueGuard owned(value);
    ZAF_ASSERT_TAG(kTag, value != nullptr);
    if (isOneToOne(op)) {
        CValueList& list = m_values[op];
        for (const CValue* old : list)
            delete old;
        list.clear();
        list.push_back(owned.release());
        return;
    }
    CValueList& list = m_values[op];
    const bool checkEqual = op != eZAFOpQuestion || list.size() == kQuestionCheckCount;
    if (checkEqual && gSearchList(list, value) != list.end())
        return;
    list.push_back(owned.release());
}

void CVornServerCfgPart::putValue(eZAFOp op, bool value) { putValue(op, new CBoolValue(value)); }

void CVornServerCfgPart::putValue(eZAFOp op, const std::string& value) {
    putValue(op, new CStringValue(value));
}

void CVornServerCfgPart::putValue(eZAFOp op, const char* value) {
    putValue(op, new CStringValue(value));
}

void CVornServerCfgPart::putValue(eZAFOp op, int value) { putValue(op, new CIntValue(value)); }

void CVornServerCfgPart::putValue(eZAFOp op, const CZAFTime& value) {
    putValue(op, new CTimeValue(value));
}

bool CVornServerCfgPart::clearValue(eZAFOp op) {
    auto found = m_values.find(op);
    if (found == m_values.end())
        return false;
    for (const CValue* value : found->second)
        delete value;
    m_values.erase(found);
    return true;
}

bool CVornServerCfgPart::clearValue(eZAFOp op, const CValue*& value) {
    auto found = m_values.find(op);
    if (found == m_values.end() || value == nullptr)
        return false;
    CValueList& list = found->second;
    auto pos = gSearchList(list, value);
    if (pos == list.end())
        return false;
    const CValue* removed = *pos;
    list.erase(pos);
    if (value == removed)
        value = nullptr;
    delete removed;
    if (list.empty())
        m_values.erase(found);
    return true;
}

bool CVornServerCfgPart::replaceValue(eZAFOp op, const CValue*& value, const std::string& text) {
    auto found = m_values.find(op);
    if (found == m_values.end() || value == nullptr)
        return false;
    CValueList& list = found->second;
    auto pos = gSearchList(list, value);
    if (pos == list.end())
        return false;
    const CValue* replaced = *pos;
    *pos = new CStringValue(text);
    if (value == replaced)
        value = *pos;
    delete replaced;
    return true;
}

bool CVornServerCfgPart::getAliasTarget(const std::string& source, std::string& target) const {
    auto found = m_aliases.find(source);
    if (found == m_aliases.end())
        return false;
    target = found->second;
    return true;
}

void CVornServerCfgPart::addAlias(const std::string& source, const std::string& target) {
    ZAF_ASSERT_TAG(kTag, !source.empty());
    for (unsigned int i = 0; i < gCLLongOptionsCount(); ++i) {
        // Texts of different lengths never match; checking that first keeps long alias lists
        // from lower-casing every switch for every alias.
        if (std::strlen(CLLongOptions[i]) == source.size() &&
            CZAFUtil::compareIgnoreCase(source, CLLongOptions[i]))
            throwParsing(eReasonAliasReserved, "Alias code: " + source);
    }
    if (source[0] != '-')
        throwParsing(eReasonAliasCode, "Alias code: " + source);
    m_aliases[source] = target;
}

bool CVornServerCfgPart::clearAlias(const std::string& source) {
    return m_aliases.erase(source) != 0;
}

void CVornServerCfgPart::parseAliasSrcTarget(const std::string& text, std::string& source,
                                             std::string& target) {
    // Alias texts also arrive from consoles, not only through the file reader's checks, so a
    // malformed one is the sender's fault rather than the program's.
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0)
        throwParsing(eReasonAliasFormat, "Alias definition: " + text);
    source = text.substr(0, colon);
    target = text.substr(colon + 1);
    CZAFUtil::unquote(source);
    CZAFUtil::unquote(target);
}

void CVornServerCfgPart::merge(const CVornServerCfgPart& other) {
    if (&other == this)
        return;
    for (const auto& alias : other.m_aliases)
        m_aliases[alias.first] = alias.second;
    for (const auto& entry : other.m_values) {
        for (const CValue* value : entry.second)
            putValue(entry.first, value->duplicate());
    }
}

void CVornServerCfgPart::clear() {
    for (auto& entry : m_values) {
        for (const CValue* value : entry.second)
            delete value;
    }
    m_values.clear();
    m_aliases.clear();
}

bool CVornServerCfgPart::isOneToOne(eZAFOp op) {
    return (gCfgArgTypeFromOp(op) & eArgTypeMulti) == 0;
}

bool CVornServerCfgPart::ValValues() {
    if (const CValueList* logs = getValues(eZAFOpLogFile)) {
        ZAF_ASSERT_TAG(kTag, !logs->empty());
        const std::string path = logs->front()->stringValue(eZAFOpLogFile);
        if (CZAFFileManager::isDirectory(path, false))
            throw new CZAFPropertiesParsingException(eReasonIsADirectory, path);
        if (!CZAFFileManager::isDirectory(logDirectoryOf(path), true))
            throw new CZAFPropertiesParsingException(eReasonNotADirectory, path);
    }
    if (const CValueList* tmps = getValues(eZAFOpTmp)) {
        ZAF_ASSERT_TAG(kTag, !tmps->empty());
        const std::string path = tmps->front()->stringValue(eZAFOpTmp);
        if (!CZAFFileManager::isDirectory(path, true))
            throw new CZAFPropertiesParsingException(eReasonNotADirectory, path);
    }
    return true;
}

bool CVornServerCfgPart::getOpPos(eZAFOp op, CConfigurationMap::const_iterator& pos) const {
    auto found = m_values.find(op);
    if (found == m_values.end())
        return false;
    pos = found;
    return true;
}

bool CVornServerCfgPart::getOpPos(eZAFOp op, CConfigurationMap::iterator& pos) {
    auto found = m_values.find(op);
    if (found == m_values.end())
        return false;
    pos = found;
    return true;
}

bool CVornServerCfgPart::isEqualTo(const CVornServerCfgPart& other) const {
    if (m_aliases != other.m_aliases || m_values.size() != other.m_values.size())
        return false;
    auto mine = m_values.begin();
    auto theirs = other.m_values.begin();
    for (; mine != m_values.end(); ++mine, ++theirs) {
        if (mine->first != theirs->first || mine->second.size() != theirs->second.size())
            return false;
        auto a = mine->second.begin();
        auto b = theirs->second.begin();
        for (; a != mine->second.end(); ++a, ++b) {
            if (**a != **b)
                return false;
        }
    }
    return true;
}

std::ostream& operator<<(std::ostream& out, const CVornServerCfgPart& part) {
    out << "Values:\n-------\n\n";
    for (const auto& entry : part.m_values) {
        for (const CValue* value : entry.second)
            out << gSettingNameFromOp(entry.first) << " -> " << value->stringValue() << "\n";
    }
    out << "\nAliases:\n--------\n\n";
    for (const auto& alias : part.m_aliases)
        out << alias.first << " -> " << alias.second << "\n";
    return out;
}

} // namespace oozaf
