// keymerge: the three-way merge of a flush. What one handle changed since it read a key (user
// IDs, user attributes, subkeys and signatures added, removed or replaced) is laid over the
// key as it is on disk now, so that removals survive and both sides' additions are kept.
#include "keystore_internal.h"

#include <algorithm>
#include <set>

namespace zaf {

namespace {

// A packet under the key or a component, with the check trust packet that follows it.
struct Item {
    std::string raw;
    std::string check;
};

struct Part {
    std::string head;
    std::vector<Item> items;
};

// A transferable key as the merge sees it: the owner-trust packet right after the primary key
// packet, the packets under the key itself, and the user IDs and subkeys by identity.
struct Model {
    std::string primary;
    std::string ownerTrust;
    Part key;
    std::vector<std::pair<std::string, Part>> comps;

    Part* find(const std::string& id) {
        for (auto& c : comps)
            if (c.first == id)
                return &c.second;
        return nullptr;
    }
    const Part* find(const std::string& id) const { return const_cast<Model*>(this)->find(id); }
};

std::string itemID(const std::string& raw) {
    return std::string(1, char(rfc4880::rawTag(raw))) + std::string(rfc4880::rawBody(raw));
}

void toItems(const std::vector<std::string>& follow, std::vector<Item>& out, std::string* lead) {
    for (const std::string& p : follow) {
        if (rfc4880::rawTag(p) == rfc4880::kTagTrust) {
            if (!out.empty())
                out.back().check = p;
            else if (lead)
                *lead = p;
            continue;
        }
        out.push_back(Item{p, std::string()});
    }
}

bool toModel(std::string_view bytes, Model& m) {
    TKTree t;
    if (!t.parse(bytes))
        return false;
    m.primary = t.primary;
    toItems(t.follow, m.key.items, &m.ownerTrust);
    for (const auto& c : t.comps) {
        Part p;
        p.head = c.head;
        toItems(c.follow, p.items, nullptr);
        m.comps.emplace_back(componentIdentity(c), std::move(p));
    }
    return true;
}

void appendItems(std::string& out, const std::vector<Item>& items) {
    for (const Item& i : items) {
        out += i.raw;
        out += i.check;
    }
}

std::string fromModel(const Model& m) {
    std::string out = m.primary + m.ownerTrust;
    appendItems(out, m.key.items);
    for (const auto& c : m.comps) {
        out += c.second.head;
        appendItems(out, c.second.items);
    }
    return out;
}

std::set<std::string> ids(const Part& p) {
    std::set<std::string> s;
    for (const Item& i : p.items)
        s.insert(itemID(i.raw));
    return s;
}

bool samePart(const Part& a, const Part& b) { return a.head == b.head && ids(a) == ids(b); }

// Whether two versions hold the same packets (check trust packets aside).
bool sameModel(const Model& a, const Model& b) {
    if (a.primary != b.primary || a.ownerTrust != b.ownerTrust || !samePart(a.key, b.key) ||
        a.comps.size() != b.comps.size())
        return false;
    for (const auto& c : a.comps) {
        const Part* other = b.find(c.first);
        if (other == nullptr || !samePart(c.second, *other))
            return false;
    }
    return true;
}

// Lays the change from `base` to `ours` (either may be null: added / removed) over `disk`.
void applyPart(const Part* base, const Part& ours, Part& disk) {
    std::set<std::string> had = base ? ids(*base) : std::set<std::string>();
    std::set<std::string> have = ids(ours);
    std::vector<Item> kept;
    for (Item& i : disk.items)
        if (!had.count(itemID(i.raw)) || have.count(itemID(i.raw)))
            kept.push_back(std::move(i));
    std::set<std::string> present;
    for (const Item& i : kept)
        present.insert(itemID(i.raw));
    for (const Item& i : ours.items)
        if (!had.count(itemID(i.raw)) && present.insert(itemID(i.raw)).second)
            kept.push_back(i);
    disk.items.swap(kept);
    if (base && ours.head != base->head)
        disk.head = ours.head; // a subkey whose secret part was re-protected
}

std::string describe(const std::string& id, const Part& p) {
    uint8_t tag = rfc4880::rawTag(p.head);
    if (tag == rfc4880::kTagUserID)
        return "user ID \"" + std::string(rfc4880::rawBody(p.head)) + "\"";
    if (tag == rfc4880::kTagUserAttribute)
        return "user attribute";
    (void)id;
    return "subkey";
}

} // namespace

std::string mergeThreeWay(std::string_view base, std::string_view ours, std::string_view disk,
                          const std::string& label, std::vector<std::string>& warnings) {
    if (ours == base)
        return std::string(disk);
    if (ours.empty()) {
        if (!disk.empty() && disk != base) {
            Model b, d;
            if (!(toModel(base, b) && toModel(disk, d)) || !sameModel(b, d))
                warnings.push_back("Key " + label +
                                   " was removed here while another session changed it; it stays "
                                   "removed");
        }
        return std::string();
    }
    if (disk.empty() && !base.empty()) {
        warnings.push_back("Key " + label +
                           " was removed by another session; the changes made to it here are "
                           "dropped");
        return std::string();
    }
    Model b, o, d;
    if (!toModel(ours, o))
        return std::string(disk.empty() ? ours : disk);
    if (disk.empty())
        return std::string(ours);
    if (!toModel(disk, d))
        return std::string(ours);
    if (!base.empty() && !toModel(base, b))
        b = Model();
    bool haveBase = !base.empty();
    if (haveBase && o.ownerTrust != b.ownerTrust)
        d.ownerTrust = o.ownerTrust;
    else if (!haveBase && d.ownerTrust.empty())
        d.ownerTrust = o.ownerTrust;
    if (o.primary != (haveBase ? b.primary : d.primary))
        d.primary = o.primary;
    applyPart(haveBase ? &b.key : nullptr, o.key, d.key);
    // Components this side removed.
    if (haveBase) {
        for (const auto& bc : b.comps) {
            if (o.find(bc.first))
                continue;
            auto at = std::find_if(d.comps.begin(), d.comps.end(),
                                   [&](const auto& c) { return c.first == bc.first; });
            if (at == d.comps.end())
                continue;
            if (!samePart(at->second, bc.second))
                warnings.push_back("The " + describe(bc.first, bc.second) + " of key " + label +
                                   " was removed here while another session changed it; it "
                                   "stays removed");
            d.comps.erase(at);
        }
    }
    // Components this side added or changed.
    for (const auto& oc : o.comps) {
        const Part* bp = haveBase ? b.find(oc.first) : nullptr;
        Part* dp = d.find(oc.first);
        if (bp && samePart(*bp, oc.second))
            continue; // unchanged here: the disk's version stands, or its removal
        if (bp && !dp) {
            warnings.push_back("The " + describe(oc.first, oc.second) + " of key " + label +
                               " was removed by another session; the changes made to it here "
                               "are dropped");
            continue;
        }
        if (dp) {
            applyPart(bp, oc.second, *dp);
            continue;
        }
        // New here: user IDs and attributes go before the first subkey.
        auto at = d.comps.end();
        if (!isSubkeyTag(rfc4880::rawTag(oc.second.head)))
            at = std::find_if(d.comps.begin(), d.comps.end(), [](const auto& c) {
                return isSubkeyTag(rfc4880::rawTag(c.second.head));
            });
        d.comps.insert(at, oc);
    }
    return fromModel(d);
}

} // namespace zaf
