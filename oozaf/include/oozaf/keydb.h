// keydb: owned wrappers over the toolkit's context, file specs, key database, key sets, iterators,
// group sets (key servers: keyserver.h), and the common base of the key database objects
// (keyobjects.h).
//
// Every wrapper holds one toolkit handle, obtained in its constructor and released in its
// destructor; none is copyable. An object returned by pointer is new and owned by the caller, who
// deletes it. Failing toolkit calls throw (by pointer) a CZAFSDKException with the toolkit's code,
// or the subclass named at the function. Destructors never throw: a failed release is logged as a
// warning. A wrapper and everything made from it is used by one thread at a time, like the toolkit
// context it comes from. Key sets and iterators must be deleted before their database, and the
// database before its context.
#ifndef OOZAF_KEYDB_H
#define OOZAF_KEYDB_H

#include <oozaf/nametables.h>
#include <oozaf/obj.h>
#include <zaf/zafkeys.h>

#include <cstdint>
#include <string>

namespace oozaf {

class CZAFDatabaseObject;
class CZAFGroupSet;
class CZAFIterator;
class CZAFKey;
class CZAFKeyServer;
class CZAFKeySet;

// Option flags of ZAFOpenKeyDBFile (kZAFOpenKeyDBFileOptions_... of zafkeys.h).
using ZAFOpenKeyDBFileOptions = uint32_t;

// A toolkit context. The handle stays valid until the wrapper is deleted.
class CZAFContext : public CZAFObj {
public:
    // Throws CZAFContextCreationException when the toolkit cannot make a context (for example
    // before ZAFsdkInit).
    CZAFContext();
    ~CZAFContext() override;
    CZAFContext(const CZAFContext&) = delete;
    CZAFContext& operator=(const CZAFContext&) = delete;

    ZAFContextRef getHandle() const { return m_context; }

private:
    ZAFContextRef m_context;
};

// A toolkit file spec naming a file by its full path (kept as given).
class CZAFFileSpec : public CZAFObj {
public:
    // Throws CZAFFileSpecCreationException (for example for an empty path).
    CZAFFileSpec(const CZAFContext& context, const std::string& path);
    ~CZAFFileSpec() override;
    CZAFFileSpec(const CZAFFileSpec&) = delete;
    CZAFFileSpec& operator=(const CZAFFileSpec&) = delete;

    ZAFFileSpecRef getHandle() const { return m_spec; }

private:
    ZAFFileSpecRef m_spec;
};

// A file spec of the toolkit's portable file layer: "/"-separated path, empty and "." components
// removed. Made with the context's memory manager; used for the random seed file.
class CNOLFileSpec : public CZAFObj {
public:
    // Throws CZAFFileSpecCreationException.
    CNOLFileSpec(const CZAFContext& context, const std::string& path);
    ~CNOLFileSpec() override;
    CNOLFileSpec(const CNOLFileSpec&) = delete;
    CNOLFileSpec& operator=(const CNOLFileSpec&) = delete;

    ZAFFileSpecRef getHandle() const { return m_spec; }

private:
    ZAFFileSpecRef m_spec;
};

// The key database: a public and a secret key ring opened together. Holds a reference to its
// context, which must outlive it.
class CZAFKeyDB : public CZAFObj {
public:
    // getMatchingKeySet flags.
    enum : unsigned int {
        kMatchEnabledOnly = 1,   // leave out disabled keys
        kMatchUnexpiredOnly = 2, // leave out keys whose expiration lies before now
        kMatchLocalOnly = 4      // never ask the key server
    };

    // Opens the two rings (`options` as ZAFOpenKeyDBFile takes them); an empty `secringPath`
    // opens the public ring alone. Throws CZAFFileSpecCreationException for an unusable path,
    // CZAFSDKException when the rings cannot be opened.
    CZAFKeyDB(const CZAFContext& context, ZAFOpenKeyDBFileOptions options,
              const std::string& pubringPath, const std::string& secringPath);
    // Adopts a database handle (a key server's or an import's result); null is an internal error.
    CZAFKeyDB(const CZAFContext& context, ZAFKeyDBRef keyDB);
    ~CZAFKeyDB() override;
    CZAFKeyDB(const CZAFKeyDB&) = delete;
    CZAFKeyDB& operator=(const CZAFKeyDB&) = delete;

    ZAFKeyDBRef getHandle() const { return m_keyDB; }
    const CZAFContext& getContext() const { return m_context; }

    // Merges the set's keys into this database (new keys, and what known keys lack).
    void CopyKeys(const CZAFKeySet* keySet);
    // Re-reads the key ring files; changes not yet flushed are kept.
    void Update();
    // Writes pending changes to the key ring files.
    void flush();
    // Whether every check the keys and their validities rest on was made (see
    // ZAFKeyDBChecksComplete): false while the check budget left some for a later read or trust
    // calculation, or before the first trust calculation of the database as it is.
    bool checksComplete() const;

    // Each returns a new key set or iterator; the caller deletes it before this database.
    // The root set is the database's own set of all its keys.
    CZAFKeySet* getRootKeySet() const;
    CZAFKeySet* getNewKeySet() const;
    CZAFKeySet* getNewEmptyKeySet() const;
    // Throws CZAFIteratorException (reason 501).
    CZAFIterator* getIterator() const;

    // The key named by `id`, a new CZAFKey owned by the caller: its short key ID ("0x" and 8 hex
    // digits, as the keys summary shows it), its long key ID (16 hex digits) or its fingerprint
    // (32 or 40 hex digits); blanks between groups of digits are allowed, "0x" is optional and
    // letter case is ignored. Only primary keys are named. Throws CZAFKeyNotFoundException
    // when no key matches or `id` is none of these forms, CZAFSDKException when the walk fails.
    CZAFKey* getKeyByID(const std::string& id) const;
    // Removes the key from the database (written on flush). On success deletes `*key` and sets
    // it to null; on failure throws CZAFSDKException and leaves `key` as it was.
    void removeKey(CZAFKey*& key);
    // The keys matching `pattern`, a new set owned by the caller:
    //  - "0x"/"0X" + hex digits: keys whose own or any subkey's key ID has that value (an
    //    unusable key ID text throws CZAFSDKException);
    //  - a fingerprint (32 or 40 hex digits, "0x" optional, blanks allowed between groups): the
    //    key whose own or a subkey's fingerprint it is;
    //  - anything else: keys with a user ID containing the pattern (case-sensitive), plus,
    //    when the pattern is not empty and `groupSet` is given, the keys of the group of that
    //    name found in this database.
    // `keyServer` (may be null) is asked instead of this database unless kMatchLocalOnly is
    // set; groups are not used then. kMatchEnabledOnly and kMatchUnexpiredOnly narrow the result.
    CZAFKeySet* getMatchingKeySet(const std::string& pattern, unsigned int flags,
                                  CZAFKeyServer* keyServer, CZAFGroupSet* groupSet) const;
    // Counts the keys held without their secret part (`keys`) and the key pairs (`pairs`).
    void countKeys(unsigned int& keys, unsigned int& pairs) const;

private:
    ZAFKeyDBRef m_keyDB;
    const CZAFContext& m_context;
};

// A set of keys of one database.
class CZAFKeySet : public CZAFObj {
public:
    // Adopts a key set handle (freed by the destructor); null is an internal error.
    explicit CZAFKeySet(ZAFKeySetRef keySet);
    ~CZAFKeySet() override;
    CZAFKeySet(const CZAFKeySet&) = delete;
    CZAFKeySet& operator=(const CZAFKeySet&) = delete;

    ZAFKeySetRef getHandle() const { return m_keySet; }

    // A new iterator over the set. Throws CZAFIteratorException (reason 500).
    CZAFIterator* getIterator() const;
    // Computes the validity of the set's keys from the trust web of their database.
    void calculateTrust();
    // The keys passing `filter`, as a new set; the filter stays the caller's.
    CZAFKeySet* filter(ZAFFilterRef filter) const;
    // Adds the other set's keys (same database) to this one.
    void add(const CZAFKeySet* other);
    // The number of keys in the set.
    unsigned int count() const;
    // Writes the set's keys to `path`: with secret parts when `withPrivate`, ASCII armoured when
    // `armor`; `format` kZAFExportFormat_Compatible gives the compatible form, any other value
    // the complete one.
    void exportToFile(CZAFContext& context, const std::string& path, bool withPrivate, bool armor,
                      ZAFExportFormat format) const;

private:
    friend class CZAFKeyDB;
    // Wraps the database's root set, which the database owns: the destructor leaves it alone.
    struct SBorrowed {};
    CZAFKeySet(ZAFKeySetRef keySet, SBorrowed);

    ZAFKeySetRef m_keySet;
    bool m_owned;
    // A key server's answer that only this set refers to; deleted after the set.
    CZAFKeyDB* m_database;
};

// Walks the objects of a key set or a whole database. Object types are the toolkit's
// (kZAFKeyDBObjType_...): 1 key, 2 subkey, 4 user ID, 8 signature. Keys move between keys; the
// other types move among the children of the current key (signatures: of the current user ID or
// subkey).
class CZAFIterator : public CZAFObj {
public:
    // Throw CZAFIteratorException (reason 500 from a key set, 501 from a database) whose cause is
    // a CZAFSDKException with the toolkit's code. A null argument is an internal error.
    explicit CZAFIterator(const CZAFKeySet* keySet);
    explicit CZAFIterator(const CZAFKeyDB* keyDB);
    ~CZAFIterator() override;
    CZAFIterator(const CZAFIterator&) = delete;
    CZAFIterator& operator=(const CZAFIterator&) = delete;

    ZAFKeyIterRef getHandle() const { return m_iter; }

    // Moves back before the first object of the type.
    void rewind(int32_t type);
    // Set `object` to null, move, and on success (0) set it to a new wrapper owned by the
    // caller. Return the toolkit code unchanged: 0, kZAFError_EndOfIteration or an error.
    ZAFError next(int32_t type, CZAFDatabaseObject*& object);
    ZAFError prev(int32_t type, CZAFDatabaseObject*& object);
    // Positions the iterator on `object` (a key, user ID, subkey or signature). Null is an
    // internal error.
    void seek(const CZAFDatabaseObject* object);

    // A new wrapper of the right class for an object of `type`: CZAFKey::createInstance for
    // keys, CZAFSubKey, CZAFUserID, CZAFSignature::create for signatures. Any other type throws
    // CZAFNoSuchObjectTypeError.
    static CZAFDatabaseObject* getObject(int32_t type, ZAFKeyDBObjRef object);

private:
    ZAFError move(bool forward, int32_t type, CZAFDatabaseObject*& object);

    ZAFKeyIterRef m_iter;
};

// The groups file: named groups of keys. Holds a reference to its context.
class CZAFGroupSet : public CZAFObj {
public:
    // Reads the groups file at `path`, creating it empty when nothing is there (throws what
    // CZAFFileManager::createEmptyFile throws when that fails). A file that cannot be read or
    // parsed gives an empty group set; only a failure to make that throws CZAFSDKException.
    CZAFGroupSet(CZAFContext& context, const std::string& path);
    // Saves a changed set to its path; a failure is logged as a warning, never thrown. Call
    // save() first to learn whether it worked.
    ~CZAFGroupSet() override;
    CZAFGroupSet(const CZAFGroupSet&) = delete;
    CZAFGroupSet& operator=(const CZAFGroupSet&) = delete;

    ZAFGroupSetRef getHandle() const { return m_groupSet; }
    const std::string& getPath() const { return m_path; }

    // Writes the set to its path when it has unsaved changes; throws CZAFSDKException (or
    // CZAFFileSpecCreationException) when that fails, and the changes then stay pending.
    void save();
    // The ID of the first group whose name equals `name` exactly (case matters).
    bool getGroupByName(const std::string& name, unsigned int& groupID) const;
    // The keys of the group's members (sub-groups included) found in `keyDB`, as a new set;
    // `count` receives the number of member key IDs the database does not hold.
    CZAFKeySet* getNewKeySet(unsigned int groupID, const CZAFKeyDB* keyDB,
                             unsigned int& count) const;

private:
    std::string m_path;
    CZAFContext& m_context;
    ZAFGroupSetRef m_groupSet;
};

// Base of the key database objects (keys, subkeys, user IDs, signatures; keyobjects.h). Holds the
// object's handle without owning it: the database owns the object, which stays valid while the
// database (or a key set or iterator holding its key) lives. A change to a key makes a new version
// of it; wrappers of the old version keep showing the old state.
class CZAFDatabaseObject : public CZAFObj {
public:
    // A null handle is an internal error.
    explicit CZAFDatabaseObject(ZAFKeyDBObjRef object);
    ~CZAFDatabaseObject() override = default;
    CZAFDatabaseObject(const CZAFDatabaseObject&) = delete;
    CZAFDatabaseObject& operator=(const CZAFDatabaseObject&) = delete;

    ZAFKeyDBObjRef getHandle() const { return m_object; }

    // The toolkit's object type (1 key, 2 subkey, 4 user ID, 8 signature).
    int32_t getObjectType() const { return getObjectType(m_object); }
    static int32_t getObjectType(ZAFKeyDBObjRef object);

    // Property reads. Each failure throws CZAFPropertyAccessError(property, code).
    static bool getBooleanProperty(ZAFKeyDBObjRef object, int32_t property);
    static int32_t getNumericProperty(ZAFKeyDBObjRef object, int32_t property);

protected:
    bool getBooleanProperty(int32_t property) const;
    int32_t getNumericProperty(int32_t property) const;
    ZAFTime getTimeProperty(int32_t property) const;
    // The data, read into a buffer of the size the toolkit reports; empty data gives "".
    std::string getDataProperty(int32_t property) const;
    // The data as the toolkit allocates it (copied, then released).
    std::string getAllocatedDataProperty(int32_t property) const;

private:
    ZAFKeyDBObjRef m_object;
};

} // namespace oozaf

#endif
