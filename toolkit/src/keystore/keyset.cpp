// keyset: key sets, filters and iterators over sets and databases.
#include "keystore_internal.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <unordered_set>

struct ZAFFilter {
    enum Kind { Data, Boolean, Numeric, Time, Union, Intersect, Negate };
    uint32_t magic = zaf::kFilterMagic;
    Kind kind = Data;
    int32_t property = 0;
    int32_t match = kZAFMatch_Equal;
    std::string data;
    int64_t value = 0;
    std::vector<ZAFFilter> children;
};

struct ZAFKeyIter {
    uint32_t magic = zaf::kIterMagic;
    ZAFKeyDB* db = nullptr;
    ZAFKeySet* set = nullptr;
    std::vector<zaf::KeyPtr> keys;
    long keyIndex = -1;
    long child = -1; // object index of the current user ID or subkey
    long sig = -1;   // object index of the current signature
};

using namespace zaf;

namespace {

bool isValidFilter(const ZAFFilter* f) { return f != nullptr && f->magic == kFilterMagic; }
bool isValidIter(const ZAFKeyIter* it) {
    return it != nullptr && it->magic == kIterMagic && isValidDB(it->db);
}

int objectTypeForProperty(int32_t property) {
    if (property < 500)
        return kZAFKeyDBObjType_Key;
    if (property < 1000)
        return kZAFKeyDBObjType_SubKey;
    if (property < 1300)
        return kZAFKeyDBObjType_UserID;
    return kZAFKeyDBObjType_Signature;
}

bool containsIgnoringCase(std::string_view hay, std::string_view needle) {
    if (needle.empty())
        return true;
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
    return it != hay.end();
}

bool compareValue(int64_t have, int64_t want, int32_t match) {
    switch (match) {
    case kZAFMatch_Equal:
        return have == want;
    case kZAFMatch_GreaterOrEqual:
        return have >= want;
    case kZAFMatch_LessOrEqual:
        return have <= want;
    default:
        return false;
    }
}

bool objectMatches(ZAFKeyDBObj* obj, const ZAFFilter& f) {
    switch (f.kind) {
    case ZAFFilter::Boolean: {
        ZAFBoolean b = 0;
        if (ZAFGetKeyDBObjBooleanProperty(obj, f.property, &b) != kZAFError_NoErr)
            return false;
        return (b != 0) == (f.value != 0);
    }
    case ZAFFilter::Numeric: {
        int32_t v = 0;
        if (ZAFGetKeyDBObjNumericProperty(obj, f.property, &v) != kZAFError_NoErr)
            return false;
        return compareValue(v, f.value, f.match);
    }
    case ZAFFilter::Time: {
        ZAFTime t = 0;
        if (ZAFGetKeyDBObjTimeProperty(obj, f.property, &t) != kZAFError_NoErr)
            return false;
        // A time of 0 on an expiration means never, which is later than anything.
        int64_t have = (t == 0 && (f.property == kZAFKeyProperty_Expiration ||
                                   f.property == kZAFSubKeyProperty_Expiration ||
                                   f.property == kZAFSigProperty_Expiration))
                           ? int64_t(1) << 40
                           : int64_t(t);
        return compareValue(have, f.value, f.match);
    }
    case ZAFFilter::Data: {
        size_t size = 0;
        ZAFError err = ZAFGetKeyDBObjDataProperty(obj, f.property, nullptr, 0, &size);
        if (err != kZAFError_BufferTooSmall && err != kZAFError_NoErr)
            return false;
        std::string buf(size, '\0');
        if (size &&
            ZAFGetKeyDBObjDataProperty(obj, f.property, &buf[0], size, &size) != kZAFError_NoErr)
            return false;
        if ((f.property == kZAFKeyProperty_KeyID || f.property == kZAFSubKeyProperty_KeyID ||
             f.property == kZAFSigProperty_KeyID) &&
            buf.size() == sizeof(ZAFKeyID) && f.data.size() == sizeof(ZAFKeyID) &&
            f.match == kZAFMatch_Equal) {
            ZAFKeyID a, b;
            std::memcpy(&a, buf.data(), sizeof a);
            std::memcpy(&b, f.data.data(), sizeof b);
            return ZAFCompareKeyIDs(&a, &b) == 0;
        }
        if (f.match == kZAFMatch_SubString)
            return containsIgnoringCase(buf, f.data);
        if (f.match == kZAFMatch_Equal)
            return buf == f.data;
        return false;
    }
    default:
        return false;
    }
}

bool keyMatches(Key& key, const ZAFFilter& f) {
    switch (f.kind) {
    case ZAFFilter::Union:
        for (const ZAFFilter& c : f.children)
            if (keyMatches(key, c))
                return true;
        return false;
    case ZAFFilter::Intersect:
        for (const ZAFFilter& c : f.children)
            if (!keyMatches(key, c))
                return false;
        return true;
    case ZAFFilter::Negate:
        return !f.children.empty() && !keyMatches(key, f.children[0]);
    default:
        break;
    }
    int type = objectTypeForProperty(f.property);
    if (f.property == kZAFObjProperty_ObjectType)
        type = kZAFKeyDBObjType_Key;
    for (ZAFKeyDBObj& o : key.objs)
        if (o.type == type && objectMatches(&o, f))
            return true;
    return false;
}

ZAFError newSet(ZAFKeyDB* db, ZAFKeySetRef* out) {
    auto* s = new ZAFKeySet();
    s->db = db;
    *out = s;
    return kZAFError_NoErr;
}

ZAFError newFilter(ZAFContextRef context, ZAFFilterRef* out, ZAFFilter&& f) {
    if (!isValidCtx(context))
        return kZAFError_InvalidHandle;
    if (out == nullptr)
        return kZAFError_BadParams;
    *out = new ZAFFilter(std::move(f));
    return kZAFError_NoErr;
}

ZAFError combine(ZAFFilterRef a, ZAFFilterRef b, ZAFFilterRef* out, ZAFFilter::Kind kind) {
    if (!isValidFilter(a) || !isValidFilter(b))
        return kZAFError_InvalidHandle;
    if (out == nullptr)
        return kZAFError_BadParams;
    auto* f = new ZAFFilter();
    f->kind = kind;
    f->children.push_back(*a);
    f->children.push_back(*b);
    *out = f;
    return kZAFError_NoErr;
}

// Scans the current key's objects from `from` in direction `step` for one of `type` under
// `parent`.
long findObj(const Key& k, long from, int step, uint8_t type, long parent) {
    for (long i = from; i >= 0 && i < long(k.objs.size()); i += step) {
        const ZAFKeyDBObj& o = k.objs[size_t(i)];
        if (o.type == type && o.parent == parent)
            return i;
    }
    return -1;
}

ZAFError step(ZAFKeyIter* it, int32_t type, int dir, ZAFKeyDBObjRef* out) {
    if (type == kZAFKeyDBObjType_Key) {
        long next = it->keyIndex + dir;
        if (dir < 0 && it->keyIndex == -1)
            next = long(it->keys.size()) - 1;
        if (next < 0 || next >= long(it->keys.size())) {
            it->keyIndex = dir > 0 ? long(it->keys.size()) : -1;
            it->child = it->sig = -1;
            return kZAFError_EndOfIteration;
        }
        it->keyIndex = next;
        it->child = it->sig = -1;
        *out = &it->keys[size_t(next)]->objs[0];
        return kZAFError_NoErr;
    }
    if (it->keyIndex < 0 || it->keyIndex >= long(it->keys.size()))
        return kZAFError_EndOfIteration;
    Key& k = *it->keys[size_t(it->keyIndex)];
    if (type == kZAFKeyDBObjType_UserID || type == kZAFKeyDBObjType_SubKey) {
        long from = it->child < 0 ? (dir > 0 ? 1 : long(k.objs.size()) - 1) : it->child + dir;
        long found = findObj(k, from, dir, uint8_t(type), 0);
        if (found < 0)
            return kZAFError_EndOfIteration;
        it->child = found;
        it->sig = -1;
        *out = &k.objs[size_t(found)];
        return kZAFError_NoErr;
    }
    if (type == kZAFKeyDBObjType_Signature) {
        long parent = it->child < 0 ? 0 : it->child;
        long from = it->sig < 0 ? (dir > 0 ? parent + 1 : long(k.objs.size()) - 1) : it->sig + dir;
        long found = findObj(k, from, dir, kZAFKeyDBObjType_Signature, parent);
        if (found < 0)
            return kZAFError_EndOfIteration;
        it->sig = found;
        *out = &k.objs[size_t(found)];
        return kZAFError_NoErr;
    }
    return kZAFError_BadParams;
}

} // namespace

namespace zaf {

namespace {

bool collectServerQuery(const ZAFFilter& f, ServerQuery& out, int depth) {
    if (depth > 8)
        return false;
    if (f.kind == ZAFFilter::Union) {
        for (const ZAFFilter& c : f.children)
            if (!collectServerQuery(c, out, depth + 1))
                return false;
        return !f.children.empty();
    }
    if (f.kind != ZAFFilter::Data)
        return false;
    if ((f.property == kZAFKeyProperty_KeyID || f.property == kZAFSubKeyProperty_KeyID) &&
        f.match == kZAFMatch_Equal && f.data.size() == sizeof(ZAFKeyID) && !out.byText) {
        ZAFKeyID id;
        std::memcpy(&id, f.data.data(), sizeof id);
        const uint32_t length = id.length >= 8 ? 8 : 4;
        std::string bytes(reinterpret_cast<const char*>(id.bytes) + 8 - length, length);
        for (const std::string& known : out.keyIDs)
            if (known == bytes)
                return true;
        out.keyIDs.push_back(bytes);
        return true;
    }
    if (f.property == kZAFUserIDProperty_Name && out.keyIDs.empty() && !out.byText &&
        (f.match == kZAFMatch_SubString || f.match == kZAFMatch_Equal)) {
        out.byText = true;
        out.text = f.data;
        return true;
    }
    return false;
}

} // namespace

bool serverQueryOf(const ZAFFilter* filter, ServerQuery& out) {
    out = ServerQuery();
    return isValidFilter(filter) && collectServerQuery(*filter, out, 0);
}

} // namespace zaf

extern "C" {

ZAFError ZAFNewKeySet(ZAFKeyDBRef keyDB, ZAFKeySetRef* outSet) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        if (outSet == nullptr)
            return kZAFError_BadParams;
        ZAFKeySetRef s = nullptr;
        newSet(keyDB, &s);
        s->keys = keyDB->keys;
        *outSet = s;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFNewEmptyKeySet(ZAFKeyDBRef keyDB, ZAFKeySetRef* outSet) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        if (outSet == nullptr)
            return kZAFError_BadParams;
        return zaf::guard([&]() -> ZAFError { return newSet(keyDB, outSet); });
    });
}

ZAFError ZAFNewSingletonKeySet(ZAFKeyDBObjRef key, ZAFKeySetRef* outSet) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(key))
            return kZAFError_InvalidHandle;
        if (key->type != kZAFKeyDBObjType_Key || outSet == nullptr)
            return kZAFError_BadParams;
        ZAFKeyDB* db = key->key->owner;
        if (!isValidDB(db))
            return kZAFError_ItemNotFound;
        ZAFKeySetRef s = nullptr;
        newSet(db, &s);
        for (const KeyPtr& k : db->keys)
            if (k.get() == key->key)
                s->keys.push_back(k);
        for (const KeyPtr& k : db->retired)
            if (s->keys.empty() && k.get() == key->key)
                s->keys.push_back(k);
        *outSet = s;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeKeySet(ZAFKeySetRef keySet) {
    return zaf::guard([&]() -> ZAFError {
        if (keySet == nullptr || keySet->magic != kKeySetMagic)
            return kZAFError_InvalidHandle;
        if (keySet->isRoot)
            return kZAFError_NoErr; // the root set belongs to its database
        keySet->magic = 0;
        delete keySet;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFAddKeys(ZAFKeySetRef source, ZAFKeySetRef dest) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidSet(source) || !isValidSet(dest))
            return kZAFError_InvalidHandle;
        if (dest->isRoot)
            return kZAFError_BadParams;
        std::unordered_set<const Key*> have;
        for (const KeyPtr& k : dest->keys)
            have.insert(k.get());
        for (const KeyPtr& k : source->list())
            if (have.insert(k.get()).second)
                dest->keys.push_back(k);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFCountKeys(ZAFKeySetRef keySet, uint32_t* outCount) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidSet(keySet))
            return kZAFError_InvalidHandle;
        if (outCount == nullptr)
            return kZAFError_BadParams;
        *outCount = uint32_t(keySet->list().size());
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFilterKeySet(ZAFKeySetRef keySet, ZAFFilterRef filter, ZAFKeySetRef* outSet) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidSet(keySet) || !isValidFilter(filter))
            return kZAFError_InvalidHandle;
        if (outSet == nullptr)
            return kZAFError_BadParams;
        ZAFKeySetRef s = nullptr;
        newSet(keySet->db, &s);
        for (const KeyPtr& k : keySet->list())
            if (keyMatches(*k, *filter))
                s->keys.push_back(k);
        *outSet = s;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFNewKeyDBObjDataFilter(ZAFContextRef context, int32_t property, const void* data,
                                  size_t size, int32_t match, ZAFFilterRef* outFilter) {
    return zaf::guard([&]() -> ZAFError {
        if ((data == nullptr && size != 0) ||
            (match != kZAFMatch_Equal && match != kZAFMatch_SubString))
            return kZAFError_BadParams;
        ZAFFilter f;
        f.kind = ZAFFilter::Data;
        f.property = property;
        f.match = match;
        if (size)
            f.data.assign(static_cast<const char*>(data), size);
        return newFilter(context, outFilter, std::move(f));
    });
}

ZAFError ZAFNewKeyDBObjBooleanFilter(ZAFContextRef context, int32_t property, ZAFBoolean value,
                                     ZAFFilterRef* outFilter) {
    return zaf::guard([&]() -> ZAFError {
        ZAFFilter f;
        f.kind = ZAFFilter::Boolean;
        f.property = property;
        f.value = value ? 1 : 0;
        return newFilter(context, outFilter, std::move(f));
    });
}

ZAFError ZAFNewKeyDBObjNumericFilter(ZAFContextRef context, int32_t property, int32_t value,
                                     int32_t match, ZAFFilterRef* outFilter) {
    return zaf::guard([&]() -> ZAFError {
        if (match < kZAFMatch_Equal || match > kZAFMatch_LessOrEqual)
            return kZAFError_BadParams;
        ZAFFilter f;
        f.kind = ZAFFilter::Numeric;
        f.property = property;
        f.value = value;
        f.match = match;
        return newFilter(context, outFilter, std::move(f));
    });
}

ZAFError ZAFNewKeyDBObjTimeFilter(ZAFContextRef context, int32_t property, ZAFTime value,
                                  int32_t match, ZAFFilterRef* outFilter) {
    return zaf::guard([&]() -> ZAFError {
        if (match < kZAFMatch_Equal || match > kZAFMatch_LessOrEqual)
            return kZAFError_BadParams;
        ZAFFilter f;
        f.kind = ZAFFilter::Time;
        f.property = property;
        f.value = value;
        f.match = match;
        return newFilter(context, outFilter, std::move(f));
    });
}

ZAFError ZAFUnionFilters(ZAFFilterRef a, ZAFFilterRef b, ZAFFilterRef* outFilter) {
    return zaf::guard([&]() -> ZAFError { return combine(a, b, outFilter, ZAFFilter::Union); });
}

ZAFError ZAFIntersectFilters(ZAFFilterRef a, ZAFFilterRef b, ZAFFilterRef* outFilter) {
    return zaf::guard([&]() -> ZAFError { return combine(a, b, outFilter, ZAFFilter::Intersect); });
}

ZAFError ZAFNegateFilter(ZAFFilterRef a, ZAFFilterRef* outFilter) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidFilter(a))
            return kZAFError_InvalidHandle;
        if (outFilter == nullptr)
            return kZAFError_BadParams;
        auto* f = new ZAFFilter();
        f->kind = ZAFFilter::Negate;
        f->children.push_back(*a);
        *outFilter = f;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeFilter(ZAFFilterRef filter) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidFilter(filter))
            return kZAFError_InvalidHandle;
        filter->magic = 0;
        delete filter;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFNewKeyIterFromKeySet(ZAFKeySetRef keySet, ZAFKeyIterRef* outIter) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidSet(keySet))
            return kZAFError_InvalidHandle;
        if (outIter == nullptr)
            return kZAFError_BadParams;
        auto* it = new ZAFKeyIter();
        it->db = keySet->db;
        it->set = keySet;
        it->keys = keySet->list();
        *outIter = it;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFNewKeyIterFromKeyDB(ZAFKeyDBRef keyDB, ZAFKeyIterRef* outIter) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        if (outIter == nullptr)
            return kZAFError_BadParams;
        auto* it = new ZAFKeyIter();
        it->db = keyDB;
        it->keys = keyDB->keys;
        *outIter = it;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeKeyIter(ZAFKeyIterRef iter) {
    return zaf::guard([&]() -> ZAFError {
        if (iter == nullptr || iter->magic != kIterMagic)
            return kZAFError_InvalidHandle;
        iter->magic = 0;
        delete iter;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFKeyIterRewind(ZAFKeyIterRef iter, int32_t objType) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidIter(iter))
            return kZAFError_InvalidHandle;
        switch (objType) {
        case kZAFKeyDBObjType_Key:
            iter->keyIndex = -1;
            iter->child = iter->sig = -1;
            return kZAFError_NoErr;
        case kZAFKeyDBObjType_UserID:
        case kZAFKeyDBObjType_SubKey:
            iter->child = iter->sig = -1;
            return kZAFError_NoErr;
        case kZAFKeyDBObjType_Signature:
            iter->sig = -1;
            return kZAFError_NoErr;
        default:
            return kZAFError_BadParams;
        }
    });
}

ZAFError ZAFKeyIterNextKeyDBObj(ZAFKeyIterRef iter, int32_t objType, ZAFKeyDBObjRef* outObj) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidIter(iter))
            return kZAFError_InvalidHandle;
        if (outObj == nullptr)
            return kZAFError_BadParams;
        return step(iter, objType, 1, outObj);
    });
}

ZAFError ZAFKeyIterPrevKeyDBObj(ZAFKeyIterRef iter, int32_t objType, ZAFKeyDBObjRef* outObj) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidIter(iter))
            return kZAFError_InvalidHandle;
        if (outObj == nullptr)
            return kZAFError_BadParams;
        return step(iter, objType, -1, outObj);
    });
}

ZAFError ZAFKeyIterSeek(ZAFKeyIterRef iter, ZAFKeyDBObjRef obj) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidIter(iter) || !isValidObj(obj))
            return kZAFError_InvalidHandle;
        for (size_t i = 0; i < iter->keys.size(); ++i) {
            if (iter->keys[i].get() != obj->key)
                continue;
            iter->keyIndex = long(i);
            iter->child = iter->sig = -1;
            if (obj->type == kZAFKeyDBObjType_UserID || obj->type == kZAFKeyDBObjType_SubKey) {
                iter->child = long(obj->index);
            } else if (obj->type == kZAFKeyDBObjType_Signature) {
                iter->child = obj->parent > 0 ? long(obj->parent) : -1;
                iter->sig = long(obj->index);
            }
            return kZAFError_NoErr;
        }
        return kZAFError_ItemNotFound;
    });
}

} // extern "C"
