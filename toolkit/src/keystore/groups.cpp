// groups: named groups of keys, kept in the toolkit's own line-based groups file.
#include "keystore_internal.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

constexpr uint32_t kGroupSetMagic = 0x5A475250; // "ZGRP"
constexpr size_t kMaxGroups = 10000;
constexpr size_t kMaxMembers = 100000;
constexpr size_t kMaxGroupFile = 8u << 20;
constexpr int kMaxGroupDepth = 16;

struct Member {
    bool isGroup = false;
    uint8_t keyID[8] = {};
    int32_t algorithm = -1;
    ZAFGroupID group = 0;
};

struct Group {
    ZAFGroupID id = 0;
    std::string name;
    std::string description;
    std::vector<Member> members;
};

std::string hexOf(std::string_view s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (char c : s) {
        out.push_back(digits[uint8_t(c) >> 4]);
        out.push_back(digits[uint8_t(c) & 15]);
    }
    return out.empty() ? "-" : out;
}

bool unhex(const std::string& s, std::string& out) {
    out.clear();
    if (s == "-")
        return true;
    if (s.size() % 2)
        return false;
    for (size_t i = 0; i < s.size(); i += 2) {
        int v = 0;
        for (size_t j = 0; j < 2; ++j) {
            char c = s[i + j];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0)
                return false;
            v = v * 16 + d;
        }
        out.push_back(char(v));
    }
    return true;
}

bool parseUnsigned(const std::string& s, uint64_t max, uint64_t& out) {
    if (s.empty() || s.size() > 20)
        return false;
    out = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        out = out * 10 + uint64_t(c - '0');
        if (out > max)
            return false;
    }
    return true;
}

} // namespace

struct ZAFGroupSet {
    uint32_t magic = kGroupSetMagic;
    ZAFContext* context = nullptr;
    std::vector<Group> groups;
    ZAFGroupID nextID = 1;
    bool dirty = false;

    Group* find(ZAFGroupID id) {
        for (Group& g : groups)
            if (g.id == id)
                return &g;
        return nullptr;
    }
};

namespace zaf {

// Parses the groups file. False on any malformed line; `out` is then unspecified.
bool parseGroups(std::string_view text, ZAFGroupSet& out) {
    std::istringstream in{std::string(text)};
    std::string line;
    if (!std::getline(in, line) || line != "ZAFGROUPS 1")
        return false;
    size_t members = 0;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        std::istringstream ls(line);
        std::string kind, a, b, c, extra;
        ls >> kind >> a >> b >> c;
        if (ls >> extra)
            return false;
        uint64_t id = 0;
        if (!parseUnsigned(a, 0xFFFFFFFFu, id) || id == 0)
            return false;
        if (kind == "group") {
            Group g;
            g.id = ZAFGroupID(id);
            if (out.groups.size() >= kMaxGroups || out.find(g.id) || !unhex(b, g.name) ||
                !unhex(c, g.description) || g.name.empty() ||
                g.name.size() > kZAFMaxGroupNameLength ||
                g.description.size() > kZAFMaxGroupDescriptionLength ||
                g.name.find('\0') != std::string::npos ||
                g.description.find('\0') != std::string::npos)
                return false;
            out.groups.push_back(std::move(g));
            if (ZAFGroupID(id) >= out.nextID)
                out.nextID = ZAFGroupID(id) + 1;
            continue;
        }
        Group* g = out.find(ZAFGroupID(id));
        if (g == nullptr || ++members > kMaxMembers)
            return false;
        Member m;
        if (kind == "key") {
            std::string raw;
            uint64_t alg = 0;
            if (!unhex(b, raw) || raw.size() != 8 || !parseUnsigned(c, 255, alg))
                return false;
            std::memcpy(m.keyID, raw.data(), 8);
            m.algorithm = int32_t(alg);
        } else if (kind == "sub") {
            uint64_t sub = 0;
            if (!parseUnsigned(b, 0xFFFFFFFFu, sub) || c != "-")
                return false;
            m.isGroup = true;
            m.group = ZAFGroupID(sub);
        } else {
            return false;
        }
        g->members.push_back(m);
    }
    for (const Group& g : out.groups)
        for (const Member& m : g.members)
            if (m.isGroup && out.find(m.group) == nullptr)
                return false;
    return true;
}

std::string serializeGroups(const ZAFGroupSet& set) {
    std::string out = "ZAFGROUPS 1\n";
    for (const Group& g : set.groups)
        out += "group " + std::to_string(g.id) + " " + hexOf(g.name) + " " + hexOf(g.description) +
               "\n";
    for (const Group& g : set.groups)
        for (const Member& m : g.members) {
            if (m.isGroup)
                out += "sub " + std::to_string(g.id) + " " + std::to_string(m.group) + " -\n";
            else
                out += "key " + std::to_string(g.id) + " " +
                       hexOf(std::string_view(reinterpret_cast<const char*>(m.keyID), 8)) + " " +
                       std::to_string(m.algorithm < 0 ? 0 : m.algorithm) + "\n";
        }
    return out;
}

bool checkGroupsText(std::string_view text, std::string* reserialized) {
    ZAFGroupSet set;
    if (text.size() > kMaxGroupFile || !parseGroups(text, set))
        return false;
    if (reserialized)
        *reserialized = serializeGroups(set);
    return true;
}

} // namespace zaf

using namespace zaf;

namespace {

bool isValidGroupSet(const ZAFGroupSet* s) { return s != nullptr && s->magic == kGroupSetMagic; }

void collectMembers(ZAFGroupSet& set, const Group& g, int depth, std::set<ZAFGroupID>& seen,
                    std::vector<const Member*>& out) {
    if (depth > kMaxGroupDepth || !seen.insert(g.id).second)
        return;
    for (const Member& m : g.members) {
        if (!m.isGroup) {
            out.push_back(&m);
        } else if (const Group* sub = set.find(m.group)) {
            collectMembers(set, *sub, depth + 1, seen, out);
        }
    }
}

} // namespace

extern "C" {

ZAFError ZAFNewGroupSet(ZAFContextRef context, ZAFGroupSetRef* outSet) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidCtx(context))
            return kZAFError_InvalidHandle;
        if (outSet == nullptr)
            return kZAFError_BadParams;
        auto* s = new ZAFGroupSet();
        s->context = context;
        *outSet = s;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFNewGroupSetFromFile(ZAFContextRef context, ZAFFileSpecRef file,
                                ZAFGroupSetRef* outSet) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidCtx(context) || !isValidFileSpec(file))
            return kZAFError_InvalidHandle;
        if (outSet == nullptr)
            return kZAFError_BadParams;
        auto s = std::make_unique<ZAFGroupSet>();
        s->context = context;
        std::string text;
        // A missing, unreadable or damaged file gives an empty set; it is written only once
        // something is changed, so a damaged file is never overwritten by mistake. What is no
        // groups file at all (a link, a folder, a device or FIFO, a file above the bound) is an
        // error: an empty set saved over it would replace it.
        const ZAFError read = readFile(file->path, text, true, nullptr, kMaxGroupFile);
        if (read == kZAFError_SymbolicLink || read == kZAFError_NotRegularFile ||
            read == kZAFError_FileTooLarge)
            return read;
        if (read == kZAFError_NoErr && !text.empty()) {
            ZAFGroupSet parsed;
            if (parseGroups(text, parsed)) {
                s->groups = std::move(parsed.groups);
                s->nextID = parsed.nextID;
            }
        }
        *outSet = s.release();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFSaveGroupSetToFile(ZAFGroupSetRef set, ZAFFileSpecRef file) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidGroupSet(set) || !isValidFileSpec(file))
            return kZAFError_InvalidHandle;
        ZAFError err = writeFileAtomic(file->path, serializeGroups(*set), 0600);
        if (err == kZAFError_NoErr)
            set->dirty = false;
        return err;
    });
}

ZAFError ZAFFreeGroupSet(ZAFGroupSetRef set) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidGroupSet(set))
            return kZAFError_InvalidHandle;
        set->magic = 0;
        delete set;
        return kZAFError_NoErr;
    });
}

ZAFBoolean ZAFGroupSetNeedsCommit(ZAFGroupSetRef set) {
    return zaf::guard(ZAFBoolean(0),
                      [&]() -> ZAFBoolean { return isValidGroupSet(set) && set->dirty ? 1 : 0; });
}

ZAFError ZAFCountGroupsInSet(ZAFGroupSetRef set, uint32_t* outCount) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidGroupSet(set))
            return kZAFError_InvalidHandle;
        if (outCount == nullptr)
            return kZAFError_BadParams;
        *outCount = uint32_t(set->groups.size());
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetIndGroupID(ZAFGroupSetRef set, uint32_t index, ZAFGroupID* outID) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidGroupSet(set))
            return kZAFError_InvalidHandle;
        if (outID == nullptr)
            return kZAFError_BadParams;
        if (index >= set->groups.size())
            return kZAFError_ItemNotFound;
        *outID = set->groups[index].id;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetGroupInfo(ZAFGroupSetRef set, ZAFGroupID id, ZAFGroupInfo* outInfo) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidGroupSet(set))
            return kZAFError_InvalidHandle;
        if (outInfo == nullptr)
            return kZAFError_BadParams;
        const Group* g = set->find(id);
        if (g == nullptr)
            return kZAFError_ItemNotFound;
        std::memset(outInfo, 0, sizeof *outInfo);
        outInfo->groupID = g->id;
        std::snprintf(outInfo->name, sizeof outInfo->name, "%s", g->name.c_str());
        std::snprintf(outInfo->description, sizeof outInfo->description, "%s",
                      g->description.c_str());
        for (const Member& m : g->members)
            (m.isGroup ? outInfo->numGroups : outInfo->numKeys)++;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFNewGroup(ZAFGroupSetRef set, const char* name, const char* description,
                     ZAFGroupID* outID) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidGroupSet(set))
            return kZAFError_InvalidHandle;
        if (name == nullptr || outID == nullptr)
            return kZAFError_BadParams;
        size_t nl = std::strlen(name);
        size_t dl = description ? std::strlen(description) : 0;
        if (nl == 0 || nl > kZAFMaxGroupNameLength || dl > kZAFMaxGroupDescriptionLength)
            return kZAFError_BadParams;
        if (set->groups.size() >= kMaxGroups)
            return kZAFError_OutOfMemory;
        for (const Group& g : set->groups)
            if (g.name == name)
                return kZAFError_ItemAlreadyExists;
        Group g;
        g.id = set->nextID++;
        g.name = name;
        g.description = description ? description : "";
        set->groups.push_back(std::move(g));
        set->dirty = true;
        *outID = set->groups.back().id;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFAddKeyToGroup(ZAFGroupSetRef set, ZAFGroupID id, const ZAFKeyID* keyID) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidGroupSet(set))
            return kZAFError_InvalidHandle;
        if (keyID == nullptr || keyID->length != 8)
            return kZAFError_BadParams;
        Group* g = set->find(id);
        if (g == nullptr)
            return kZAFError_ItemNotFound;
        for (const Member& m : g->members)
            if (!m.isGroup && std::memcmp(m.keyID, keyID->bytes, 8) == 0)
                return kZAFError_ItemAlreadyExists;
        Member m;
        std::memcpy(m.keyID, keyID->bytes, 8);
        m.algorithm = keyID->algorithm;
        g->members.push_back(m);
        set->dirty = true;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFAddSubGroupToGroup(ZAFGroupSetRef set, ZAFGroupID id, ZAFGroupID member) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidGroupSet(set))
            return kZAFError_InvalidHandle;
        if (id == member)
            return kZAFError_BadParams;
        Group* g = set->find(id);
        if (g == nullptr || set->find(member) == nullptr)
            return kZAFError_ItemNotFound;
        Member m;
        m.isGroup = true;
        m.group = member;
        g->members.push_back(m);
        set->dirty = true;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFDeleteGroup(ZAFGroupSetRef set, ZAFGroupID id) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidGroupSet(set))
            return kZAFError_InvalidHandle;
        for (size_t i = 0; i < set->groups.size(); ++i) {
            if (set->groups[i].id != id)
                continue;
            set->groups.erase(set->groups.begin() + long(i));
            for (Group& g : set->groups) {
                std::vector<Member> kept;
                for (const Member& m : g.members)
                    if (!(m.isGroup && m.group == id))
                        kept.push_back(m);
                g.members.swap(kept);
            }
            set->dirty = true;
            return kZAFError_NoErr;
        }
        return kZAFError_ItemNotFound;
    });
}

ZAFError ZAFNewKeySetFromGroup(ZAFGroupSetRef set, ZAFGroupID id, ZAFKeyDBRef keyDB,
                               ZAFKeySetRef* outSet, uint32_t* outNotFound) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidGroupSet(set) || !isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        if (outSet == nullptr)
            return kZAFError_BadParams;
        const Group* g = set->find(id);
        if (g == nullptr)
            return kZAFError_ItemNotFound;
        std::vector<const Member*> members;
        std::set<ZAFGroupID> seen;
        collectMembers(*set, *g, 0, seen, members);
        ZAFKeySetRef result = nullptr;
        ZAFError err = ZAFNewEmptyKeySet(keyDB, &result);
        if (err != kZAFError_NoErr)
            return err;
        uint32_t missing = 0;
        std::set<Key*> added;
        for (const Member* m : members) {
            Key* k = keyDB->findByKeyID(m->keyID);
            if (k == nullptr || std::memcmp(k->keyID(), m->keyID, 8) != 0) {
                ++missing;
                continue;
            }
            if (!added.insert(k).second)
                continue;
            for (const KeyPtr& p : keyDB->keys)
                if (p.get() == k)
                    result->keys.push_back(p);
        }
        *outSet = result;
        if (outNotFound)
            *outNotFound = missing;
        return kZAFError_NoErr;
    });
}

} // extern "C"
