// keydb: the toolkit context, file specs, key database, key sets, iterators, group sets and the
// property access shared by the key database objects.
#include <oozaf/filemanager.h>
#include <oozaf/keydb.h>
#include <oozaf/keyobjects.h>
#include <oozaf/keyserver.h>
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <oozaf/time.h>
#include <oozaf/util.h>

#include <cstdlib>
#include <memory>

namespace oozaf {

namespace {

const char* const kTag = "keydb";

#define KEYDB_ASSERT(cond) ZAF_ASSERT_TAG(kTag, cond)

void check(ZAFError err) {
    if (err != kZAFError_NoErr)
        throw new CZAFSDKException(err);
}

std::string sdkText(ZAFError err) { return CZAFSDKException(err).getMessage(); }

// Frees a filter made inside a call whatever leaves the call.
struct SFilterDeleter {
    void operator()(ZAFFilter* filter) const { ZAFFreeFilter(filter); }
};
using CFilterGuard = std::unique_ptr<ZAFFilter, SFilterDeleter>;

CFilterGuard makeUnion(ZAFFilterRef a, ZAFFilterRef b) {
    ZAFFilterRef out = nullptr;
    check(ZAFUnionFilters(a, b, &out));
    KEYDB_ASSERT(out != nullptr);
    return CFilterGuard(out);
}

CFilterGuard makeIntersection(ZAFFilterRef a, ZAFFilterRef b) {
    ZAFFilterRef out = nullptr;
    check(ZAFIntersectFilters(a, b, &out));
    KEYDB_ASSERT(out != nullptr);
    return CFilterGuard(out);
}

// Keys whose own key ID (property 402) or a subkey's key ID (801) equals the ID in `text`.
CFilterGuard makeKeyIDFilter(ZAFContextRef context, std::string text) {
    text[1] = 'x';
    ZAFKeyID keyID{};
    check(ZAFNewKeyIDFromString(text.c_str(), -1, &keyID));
    ZAFFilterRef raw = nullptr;
    check(ZAFNewKeyDBObjDataFilter(context, kZAFKeyProperty_KeyID, &keyID, sizeof keyID,
                                   kZAFMatch_Equal, &raw));
    CFilterGuard own(raw);
    raw = nullptr;
    check(ZAFNewKeyDBObjDataFilter(context, kZAFSubKeyProperty_KeyID, &keyID, sizeof keyID,
                                   kZAFMatch_Equal, &raw));
    CFilterGuard sub(raw);
    return makeUnion(own.get(), sub.get());
}

// Keys whose own fingerprint (property 401) or a subkey's (800) is the one in `hex` (32 or 40
// upper-case hex digits).
CFilterGuard makeFingerprintFilter(ZAFContextRef context, const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    ZAFFilterRef raw = nullptr;
    check(ZAFNewKeyDBObjDataFilter(context, kZAFKeyProperty_Fingerprint, bytes.data(), bytes.size(),
                                   kZAFMatch_Equal, &raw));
    CFilterGuard own(raw);
    raw = nullptr;
    check(ZAFNewKeyDBObjDataFilter(context, kZAFSubKeyProperty_Fingerprint, bytes.data(),
                                   bytes.size(), kZAFMatch_Equal, &raw));
    CFilterGuard sub(raw);
    return makeUnion(own.get(), sub.get());
}

// Keys that are not disabled and/or have not expired, as `flags` ask; null when neither.
CFilterGuard makeFlagsFilter(ZAFContextRef context, unsigned int flags) {
    CFilterGuard enabled;
    CFilterGuard unexpired;
    ZAFFilterRef raw = nullptr;
    if (flags & CZAFKeyDB::kMatchEnabledOnly) {
        check(ZAFNewKeyDBObjBooleanFilter(context, kZAFKeyProperty_IsDisabled, 0, &raw));
        enabled.reset(raw);
        raw = nullptr;
    }
    if (flags & CZAFKeyDB::kMatchUnexpiredOnly) {
        check(ZAFNewKeyDBObjTimeFilter(context, kZAFKeyProperty_Expiration,
                                       CZAFTime::now().getZAFTime(), kZAFMatch_GreaterOrEqual,
                                       &raw));
        unexpired.reset(raw);
    }
    if (enabled && unexpired)
        return makeIntersection(enabled.get(), unexpired.get());
    return enabled ? std::move(enabled) : std::move(unexpired);
}

} // namespace

// ---- context and file specs ----

CZAFContext::CZAFContext() : m_context(nullptr) {
    ZAFError err = ZAFNewContext(&m_context);
    if (err != kZAFError_NoErr)
        throw new CZAFContextCreationException(err);
    KEYDB_ASSERT(m_context != nullptr);
}

CZAFContext::~CZAFContext() {
    if (ZAFFreeContext(m_context) != kZAFError_NoErr)
        ZAF_LOG_WARNING("WARNING: Error while freeing context object");
}

namespace {

void freeFileSpec(ZAFFileSpecRef spec) {
    ZAFError err = ZAFFreeFileSpec(spec);
    if (err != kZAFError_NoErr)
        ZAF_LOG_WARNING("WARNING: An error occured while trying to release a file spec reference: "
                        << sdkText(err));
}

} // namespace

CZAFFileSpec::CZAFFileSpec(const CZAFContext& context, const std::string& path) : m_spec(nullptr) {
    ZAFError err = ZAFNewFileSpecFromFullPath(context.getHandle(), path.c_str(), &m_spec);
    if (err != kZAFError_NoErr)
        throw new CZAFFileSpecCreationException(path, err);
    KEYDB_ASSERT(m_spec != nullptr);
}

CZAFFileSpec::~CZAFFileSpec() { freeFileSpec(m_spec); }

CNOLFileSpec::CNOLFileSpec(const CZAFContext& context, const std::string& path) : m_spec(nullptr) {
    // The portable layer allocates through the context's memory manager; a context without one
    // is not a usable context.
    KEYDB_ASSERT(ZAFPeekContextMemoryMgr(context.getHandle()) != nullptr);
    ZAFError err = ZAFNewFileSpecFromPortablePath(context.getHandle(), path.c_str(), &m_spec);
    if (err != kZAFError_NoErr)
        throw new CZAFFileSpecCreationException(path, err);
    KEYDB_ASSERT(m_spec != nullptr);
}

CNOLFileSpec::~CNOLFileSpec() { freeFileSpec(m_spec); }

// ---- key database ----

CZAFKeyDB::CZAFKeyDB(const CZAFContext& context, ZAFOpenKeyDBFileOptions options,
                     const std::string& pubringPath, const std::string& secringPath)
    : m_keyDB(nullptr), m_context(context) {
    CZAFFileSpec pubring(context, pubringPath);
    std::unique_ptr<CZAFFileSpec> secring;
    if (!secringPath.empty())
        secring = std::make_unique<CZAFFileSpec>(context, secringPath);
    check(ZAFOpenKeyDBFile(context.getHandle(), options, pubring.getHandle(),
                           secring != nullptr ? secring->getHandle() : nullptr, &m_keyDB));
    KEYDB_ASSERT(m_keyDB != nullptr);
}

CZAFKeyDB::CZAFKeyDB(const CZAFContext& context, ZAFKeyDBRef keyDB)
    : m_keyDB(keyDB), m_context(context) {
    KEYDB_ASSERT(m_keyDB != nullptr);
}

CZAFKeyDB::~CZAFKeyDB() {
    ZAFError err = ZAFFreeKeyDB(m_keyDB);
    if (err != kZAFError_NoErr)
        ZAF_LOG_WARNING("WARNING: Couldn't free key database (err = " << err << ")");
}

void CZAFKeyDB::CopyKeys(const CZAFKeySet* keySet) {
    KEYDB_ASSERT(keySet != nullptr);
    check(ZAFCopyKeys(keySet->getHandle(), m_keyDB, nullptr));
}

namespace {

// A removal that beat a concurrent change is worth the administrator's attention.
void logMergeWarnings(ZAFKeyDBRef db) {
    uint32_t count = 0;
    if (ZAFCountKeyDBMergeWarnings(db, &count) != kZAFError_NoErr)
        return;
    for (uint32_t i = 0; i < count; ++i) {
        char text[512];
        size_t size = 0;
        if (ZAFGetKeyDBMergeWarning(db, i, text, sizeof text, &size) == kZAFError_NoErr)
            ZAF_LOG_WARNING("WARNING: " << text);
    }
}

} // namespace

void CZAFKeyDB::Update() {
    check(ZAFKeyDBRefresh(m_keyDB));
    logMergeWarnings(m_keyDB);
}

void CZAFKeyDB::flush() {
    check(ZAFFlushKeyDB(m_keyDB));
    logMergeWarnings(m_keyDB);
}

bool CZAFKeyDB::checksComplete() const {
    ZAFBoolean complete = 0;
    check(ZAFKeyDBChecksComplete(m_keyDB, &complete));
    return complete != 0;
}

CZAFKeySet* CZAFKeyDB::getRootKeySet() const {
    ZAFKeySetRef root = ZAFPeekKeyDBRootKeySet(m_keyDB);
    KEYDB_ASSERT(root != nullptr);
    return new CZAFKeySet(root, CZAFKeySet::SBorrowed{});
}

CZAFKeySet* CZAFKeyDB::getNewKeySet() const {
    ZAFKeySetRef set = nullptr;
    check(ZAFNewKeySet(m_keyDB, &set));
    return new CZAFKeySet(set);
}

CZAFKeySet* CZAFKeyDB::getNewEmptyKeySet() const {
    ZAFKeySetRef set = nullptr;
    check(ZAFNewEmptyKeySet(m_keyDB, &set));
    return new CZAFKeySet(set);
}

CZAFIterator* CZAFKeyDB::getIterator() const { return new CZAFIterator(this); }

CZAFKey* CZAFKeyDB::getKeyByID(const std::string& id) const {
    std::string wanted;
    if (!CZAFUtil::parseKeyIDOrFingerprint(id, wanted))
        throw new CZAFKeyNotFoundException(id);
    const bool byFingerprint = wanted.size() > 16;
    std::unique_ptr<CZAFKeySet> all(getNewKeySet());
    CZAFIterator iter(all.get());
    // Compare on the handles and wrap only the match: a wrapper per key would cost an
    // allocation for every key of the database.
    char text[129];
    for (;;) {
        ZAFKeyDBObjRef key = nullptr;
        ZAFError err = ZAFKeyIterNextKeyDBObj(iter.getHandle(), kZAFKeyDBObjType_Key, &key);
        if (err == kZAFError_EndOfIteration)
            break;
        // A failed walk is not a missing key: report the toolkit's failure.
        check(err);
        KEYDB_ASSERT(key != nullptr);
        std::string have;
        if (byFingerprint) {
            unsigned char bytes[32] = {};
            size_t length = 0;
            check(ZAFGetKeyDBObjDataProperty(key, kZAFKeyProperty_Fingerprint, bytes, sizeof bytes,
                                             &length));
            static const char kHex[] = "0123456789ABCDEF";
            for (size_t i = 0; i < length && i < sizeof bytes; ++i) {
                have += kHex[bytes[i] >> 4];
                have += kHex[bytes[i] & 15];
            }
        } else {
            ZAFKeyID keyID{};
            check(ZAFGetKeyID(key, &keyID));
            std::fill(std::begin(text), std::end(text), '\0');
            check(ZAFGetKeyIDString(
                &keyID, wanted.size() == 8 ? kZAFKeyIDString_Abbreviated : kZAFKeyIDString_Full,
                text, sizeof text - 1));
            have = text + 2; // after "0x"
        }
        if (CZAFUtil::compareIgnoreCase(have, wanted))
            return CZAFKey::createInstance(key);
    }
    throw new CZAFKeyNotFoundException(id);
}

void CZAFKeyDB::removeKey(CZAFKey*& key) {
    KEYDB_ASSERT(key != nullptr);
    std::unique_ptr<CZAFKeySet> one(key->getNewOneKeySet());
    check(ZAFDeleteKeys(m_keyDB, one->getHandle()));
    delete key;
    key = nullptr;
}

CZAFKeySet* CZAFKeyDB::getMatchingKeySet(const std::string& pattern, unsigned int flags,
                                         CZAFKeyServer* keyServer, CZAFGroupSet* groupSet) const {
    ZAFContextRef context = m_context.getHandle();
    const bool askServer = keyServer != nullptr && (flags & kMatchLocalOnly) == 0;
    std::unique_ptr<CZAFKeySet> all(getNewKeySet());
    std::unique_ptr<CZAFKeyDB> serverDB;
    std::unique_ptr<CZAFKeySet> found;

    // A fingerprint (with or without "0x", blanks allowed between its groups) names one key or
    // subkey like a key ID does.
    std::string fingerprint;
    const bool fingerprintForm =
        CZAFUtil::parseKeyIDOrFingerprint(pattern, fingerprint) && fingerprint.size() > 16;
    const bool keyIDForm = fingerprintForm || (pattern.size() >= 2 && pattern[0] == '0' &&
                                               (pattern[1] == 'x' || pattern[1] == 'X'));
    CFilterGuard match;
    if (fingerprintForm) {
        match = makeFingerprintFilter(context, fingerprint);
    } else if (keyIDForm) {
        match = makeKeyIDFilter(context, pattern);
    } else {
        ZAFFilterRef raw = nullptr;
        check(ZAFNewKeyDBObjDataFilter(context, kZAFUserIDProperty_Name, pattern.data(),
                                       pattern.size(), kZAFMatch_SubString, &raw));
        match.reset(raw);
    }
    if (askServer) {
        serverDB.reset(keyServer->query(m_context, match.get()));
        found.reset(serverDB->getNewKeySet());
    } else {
        found.reset(all->filter(match.get()));
    }
    match.reset();

    if (!keyIDForm && !serverDB && !pattern.empty() && groupSet != nullptr) {
        unsigned int groupID = 0;
        if (groupSet->getGroupByName(pattern, groupID)) {
            unsigned int notFound = 0;
            std::unique_ptr<CZAFKeySet> members(groupSet->getNewKeySet(groupID, this, notFound));
            found->add(members.get());
        }
    }

    // A key named by its ID is taken as named: the enabled and unexpired flags narrow only user
    // ID and group matches.
    CFilterGuard narrow = keyIDForm ? CFilterGuard() : makeFlagsFilter(context, flags);
    std::unique_ptr<CZAFKeySet> result;
    if (narrow) {
        result.reset(found->filter(narrow.get()));
    } else if (serverDB) {
        result = std::move(found);
    } else {
        result.reset(getNewEmptyKeySet());
        result->add(found.get());
    }
    // A set of the key server's answer lives on that database: the set keeps it alive.
    if (serverDB)
        result->m_database = serverDB.release();
    return result.release();
}

void CZAFKeyDB::countKeys(unsigned int& keys, unsigned int& pairs) const {
    keys = 0;
    pairs = 0;
    std::unique_ptr<CZAFKeySet> root(getRootKeySet());
    CZAFIterator iter(root.get());
    for (;;) {
        ZAFKeyDBObjRef key = nullptr;
        ZAFError err = ZAFKeyIterNextKeyDBObj(iter.getHandle(), kZAFKeyDBObjType_Key, &key);
        if (err == kZAFError_EndOfIteration)
            return;
        check(err);
        if (CZAFDatabaseObject::getBooleanProperty(key, kZAFKeyProperty_IsSecret))
            ++pairs;
        else
            ++keys;
    }
}

// ---- key sets ----

CZAFKeySet::CZAFKeySet(ZAFKeySetRef keySet) : m_keySet(keySet), m_owned(true), m_database(nullptr) {
    KEYDB_ASSERT(m_keySet != nullptr);
}

CZAFKeySet::CZAFKeySet(ZAFKeySetRef keySet, SBorrowed)
    : m_keySet(keySet), m_owned(false), m_database(nullptr) {
    KEYDB_ASSERT(m_keySet != nullptr);
}

CZAFKeySet::~CZAFKeySet() {
    if (m_owned && ZAFFreeKeySet(m_keySet) != kZAFError_NoErr)
        ZAF_LOG_WARNING("WARNING: Couldn't free key set");
    delete m_database;
}

CZAFIterator* CZAFKeySet::getIterator() const { return new CZAFIterator(this); }

void CZAFKeySet::calculateTrust() {
    ZAFKeyDBRef keyDB = ZAFPeekKeySetKeyDB(m_keySet);
    KEYDB_ASSERT(keyDB != nullptr);
    check(ZAFCalculateTrust(m_keySet, keyDB));
}

CZAFKeySet* CZAFKeySet::filter(ZAFFilterRef filter) const {
    ZAFKeySetRef out = nullptr;
    check(ZAFFilterKeySet(m_keySet, filter, &out));
    return new CZAFKeySet(out);
}

void CZAFKeySet::add(const CZAFKeySet* other) {
    KEYDB_ASSERT(other != nullptr);
    check(ZAFAddKeys(other->m_keySet, m_keySet));
}

unsigned int CZAFKeySet::count() const {
    uint32_t n = 0;
    check(ZAFCountKeys(m_keySet, &n));
    return n;
}

void CZAFKeySet::exportToFile(CZAFContext& context, const std::string& path, bool withPrivate,
                              bool armor, ZAFExportFormat format) const {
    CZAFFileSpec file(context, path);
    ZAFContextRef c = context.getHandle();
    const int32_t toolkitFormat = format == kZAFExportFormat_Compatible
                                      ? kZAFExportFormat_Compatible
                                      : kZAFExportFormat_Complete;
    check(ZAFExport(c, ZAFOExportKeySet(c, m_keySet), ZAFOOutputFile(c, file.getHandle()),
                    ZAFOExportPrivateKeys(c, withPrivate ? 1 : 0), ZAFONullOption(c),
                    ZAFOArmorOutput(c, armor ? 1 : 0), ZAFOExportFormat(c, toolkitFormat),
                    ZAFOLastOption()));
}

// ---- iterators ----

CZAFIterator::CZAFIterator(const CZAFKeySet* keySet) : m_iter(nullptr) {
    KEYDB_ASSERT(keySet != nullptr);
    ZAFError err = ZAFNewKeyIterFromKeySet(keySet->getHandle(), &m_iter);
    if (err != kZAFError_NoErr)
        throw new CZAFIteratorException(eReasonIterFromKeySet, new CZAFSDKException(err));
    KEYDB_ASSERT(m_iter != nullptr);
}

CZAFIterator::CZAFIterator(const CZAFKeyDB* keyDB) : m_iter(nullptr) {
    KEYDB_ASSERT(keyDB != nullptr);
    ZAFError err = ZAFNewKeyIterFromKeyDB(keyDB->getHandle(), &m_iter);
    if (err != kZAFError_NoErr)
        throw new CZAFIteratorException(eReasonIterFromKeyDB, new CZAFSDKException(err));
    KEYDB_ASSERT(m_iter != nullptr);
}

CZAFIterator::~CZAFIterator() {
    ZAFError err = ZAFFreeKeyIter(m_iter);
    if (err != kZAFError_NoErr)
        ZAF_LOG_WARNING("WARNING: Couldn't free key iterator (err = " << err << ")");
}

void CZAFIterator::rewind(int32_t type) { check(ZAFKeyIterRewind(m_iter, type)); }

ZAFError CZAFIterator::next(int32_t type, CZAFDatabaseObject*& object) {
    return move(true, type, object);
}

ZAFError CZAFIterator::prev(int32_t type, CZAFDatabaseObject*& object) {
    return move(false, type, object);
}

ZAFError CZAFIterator::move(bool forward, int32_t type, CZAFDatabaseObject*& object) {
    object = nullptr;
    ZAFKeyDBObjRef found = nullptr;
    ZAFError err = forward ? ZAFKeyIterNextKeyDBObj(m_iter, type, &found)
                           : ZAFKeyIterPrevKeyDBObj(m_iter, type, &found);
    if (err == kZAFError_NoErr)
        object = getObject(type, found);
    return err;
}

void CZAFIterator::seek(const CZAFDatabaseObject* object) {
    KEYDB_ASSERT(object != nullptr);
    check(ZAFKeyIterSeek(m_iter, object->getHandle()));
}

CZAFDatabaseObject* CZAFIterator::getObject(int32_t type, ZAFKeyDBObjRef object) {
    switch (type) {
    case kZAFKeyDBObjType_Key:
        return CZAFKey::createInstance(object);
    case kZAFKeyDBObjType_SubKey:
        return new CZAFSubKey(object);
    case kZAFKeyDBObjType_UserID:
        return new CZAFUserID(object);
    case kZAFKeyDBObjType_Signature:
        return CZAFSignature::create(object);
    default:
        throw new CZAFNoSuchObjectTypeError(type);
    }
}

// ---- group sets ----

CZAFGroupSet::CZAFGroupSet(CZAFContext& context, const std::string& path)
    : m_path(path), m_context(context), m_groupSet(nullptr) {
    if (!CZAFFileManager::fileExists(path))
        CZAFFileManager::createEmptyFile(path);
    CZAFFileSpec file(context, path);
    // A damaged or unreadable file reads as an empty set; what is no groups file at all (a link,
    // a folder, device or FIFO, a file above the bound) fails here.
    check(ZAFNewGroupSetFromFile(context.getHandle(), file.getHandle(), &m_groupSet));
    KEYDB_ASSERT(m_groupSet != nullptr);
}

CZAFGroupSet::~CZAFGroupSet() {
    // A destructor must not throw: a failed save is reported here, and callers who need to act
    // on it call save() first.
    try {
        save();
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_WARNING("WARNING: Couldn't save groups file " << m_path << ": "
                                                              << e->getDetailedMessage());
    }
    if (ZAFFreeGroupSet(m_groupSet) != kZAFError_NoErr)
        ZAF_LOG_WARNING("WARNING: Couldn't free groupset object");
}

void CZAFGroupSet::save() {
    if (!ZAFGroupSetNeedsCommit(m_groupSet))
        return;
    CZAFFileSpec file(m_context, m_path);
    check(ZAFSaveGroupSetToFile(m_groupSet, file.getHandle()));
}

bool CZAFGroupSet::getGroupByName(const std::string& name, unsigned int& groupID) const {
    uint32_t count = 0;
    check(ZAFCountGroupsInSet(m_groupSet, &count));
    for (uint32_t i = 0; i < count; ++i) {
        ZAFGroupID id = 0;
        check(ZAFGetIndGroupID(m_groupSet, i, &id));
        ZAFGroupInfo info{};
        check(ZAFGetGroupInfo(m_groupSet, id, &info));
        info.name[kZAFMaxGroupNameLength] = '\0';
        if (name == info.name) {
            groupID = id;
            return true;
        }
    }
    return false;
}

CZAFKeySet* CZAFGroupSet::getNewKeySet(unsigned int groupID, const CZAFKeyDB* keyDB,
                                       unsigned int& count) const {
    KEYDB_ASSERT(keyDB != nullptr);
    ZAFKeySetRef set = nullptr;
    uint32_t notFound = 0;
    check(ZAFNewKeySetFromGroup(m_groupSet, groupID, keyDB->getHandle(), &set, &notFound));
    count = notFound;
    return new CZAFKeySet(set);
}

// ---- database objects ----

CZAFDatabaseObject::CZAFDatabaseObject(ZAFKeyDBObjRef object) : m_object(object) {
    KEYDB_ASSERT(m_object != nullptr);
}

int32_t CZAFDatabaseObject::getObjectType(ZAFKeyDBObjRef object) {
    return getNumericProperty(object, kZAFObjProperty_ObjectType);
}

bool CZAFDatabaseObject::getBooleanProperty(ZAFKeyDBObjRef object, int32_t property) {
    ZAFBoolean value = 0;
    ZAFError err = ZAFGetKeyDBObjBooleanProperty(object, property, &value);
    if (err != kZAFError_NoErr)
        throw new CZAFPropertyAccessError(property, err);
    return value != 0;
}

int32_t CZAFDatabaseObject::getNumericProperty(ZAFKeyDBObjRef object, int32_t property) {
    int32_t value = 0;
    ZAFError err = ZAFGetKeyDBObjNumericProperty(object, property, &value);
    if (err != kZAFError_NoErr)
        throw new CZAFPropertyAccessError(property, err);
    return value;
}

bool CZAFDatabaseObject::getBooleanProperty(int32_t property) const {
    return getBooleanProperty(m_object, property);
}

int32_t CZAFDatabaseObject::getNumericProperty(int32_t property) const {
    return getNumericProperty(m_object, property);
}

ZAFTime CZAFDatabaseObject::getTimeProperty(int32_t property) const {
    ZAFTime value = 0;
    ZAFError err = ZAFGetKeyDBObjTimeProperty(m_object, property, &value);
    if (err != kZAFError_NoErr)
        throw new CZAFPropertyAccessError(property, err);
    return value;
}

std::string CZAFDatabaseObject::getDataProperty(int32_t property) const {
    size_t size = 0;
    ZAFError err = ZAFGetKeyDBObjDataProperty(m_object, property, nullptr, 0, &size);
    if (err != kZAFError_NoErr && err != kZAFError_BufferTooSmall)
        throw new CZAFPropertyAccessError(property, err);
    // Empty data is a legitimate value (an empty user ID packet read from a ring), not a defect.
    if (size == 0)
        return std::string();
    std::string data(size, '\0');
    size_t read = 0;
    err = ZAFGetKeyDBObjDataProperty(m_object, property, &data[0], data.size(), &read);
    if (err != kZAFError_NoErr)
        throw new CZAFPropertyAccessError(property, err);
    KEYDB_ASSERT(read <= data.size());
    data.resize(read);
    return data;
}

std::string CZAFDatabaseObject::getAllocatedDataProperty(int32_t property) const {
    void* block = nullptr;
    size_t size = 0;
    ZAFError err = ZAFGetKeyDBObjAllocatedDataProperty(m_object, property, &block, &size);
    if (err != kZAFError_NoErr)
        throw new CZAFPropertyAccessError(property, err);
    std::unique_ptr<void, ZAFError (*)(void*)> guard(block, &ZAFFreeData);
    if (size == 0)
        return std::string();
    KEYDB_ASSERT(block != nullptr);
    return std::string(static_cast<const char*>(block), size);
}

} // namespace oozaf
