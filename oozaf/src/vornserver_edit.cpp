// vornserver_edit: the key edits and transfers of the server facade used by the command engine.
#include "vornserver_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/keyobjects.h>
#include <oozaf/throwable.h>
#include <oozaf/vornserveredit.h>
#include <zaf/zafkeyedit.h>
#include <zaf/zafkeymaint.h>
#include <zaf/zafkeys.h>
#include <zaf/zafsigcheck.h>

#include <memory>
#include <string>
#include <vector>

namespace oozaf {

namespace {

const char* const kTag = "vornserver";

void check(ZAFError code) {
    if (code != kZAFError_NoErr)
        throw new CZAFSDKException(code);
}

ZAFContextRef contextOf(CVornServer& server) { return server.getKeyDB()->getContext().getHandle(); }

// Runs one edit and writes the rings when it succeeded.
template <class F> void edit(CVornServer& server, F&& body) {
    guarded<CZAFKeyEditException>([&] {
        check(body(contextOf(server)));
        server.getKeyDB()->flush();
    });
}

} // namespace

bool gKeyShapeOf(ZAFKeyDBRef keyDB, const ZAFKeyID& id, SKeyShape& shape) {
    ZAFKeyDBObjRef key = nullptr;
    if (ZAFFindKeyByKeyID(keyDB, &id, &key) != kZAFError_NoErr || key == nullptr)
        return false;
    shape.userIDs = CZAFDatabaseObject::getNumericProperty(key, kZAFKeyProperty_NumUserIDs);
    shape.subKeys = CZAFDatabaseObject::getNumericProperty(key, kZAFKeyProperty_NumSubKeys);
    shape.signatures = CZAFDatabaseObject::getNumericProperty(key, kZAFKeyProperty_NumSignatures);
    shape.secret = CZAFDatabaseObject::getBooleanProperty(key, kZAFKeyProperty_IsSecret);
    shape.revoked = CZAFDatabaseObject::getBooleanProperty(key, kZAFKeyProperty_IsRevoked);
    return true;
}

void gSetOwnerTrust(CVornServer& server, const CZAFKey& key, unsigned int trust) {
    edit(server, [&](ZAFContextRef) {
        return ZAFSetKeyOwnerTrust(key.getHandle(), static_cast<int32_t>(trust));
    });
}

void gSetKeyDisabled(CVornServer& server, const CZAFKey& key, bool disabled) {
    edit(server, [&](ZAFContextRef) { return ZAFSetKeyDisabled(key.getHandle(), disabled); });
}

void gChangePassphrase(CVornServer& server, const CZAFKey& key, const std::string& passphrase,
                       const std::string& newPassphrase) {
    edit(server, [&](ZAFContextRef) {
        return ZAFChangeKeyPassphrase(key.getHandle(), passphrase.data(), passphrase.size(),
                                      newPassphrase.data(), newPassphrase.size());
    });
}

void gSetKeyExpiration(CVornServer& server, const CZAFKey& key, const CZAFTime& expires,
                       const std::string& passphrase) {
    edit(server, [&](ZAFContextRef) {
        return ZAFSetKeyExpiration(key.getHandle(), expires.getZAFTime(), passphrase.data(),
                                   passphrase.size());
    });
}

void gAddRevoker(CVornServer& server, const CZAFKey& key, const CZAFKey& revoker,
                 const std::string& passphrase) {
    edit(server, [&](ZAFContextRef context) {
        return ZAFAddRevocationKey(key.getHandle(), revoker.getHandle(),
                                   ZAFOPassphrase(context, passphrase.c_str()), ZAFOLastOption());
    });
}

void gAddPhotoID(CVornServer& server, const CZAFKey& key, const std::string& jpeg,
                 const std::string& passphrase) {
    edit(server, [&](ZAFContextRef context) {
        return ZAFAddPhotoID(key.getHandle(), jpeg.data(), jpeg.size(),
                             ZAFOPassphrase(context, passphrase.c_str()), ZAFOLastOption());
    });
}

void gRemoveKeyObject(CVornServer& server, const CZAFDatabaseObject& object) {
    edit(server, [&](ZAFContextRef) {
        return ZAFDeleteKeyDBObj(server.getKeyDB()->getHandle(), object.getHandle());
    });
}

void gRevokeKeyObject(CVornServer& server, const CZAFDatabaseObject& object, const CZAFKey* revoker,
                      const std::string& passphrase, const SRevocationReason& reason) {
    edit(server, [&](ZAFContextRef context) {
        ZAFOptionListRef why = ZAFONullOption(context);
        if (reason.isGiven() &&
            (why = ZAFORevocationReason(context, reason.code, reason.text.c_str())) == nullptr)
            return ZAFError(kZAFError_BadParams);
        return ZAFRevoke(object.getHandle(), revoker != nullptr ? revoker->getHandle() : nullptr,
                         ZAFOPassphrase(context, passphrase.c_str()), why, ZAFOLastOption());
    });
}

bool gCheckSignature(const CZAFSignature& signature, bool& verified) {
    ZAFBoolean tried = 0;
    ZAFBoolean good = 0;
    check(ZAFCheckSignature(signature.getHandle(), &tried, &good));
    verified = good != 0;
    return tried != 0;
}

bool gPassphraseUnlocks(const CZAFKey& key, const std::string& passphrase) {
    return ZAFPassphraseIsValid(key.getHandle(), passphrase.c_str()) != 0;
}

void gExportKeySet(CVornServer& server, const CZAFKeySet& keys, bool withPrivate, bool armor,
                   ZAFExportFormat format, std::string& out) {
    guarded<CZAFKeyExportException>([&] {
        const ZAFContextRef context = contextOf(server);
        void* data = nullptr;
        size_t size = 0;
        check(ZAFExport(context, ZAFOExportKeySet(context, keys.getHandle()),
                        ZAFOAllocatedOutputBuffer(context, &data, 0, &size),
                        ZAFOExportPrivateKeys(context, withPrivate),
                        ZAFOArmorOutput(context, armor), ZAFOExportFormat(context, format),
                        ZAFOLastOption()));
        std::unique_ptr<void, ZAFError (*)(void*)> owned(data, ZAFFreeData);
        out.assign(static_cast<const char*>(data), size);
        if (withPrivate && data != nullptr) {
            volatile unsigned char* bytes = static_cast<unsigned char*>(data);
            for (size_t i = 0; i < size; ++i)
                bytes[i] = 0;
        }
    });
}

void gImportKeys(CVornServer& server, const std::string& data,
                 std::vector<SVornImportedKey>& report) {
    report.clear();
    guarded<CZAFKeyImportException>([&] {
        const ZAFContextRef context = contextOf(server);
        ZAFKeyDBRef imported = nullptr;
        check(ZAFImport(context, &imported, ZAFOInputBuffer(context, data.data(), data.size()),
                        ZAFOLastOption()));
        if (imported == nullptr)
            throw new CZAFSDKException(kZAFError_ImportNoKeyDB);
        std::unique_ptr<CZAFKeyDB> source(new CZAFKeyDB(server.getKeyDB()->getContext(), imported));
        const ZAFKeyDBRef target = server.getKeyDB()->getHandle();
        // The same cap as the console's import: a key flooded with strangers' certifications
        // would slow every listing of whoever holds it.
        check(ZAFLimitForeignCertifications(imported, target,
                                            CVornServer::kMaxForeignCertifications, nullptr));

        struct SEntry {
            ZAFKeyID id;
            bool known;
            SKeyShape before;
        };
        std::vector<SEntry> entries;
        std::unique_ptr<CZAFIterator> iter(source->getIterator());
        for (;;) {
            CZAFDatabaseObject* object = nullptr;
            const ZAFError code = iter->next(kZAFKeyDBObjType_Key, object);
            if (code == kZAFError_EndOfIteration)
                break;
            check(code);
            std::unique_ptr<CZAFKey> key(static_cast<CZAFKey*>(object));
            SEntry entry{};
            check(ZAFGetKeyID(key->getHandle(), &entry.id));
            entry.known = gKeyShapeOf(target, entry.id, entry.before);
            SVornImportedKey line;
            line.keyID = key->getKeyIDString_Short();
            line.userID = key->getPrimaryUserIDName();
            line.secret = key->isSecret();
            report.push_back(line);
            entries.push_back(entry);
        }
        iter.reset();

        ZAFBoolean changed = 0;
        check(ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(source->getHandle()), target, &changed));
        for (std::size_t i = 0; i < entries.size(); ++i) {
            SKeyShape after;
            ZAF_ASSERT_TAG(kTag, gKeyShapeOf(target, entries[i].id, after));
            if (!entries[i].known)
                report[i].outcome = SVornImportedKey::eNew;
            else if (!(after == entries[i].before))
                report[i].outcome = SVornImportedKey::eChanged;
        }
        if (changed)
            server.getKeyDB()->flush();
    });
}

std::vector<SVornGroup> gListGroups(CVornServer& server) {
    std::vector<SVornGroup> groups;
    guarded<CZAFKeyEditException>([&] {
        const ZAFGroupSetRef set = server.getGroupSet()->getHandle();
        uint32_t count = 0;
        check(ZAFCountGroupsInSet(set, &count));
        for (uint32_t i = 0; i < count; ++i) {
            ZAFGroupID id = 0;
            check(ZAFGetIndGroupID(set, i, &id));
            ZAFGroupInfo info{};
            check(ZAFGetGroupInfo(set, id, &info));
            SVornGroup group;
            group.name = info.name;
            group.description = info.description;
            group.keys = info.numKeys;
            group.groups = info.numGroups;
            groups.push_back(group);
        }
    });
    return groups;
}

void gAddToGroup(CVornServer& server, const std::string& name,
                 const std::vector<const CZAFKey*>& keys) {
    guarded<CZAFKeyEditException>([&] {
        CZAFGroupSet* groups = server.getGroupSet();
        ZAFGroupID id = 0;
        unsigned int found = 0;
        if (groups->getGroupByName(name, found))
            id = found;
        else
            check(ZAFNewGroup(groups->getHandle(), name.c_str(), "", &id));
        for (const CZAFKey* key : keys) {
            ZAFKeyID keyID{};
            check(ZAFGetKeyID(key->getHandle(), &keyID));
            const ZAFError code = ZAFAddKeyToGroup(groups->getHandle(), id, &keyID);
            if (code != kZAFError_ItemAlreadyExists)
                check(code);
        }
        groups->save();
    });
}

bool gRemoveGroup(CVornServer& server, const std::string& name) {
    bool removed = false;
    guarded<CZAFKeyEditException>([&] {
        CZAFGroupSet* groups = server.getGroupSet();
        unsigned int id = 0;
        if (!groups->getGroupByName(name, id))
            return;
        check(ZAFDeleteGroup(groups->getHandle(), id));
        groups->save();
        removed = true;
    });
    return removed;
}

CZAFKeySet* gGroupKeys(CVornServer& server, const std::string& name, unsigned int& missing) {
    CZAFKeySet* keys = nullptr;
    missing = 0;
    guarded<CZAFKeyEditException>([&] {
        CZAFGroupSet* groups = server.getGroupSet();
        unsigned int id = 0;
        if (groups->getGroupByName(name, id))
            keys = groups->getNewKeySet(id, server.getKeyDB(), missing);
    });
    return keys;
}

} // namespace oozaf
