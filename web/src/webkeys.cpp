// webkeys: key lists read from keys summaries.
#include "webkeys.h"

#include "webhttp.h"

#include <adminclient.h>
#include <adminpull.h>
#include <algorithm>
#include <cctype>
#include <openssl/evp.h>
#include <set>
#include <stdexcept>

namespace vornweb {

using vornadmin::CXmlPullReader;
using vornadmin::SXmlElement;

namespace {

// Flags of a row, one letter each.
std::string flags(const SXmlElement& key) {
    std::string out;
    const std::pair<const char*, char> letters[] = {{"revoked", 'r'},
                                                    {"expired", 'e'},
                                                    {"disabled", 'd'},
                                                    {"secret", 's'},
                                                    {"hasphotoid", 'p'}};
    for (const auto& letter : letters)
        if (key.get(letter.first) == "yes")
            out += letter.second;
    return out;
}

// The first 16 bytes of the SHA-256 of `bytes`.
std::string digestOf(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return std::string(reinterpret_cast<const char*>(digest), 16);
}

std::string hex(const std::string& bytes) {
    static const char* const kHex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string digitsOf(const std::string& id) {
    std::string digits = upper(id);
    if (digits.rfind("0X", 0) == 0)
        digits.erase(0, 2);
    return digits;
}

// Every key ID a key's element names: signers, revokers, ADKs.
void namedKeys(const SXmlElement& element, std::set<std::string>& ids) {
    for (const auto& attribute : element.attributes)
        if ((attribute.first == "signer-id" && element.name == "signature") ||
            (attribute.first == "id" && (element.name == "revoker" || element.name == "adk")))
            ids.insert(attribute.second);
    for (const SXmlElement& child : element.children)
        namedKeys(child, ids);
}

SKeyEntry entryOf(const SXmlElement& key) {
    SKeyEntry entry;
    entry.id = key.get("id");
    entry.idfull = key.get("idfull", entry.id);
    entry.fingerprint = upper(key.get("fingerprint"));
    entry.secret = key.get("secret") == "yes";
    std::string others;
    if (const SXmlElement* userids = key.child("userids")) {
        const SXmlElement* primary = nullptr;
        for (const SXmlElement* userid : userids->childrenNamed("userid"))
            if (primary == nullptr && userid->get("primary") == "yes")
                primary = userid;
        for (const SXmlElement* userid : userids->childrenNamed("userid")) {
            if (primary == nullptr)
                primary = userid;
            if (userid == primary)
                continue;
            if (!others.empty())
                others += '\n';
            others += userid->get("name");
        }
        if (primary != nullptr)
            entry.name = primary->get("name");
    }
    const std::string size = key.get("size");
    const bool numeric =
        !size.empty() && size.size() < 10 &&
        std::all_of(size.begin(), size.end(), [](char c) { return c >= '0' && c <= '9'; });
    entry.row = "[" + gJsonString(entry.id) + "," + gJsonString(entry.idfull) + "," +
                gJsonString(entry.fingerprint) + "," + gJsonString(entry.name) + "," +
                gJsonString(others) + "," + gJsonString(key.get("alg")) + "," +
                (numeric ? size : "0") + "," + gJsonString(key.get("creation-time")) + "," +
                gJsonString(key.get("expiration-time")) + "," + gJsonString(key.get("validity")) +
                "," + gJsonString(key.get("trust")) + "," + gJsonString(flags(key)) + "]";
    entry.detail = gElementToJson(key);
    std::set<std::string> named;
    namedKeys(key, named);
    entry.named.assign(named.begin(), named.end());
    return entry;
}

} // namespace

const char* gKeyRowColumns() {
    return "[\"id\",\"idfull\",\"fingerprint\",\"name\",\"otherNames\",\"alg\",\"size\","
           "\"created\",\"expires\",\"validity\",\"trust\",\"flags\"]";
}

std::string gNormalKeyID(const std::string& text) {
    if (text.size() > 128)
        return "";
    std::string digits;
    size_t start = 0;
    while (start < text.size() && text[start] == ' ')
        ++start;
    if (text.compare(start, 2, "0x") == 0 || text.compare(start, 2, "0X") == 0)
        start += 2;
    for (size_t i = start; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ' ' || c == ':')
            continue;
        if (!std::isxdigit(c))
            return "";
        digits += static_cast<char>(std::toupper(c));
    }
    const size_t n = digits.size();
    return n == 8 || n == 16 || n == 32 || n == 40 ? digits : "";
}

bool gKeyRanges(std::string_view xml, std::vector<std::pair<size_t, size_t>>& ranges) {
    ranges.clear();
    // The names of the open elements at depths 1 and 2 decide where keys are.
    std::string_view outer[3];
    size_t depth = 0;
    size_t keyStart = std::string_view::npos;
    size_t at = 0;
    bool first = true;
    for (;;) {
        const size_t open = xml.find('<', at);
        if (open == std::string_view::npos)
            break;
        if (open + 1 >= xml.size())
            return false;
        const char kind = xml[open + 1];
        if (kind == '?') { // the XML declaration, first of all
            const size_t end = xml.find("?>", open);
            if (!first || end == std::string_view::npos)
                return false;
            at = end + 2;
            first = false;
            continue;
        }
        first = false;
        if (kind == '!')
            return false;
        const bool closing = kind == '/';
        size_t p = open + (closing ? 2 : 1);
        const size_t nameStart = p;
        while (p < xml.size() && xml[p] != '>' && xml[p] != '/' &&
               std::string_view(" \t\r\n").find(xml[p]) == std::string_view::npos)
            ++p;
        const std::string_view name = xml.substr(nameStart, p - nameStart);
        if (name.empty())
            return false;
        char quote = 0;
        for (; p < xml.size(); ++p) {
            const char c = xml[p];
            if (quote != 0) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
        }
        if (p >= xml.size())
            return false;
        const size_t end = p + 1;
        const bool empty = !closing && xml[p - 1] == '/';
        at = end;
        if (closing) {
            if (depth == 0)
                return false;
            if (depth == 3 && keyStart != std::string_view::npos) {
                if (name != "key")
                    return false;
                ranges.emplace_back(keyStart, end);
                keyStart = std::string_view::npos;
            }
            --depth;
            continue;
        }
        ++depth;
        if (depth <= 2)
            outer[depth] = name;
        const bool isKey = depth == 3 && name == "key" && outer[2] == "keys";
        if (isKey && empty)
            ranges.emplace_back(open, end);
        else if (isKey)
            keyStart = open;
        if (empty)
            --depth;
    }
    return depth == 0 && !first;
}

std::shared_ptr<const CKeyList> CKeyList::read(const std::string& reply, const CKeyList* previous,
                                               SKeysRefusal& refusal) {
    using vornadmin::CAdminException;
    std::shared_ptr<CKeyList> list(new CKeyList());
    // The head (rc, error, the body's name) through the pull reader, which reads only the first
    // pieces of the reply for it.
    {
        CXmlPullReader head(vornadmin::gStringSource(reply, 4096));
        const vornadmin::SReplyHead start = vornadmin::gReadReplyHead(head);
        if (!start.ok()) {
            refusal.rc = start.rc;
            refusal.error = start.error;
            return nullptr;
        }
        if (!start.hasBody || start.body != "keys")
            throw new CAdminException("The listener's keys summary holds no keys");
    }
    std::string versionBytes;
    std::vector<std::pair<size_t, size_t>> ranges;
    if (gKeyRanges(reply, ranges)) {
        for (const auto& range : ranges) {
            const std::string_view bytes =
                std::string_view(reply).substr(range.first, range.second - range.first);
            std::string digest = digestOf(bytes);
            versionBytes += digest;
            if (previous != nullptr) {
                const auto known = previous->m_byDigest.find(digest);
                if (known != previous->m_byDigest.end()) {
                    list->m_keys.push_back(previous->m_keys[known->second]);
                    ++list->m_reused;
                    continue;
                }
            }
            const std::string text(bytes);
            CXmlPullReader reader(vornadmin::gStringSource(text));
            if (reader.next() != CXmlPullReader::eEvent::eStart || reader.name() != "key")
                throw new CAdminException("A key of the listener's keys summary cannot be read");
            auto entry = std::make_shared<SKeyEntry>(entryOf(reader.readElement()));
            if (reader.next() != CXmlPullReader::eEvent::eDone)
                throw new CAdminException("A key of the listener's keys summary cannot be read");
            entry->digest = std::move(digest);
            list->m_keys.push_back(std::move(entry));
        }
    } else {
        // Not what the listener writes: read it all with the pull reader.
        CXmlPullReader reader(vornadmin::gStringSource(reply));
        vornadmin::gReadReplyHead(reader);
        const unsigned int depth = reader.depth();
        for (;;) {
            const CXmlPullReader::eEvent event = reader.next();
            if (event == CXmlPullReader::eEvent::eDone ||
                (event == CXmlPullReader::eEvent::eEnd && reader.depth() == depth))
                break;
            if (event != CXmlPullReader::eEvent::eStart)
                continue;
            if (reader.name() != "key") {
                reader.skipElement();
                continue;
            }
            auto entry = std::make_shared<SKeyEntry>(entryOf(reader.readElement()));
            entry->digest = digestOf(entry->detail);
            versionBytes += entry->digest;
            list->m_keys.push_back(std::move(entry));
        }
        vornadmin::gFinishReply(reader);
    }
    list->m_version = hex(digestOf(versionBytes));
    list->index();
    return list;
}

void CKeyList::index() {
    for (size_t i = 0; i < m_keys.size(); ++i) {
        m_byShort.emplace(digitsOf(m_keys[i]->id), i);
        m_byLong.emplace(digitsOf(m_keys[i]->idfull), i);
        m_byFingerprint.emplace(m_keys[i]->fingerprint, i);
        m_byDigest.emplace(m_keys[i]->digest, i);
    }
}

const SKeyEntry* CKeyList::find(const std::string& id, bool* ambiguous) const {
    if (ambiguous != nullptr)
        *ambiguous = false;
    const std::string digits = gNormalKeyID(id);
    if (digits.size() == 16) {
        const auto it = m_byLong.find(digits);
        return it == m_byLong.end() ? nullptr : m_keys[it->second].get();
    }
    if (digits.size() == 32 || digits.size() == 40) {
        const auto it = m_byFingerprint.find(digits);
        return it == m_byFingerprint.end() ? nullptr : m_keys[it->second].get();
    }
    if (digits.size() != 8)
        return nullptr;
    const auto range = m_byShort.equal_range(digits);
    if (range.first == range.second)
        return nullptr;
    if (std::next(range.first) != range.second) {
        if (ambiguous != nullptr)
            *ambiguous = true;
        return nullptr;
    }
    return m_keys[range.first->second].get();
}

std::string CKeyList::listJson() const {
    std::string out = "{\"version\":" + gJsonString(m_version) +
                      ",\"columns\":" + gKeyRowColumns() + ",\"rows\":[";
    for (size_t i = 0; i < m_keys.size(); ++i) {
        if (i > 0)
            out += ',';
        out += m_keys[i]->row;
    }
    return out + "]}";
}

std::string CKeyList::changesJson(const CKeyList& older) const {
    std::string out = "{\"version\":" + gJsonString(m_version) +
                      ",\"since\":" + gJsonString(older.m_version) +
                      ",\"columns\":" + gKeyRowColumns() + ",\"rows\":[";
    bool first = true;
    for (const auto& entry : m_keys) {
        const auto it = older.m_byLong.find(digitsOf(entry->idfull));
        if (it != older.m_byLong.end() && older.m_keys[it->second]->row == entry->row)
            continue;
        if (!first)
            out += ',';
        first = false;
        out += entry->row;
    }
    out += "],\"removed\":[";
    first = true;
    for (const auto& entry : older.m_keys) {
        if (m_byLong.count(digitsOf(entry->idfull)) != 0)
            continue;
        if (!first)
            out += ',';
        first = false;
        out += gJsonString(entry->idfull);
    }
    return out + "]}";
}

std::string CKeyList::keyJson(const SKeyEntry& entry) const {
    std::string out =
        "{\"version\":" + gJsonString(m_version) + ",\"key\":" + entry.detail + ",\"names\":{";
    bool first = true;
    for (const std::string& id : entry.named) {
        bool ambiguous = false;
        const SKeyEntry* named = find(id, &ambiguous);
        if (named == nullptr && !ambiguous)
            continue;
        if (!first)
            out += ',';
        first = false;
        out += gJsonString(id) + ":" +
               gJsonString(ambiguous ? "(several keys have this ID)" : named->name);
    }
    out += "},\"own\":[";
    first = true;
    for (const auto& own : m_keys) {
        if (!own->secret)
            continue;
        if (!first)
            out += ',';
        first = false;
        out += "[" + gJsonString(own->id) + "," + gJsonString(own->idfull) + "," +
               gJsonString(own->name) + "]";
    }
    return out + "]}";
}

std::shared_ptr<const CKeyList> CKeyCache::get(const std::string& user) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_lists.find(user);
    return it == m_lists.end() ? nullptr : it->second.current;
}

std::shared_ptr<const CKeyList> CKeyCache::fresh(const std::string& user,
                                                 Clock::duration age) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_lists.find(user);
    if (it == m_lists.end() || it->second.stale || m_clock() - it->second.confirmed >= age)
        return nullptr;
    return it->second.current;
}

std::shared_ptr<const CKeyList> CKeyCache::previous(const std::string& user,
                                                    const std::string& version) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_lists.find(user);
    if (it == m_lists.end() || !it->second.previous || it->second.previous->version() != version)
        return nullptr;
    return it->second.previous;
}

void CKeyCache::put(const std::string& user, std::shared_ptr<const CKeyList> list) {
    std::shared_ptr<const CKeyList> dropped; // released outside the lock
    std::lock_guard<std::mutex> lock(m_mutex);
    SLists& lists = m_lists[user];
    lists.confirmed = m_clock();
    lists.stale = false;
    if (lists.current && list && lists.current->version() == list->version())
        return;
    dropped = std::move(lists.previous);
    lists.previous = std::move(lists.current);
    lists.current = std::move(list);
}

void CKeyCache::unconfirm(const std::string& user) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_lists.find(user);
    if (it != m_lists.end())
        it->second.stale = true;
}

void CKeyCache::retain(const std::vector<std::string>& active, Clock::duration keep, size_t idle) {
    std::map<std::string, SLists> dropped; // released outside the lock
    std::lock_guard<std::mutex> lock(m_mutex);
    const Clock::time_point now = m_clock();
    std::vector<std::pair<Clock::time_point, std::string>> others;
    for (auto it = m_lists.begin(); it != m_lists.end();) {
        const bool isActive = std::find(active.begin(), active.end(), it->first) != active.end();
        if (!isActive && now - it->second.confirmed >= keep) {
            dropped.insert(*it);
            it = m_lists.erase(it);
            continue;
        }
        if (!isActive)
            others.emplace_back(it->second.confirmed, it->first);
        ++it;
    }
    if (others.size() <= idle)
        return;
    std::sort(others.begin(), others.end());
    for (size_t i = 0; i + idle < others.size(); ++i) {
        const auto it = m_lists.find(others[i].second);
        dropped.insert(*it);
        m_lists.erase(it);
    }
}

} // namespace vornweb
