// keycommands: the key commands of the engine (listing, generation, import and export, editing,
// checking), the group commands and the small informational commands.
#include "engine_internal.h"

#include <oozaf/filemanager.h>
#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserveredit.h>
#include <zaf/zafkeyedit.h>
#include <zaf/zafkeys.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <unistd.h>

using namespace oozaf;

namespace orxengine {

namespace {

template <class T> using Owned = std::unique_ptr<T>;

// ---- texts ----

std::string algName(int32_t alg) {
    try {
        return gGetAlgName(static_cast<ZAFPublicKeyAlgorithm>(alg), false);
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        return "UNKNOWN(" + std::to_string(alg) + ")";
    }
}

std::string validityName(int32_t validity) {
    try {
        return gGetValidityName(static_cast<ZAFValidity>(validity), true);
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        return "Unknown";
    }
}

const char* trustWord(unsigned int trust) {
    switch (trust) {
    case kZAFTrust_Unknown:
        return "unknown";
    case kZAFTrust_Never:
        return "never";
    case kZAFTrust_Marginal:
        return "marginal";
    case kZAFTrust_Complete:
        return "complete";
    case kZAFTrust_Implicit:
        return "implicit";
    default:
        return "undefined";
    }
}

char validityLetter(int32_t validity) {
    switch (validity) {
    case oozaf::kZAFValidity_Invalid:
        return 'i';
    case oozaf::kZAFValidity_Marginal:
        return 'm';
    case oozaf::kZAFValidity_Complete:
        return 'f';
    default:
        return 'u';
    }
}

std::string secondsOf(const CZAFTime& t) {
    return t.isNever() ? "" : std::to_string(t.getZAFTime());
}

// A field of the colon format: ':' and '\' and control characters as \xNN.
std::string colonField(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == ':' || c == '\\' || c == 0x7F) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Text shown to a person: control characters as '?'.
std::string shown(const std::string& text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

std::string hexOf(const std::string& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

// ---- walking keys ----

// Calls `f` for each object of `type` under the iterator's current position.
template <class T, class F> void eachChild(CZAFIterator& iter, int32_t type, F&& f) {
    iter.rewind(type);
    for (;;) {
        CZAFDatabaseObject* object = nullptr;
        const ZAFError code = iter.next(type, object);
        if (code == kZAFError_EndOfIteration)
            return;
        if (code != kZAFError_NoErr)
            throw new CZAFSDKException(code);
        Owned<T> child(static_cast<T*>(object));
        f(*child);
    }
}

// Every key of the set, in set order.
std::vector<Owned<CZAFKey>> keysOf(const CZAFKeySet& set) {
    std::vector<Owned<CZAFKey>> keys;
    Owned<CZAFIterator> iter(set.getIterator());
    for (;;) {
        CZAFDatabaseObject* object = nullptr;
        const ZAFError code = iter->next(kZAFKeyDBObjType_Key, object);
        if (code == kZAFError_EndOfIteration)
            break;
        if (code != kZAFError_NoErr)
            throw new CZAFSDKException(code);
        keys.emplace_back(static_cast<CZAFKey*>(object));
    }
    return keys;
}

std::string longID(const CZAFKey& key) { return key.getKeyIDString_Long().substr(2); }

// ---- listing ----

struct SListing {
    bool colons = false;
    bool userIDs = false;
    bool sigs = false;
    bool fingerprint = false;
    bool subkeys = false;
    bool revokers = false;
    eFingerprintView view = eFingerprintViewHex;
    std::map<std::string, std::string> signerNames; // short key ID -> primary user ID
};

std::string fingerprintText(const CZAFKey& key, eFingerprintView view) {
    std::vector<std::string> parts;
    CZAFKey::formatFingerprint(key.getFingerprint(), view, parts);
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            out += (view == eFingerprintViewHex && i % 2 == 0) ? "  " : " ";
        out += parts[i];
    }
    return out;
}

std::string keyFlags(const CZAFKey& key, bool colons) {
    std::string flags;
    const std::pair<bool, const char*> all[] = {{key.isRevoked(), "revoked"},
                                                {key.isExpired(), "expired"},
                                                {key.isDisabled(), "disabled"},
                                                {key.isSecret(), "secret"}};
    for (const auto& f : all) {
        if (!f.first)
            continue;
        if (colons)
            flags += f.second[0];
        else if (f.second[0] != 's')
            flags += std::string(" [") + f.second + "]";
    }
    return flags;
}

void listKey(CEngineRun& run, CZAFKeyDB& db, const CZAFKey& key, SListing& how, std::string& out) {
    const char* kind = key.isSecret() ? "sec" : "pub";
    const CZAFTime created = key.getCreationTime();
    const CZAFTime expires = key.getExpirationTime();
    const int32_t validity = key.getValidity();
    if (how.colons) {
        char v = validityLetter(validity);
        if (key.isRevoked())
            v = 'r';
        else if (key.isExpired())
            v = 'e';
        out += std::string(kind) + ":" + v + ":" + std::to_string(key.getSize()) + ":" +
               std::to_string(key.getAlg()) + ":" + longID(key) + ":" + secondsOf(created) + ":" +
               secondsOf(expires) + ":" + trustWord(key.getTrust()) + ":" + keyFlags(key, true) +
               ":" + colonField(key.getPrimaryUserIDName()) + ":\n";
        if (how.fingerprint)
            out += "fpr:::::::::" + hexOf(key.getFingerprint()) + ":\n";
    } else {
        char line[160];
        std::snprintf(line, sizeof line, "%s  %-7s %5d  %s  %s  %-8s  %-9s ", kind,
                      algName(key.getAlg()).c_str(), key.getSize(),
                      key.getKeyIDString_Long().c_str(), run.dateText(created, false).c_str(),
                      validityName(validity).c_str(), trustWord(key.getTrust()));
        out += line + shown(key.getPrimaryUserIDName()) + keyFlags(key, false);
        if (!expires.isNever())
            out += " [expires " + run.dateText(expires, false) + "]";
        out += "\n";
        if (how.fingerprint)
            out += "     Fingerprint: " + fingerprintText(key, how.view) + "\n";
    }
    gListingSections(run, key, how.colons, how.revokers, out);
    if (!how.userIDs && !how.sigs && !how.subkeys)
        return;

    Owned<CZAFIterator> iter(db.getIterator());
    iter->seek(&key);
    if (how.userIDs || how.sigs) {
        eachChild<CZAFUserID>(*iter, kZAFKeyDBObjType_UserID, [&](CZAFUserID& uid) {
            const bool photo = uid.getType() == kZAFAttribute_Image;
            const int32_t uidValidity = CZAFDatabaseObject::getNumericProperty(
                uid.getHandle(), kZAFUserIDProperty_Validity);
            if (how.colons)
                out += std::string(photo ? "uat" : "uid") + ":" + validityLetter(uidValidity) +
                       "::::::::" + colonField(photo ? "photo" : uid.getName()) + ":\n";
            else
                out += std::string(photo ? "uat" : "uid") + "  " + validityName(uidValidity) +
                       "  " + (photo ? "[photo]" : shown(uid.getName())) + "\n";
            if (!how.sigs)
                return;
            eachChild<CZAFSignature>(*iter, kZAFKeyDBObjType_Signature, [&](CZAFSignature& sig) {
                std::string signer;
                try {
                    signer = sig.getSignerID(false);
                } catch (CZAFThrowable* e) {
                    CZAFThrowableGuard guard(e);
                    signer = "0x00000000";
                }
                const auto name = how.signerNames.find(CZAFUtil::toUpper(signer.substr(2)));
                const std::string who =
                    name != how.signerNames.end() ? name->second : std::string("(unknown signer)");
                char status = '?';
                bool good = false;
                if (gCheckSignature(sig, good))
                    status = good ? '!' : '-';
                const bool revocation = CZAFDatabaseObject::getBooleanProperty(
                    sig.getHandle(), kZAFSigProperty_IsRevocation);
                if (how.colons) {
                    std::string flags;
                    if (sig.isRevoked())
                        flags += 'r';
                    if (revocation)
                        flags += 'R';
                    if (sig.isExpired())
                        flags += 'e';
                    std::string signerLong;
                    try {
                        signerLong = sig.getSignerID(true).substr(2);
                    } catch (CZAFThrowable* e) {
                        CZAFThrowableGuard guard(e);
                    }
                    out += std::string("sig:") + status + "::" + std::to_string(sig.getAlg()) +
                           ":" + signerLong + ":" + secondsOf(sig.getCreationTime()) + ":" +
                           secondsOf(sig.getExpirationTime()) + "::" + flags + ":" +
                           colonField(name != how.signerNames.end() ? name->second : "") + ":\n";
                } else {
                    const char* state = status == '!'   ? "good"
                                        : status == '-' ? "BAD"
                                                        : "unchecked";
                    // The issuer's long ID where the signature names it (short IDs collide).
                    std::string shownSigner = signer;
                    try {
                        shownSigner = sig.getSignerID(true);
                    } catch (CZAFThrowable* e) {
                        CZAFThrowableGuard guard(e);
                    }
                    out += std::string(revocation ? "rev" : "sig") + "  " + shownSigner + "  " +
                           run.dateText(sig.getCreationTime(), false) + "  " + state +
                           (sig.isRevoked() ? " [revoked]" : "") + "  " + shown(who) + "\n";
                }
            });
        });
    }
    if (how.subkeys || how.userIDs) {
        eachChild<CZAFSubKey>(*iter, kZAFKeyDBObjType_SubKey, [&](CZAFSubKey& sub) {
            const int32_t alg = CZAFDatabaseObject::getNumericProperty(
                sub.getHandle(), kZAFSubKeyProperty_AlgorithmID);
            if (how.colons) {
                const char v = sub.isRevoked() ? 'r' : sub.isExpired() ? 'e' : '-';
                out += std::string("sub:") + v + ":" + std::to_string(sub.getSize()) + ":" +
                       std::to_string(alg) + ":" + sub.getSubkeyIDString_Long().substr(2) + ":" +
                       secondsOf(sub.getCreationTime()) + ":" + secondsOf(sub.getExpirationTime()) +
                       ":::\n";
            } else {
                out += "sub  " + algName(alg) + " " + std::to_string(sub.getSize()) + "  " +
                       sub.getSubkeyIDString_Long() + "  " +
                       run.dateText(sub.getCreationTime(), false) +
                       (sub.isRevoked() ? " [revoked]" : "") +
                       (sub.getExpirationTime().isNever()
                            ? std::string()
                            : " [expires " + run.dateText(sub.getExpirationTime(), false) + "]") +
                       "\n";
            }
        });
    }
}

// The sort order of --sort and --reverse.
void sortKeys(CEngineRun& run, std::vector<Owned<CZAFKey>>& keys) {
    int ordering = kZAFKeyOrdering_Any;
    run.cfg().getValue(eZAFOpSort, ordering);
    const bool reverse = run.setting(eZAFOpReverse, false);
    std::function<bool(const CZAFKey&, const CZAFKey&)> less;
    switch (ordering) {
    case kZAFKeyOrdering_UserID:
        less = [](const CZAFKey& a, const CZAFKey& b) {
            return a.getPrimaryUserIDName() < b.getPrimaryUserIDName();
        };
        break;
    case kZAFKeyOrdering_KeyID:
        less = [](const CZAFKey& a, const CZAFKey& b) {
            return a.getKeyIDString_Short() < b.getKeyIDString_Short();
        };
        break;
    case kZAFKeyOrdering_KeySize:
    case kZAFKeyOrdering_SubKeySize:
        less = [](const CZAFKey& a, const CZAFKey& b) { return a.getSize() < b.getSize(); };
        break;
    case kZAFKeyOrdering_Validity:
        less = [](const CZAFKey& a, const CZAFKey& b) { return a.getValidity() < b.getValidity(); };
        break;
    case kZAFKeyOrdering_Trust:
        less = [](const CZAFKey& a, const CZAFKey& b) { return a.getTrust() < b.getTrust(); };
        break;
    case kZAFKeyOrdering_CreationDate:
        less = [](const CZAFKey& a, const CZAFKey& b) {
            return a.getCreationTime() < b.getCreationTime();
        };
        break;
    case kZAFKeyOrdering_ExpirationDate:
        less = [](const CZAFKey& a, const CZAFKey& b) {
            return a.getExpirationTime() < b.getExpirationTime();
        };
        break;
    default:
        break;
    }
    if (less)
        std::stable_sort(
            keys.begin(), keys.end(),
            [&](const Owned<CZAFKey>& a, const Owned<CZAFKey>& b) { return less(*a, *b); });
    if (reverse)
        std::reverse(keys.begin(), keys.end());
}

void listKeys(CEngineRun& run, SListing& how) {
    Owned<CZAFKeySet> set(gFilterListing(run, run.findKeys(run.args())));
    // Validity comes from the whole web of trust, not only from the keys listed.
    Owned<CZAFKeySet> all(run.server().keyList());
    all->calculateTrust();
    int view = eFingerprintViewHex;
    if (run.cfg().getValue(eZAFOpFingerprintView, view)) {
        how.fingerprint = true;
        how.view = static_cast<eFingerprintView>(view);
    }
    if (how.sigs) {
        for (const Owned<CZAFKey>& key : keysOf(*all))
            how.signerNames[longID(*key).substr(8)] = key->getPrimaryUserIDName();
    }
    std::vector<Owned<CZAFKey>> keys = keysOf(*set);
    sortKeys(run, keys);
    std::string text;
    for (const Owned<CZAFKey>& key : keys) {
        run.checkCancel();
        listKey(run, *run.server().getKeyDB(), *key, how, text);
    }
    if (!how.colons)
        text += std::to_string(keys.size()) + (keys.size() == 1 ? " key\n" : " keys\n");
    run.writeListing(text, how.colons);
}

// ---- helpers of the editing commands ----

// The key and its subkey with the ID `id` (a key ID text naming a subkey).
Owned<CZAFSubKey> findSubkey(CEngineRun& run, const std::string& id, Owned<CZAFKey>& owner) {
    if (!CZAFUtil::checkValidKeyID(id))
        fail(kZAFvorn_Usage, "'" + id + "' is not a subkey ID (0x and 8 or 16 hex digits)");
    std::string wanted = CZAFUtil::toUpper(id);
    if (wanted.compare(0, 2, "0X") != 0)
        wanted = "0X" + wanted;
    owner = run.findKey(id);
    Owned<CZAFIterator> iter(run.server().getKeyDB()->getIterator());
    iter->seek(owner.get());
    Owned<CZAFSubKey> found;
    eachChild<CZAFSubKey>(*iter, kZAFKeyDBObjType_SubKey, [&](CZAFSubKey& sub) {
        const std::string shortID = CZAFUtil::toUpper(sub.getSubkeyIDString_Short());
        const std::string longIDText = CZAFUtil::toUpper(sub.getSubkeyIDString_Long());
        if (!found && (shortID == wanted || longIDText == wanted))
            found.reset(new CZAFSubKey(sub.getHandle()));
    });
    if (!found)
        fail(kZAFvorn_NoKey, id + " is a primary key, not a subkey");
    return found;
}

// The certifications by `signer` on the key's user IDs (not revocations).
std::vector<Owned<CZAFSignature>> certificationsBy(CEngineRun& run, const CZAFKey& key,
                                                   const CZAFKey& signer) {
    std::vector<Owned<CZAFSignature>> found;
    const std::string signerID = CZAFUtil::toUpper(signer.getKeyIDString_Long());
    Owned<CZAFIterator> iter(run.server().getKeyDB()->getIterator());
    iter->seek(&key);
    eachChild<CZAFUserID>(*iter, kZAFKeyDBObjType_UserID, [&](CZAFUserID&) {
        eachChild<CZAFSignature>(*iter, kZAFKeyDBObjType_Signature, [&](CZAFSignature& sig) {
            std::string issuer;
            try {
                issuer = CZAFUtil::toUpper(sig.getSignerID(true));
            } catch (CZAFThrowable* e) {
                CZAFThrowableGuard guard(e);
                return;
            }
            if (issuer == signerID && !CZAFDatabaseObject::getBooleanProperty(
                                          sig.getHandle(), kZAFSigProperty_IsRevocation))
                found.emplace_back(new CZAFSignature(sig.getHandle()));
        });
    });
    return found;
}

std::string describeKey(const CZAFKey& key) {
    return key.getKeyIDString_Short() + " " + shown(key.getPrimaryUserIDName());
}

} // namespace

// ---- listing commands ----

void gCmdKeyList(CEngineRun& run) {
    SListing how;
    how.colons = run.cmd().has("--with-colons");
    how.userIDs = run.cmd().has("--with-userids");
    how.sigs = run.cmd().has("--with-sigs");
    listKeys(run, how);
}

void gCmdKeyDetail(CEngineRun& run) {
    SListing how;
    how.colons = run.cmd().has("--with-colons");
    how.userIDs = how.sigs = how.fingerprint = how.subkeys = how.revokers = true;
    listKeys(run, how);
}

void gCmdKeyCheck(CEngineRun& run) {
    Owned<CZAFKeySet> set(run.findKeys(run.args()));
    Owned<CZAFKeySet>(run.server().keyList())->calculateTrust();
    const bool colons = run.cmd().has("--with-colons");
    std::string text;
    unsigned int totalBad = 0;
    for (const Owned<CZAFKey>& key : keysOf(*set)) {
        run.checkCancel();
        unsigned int all = 0, good = 0, bad = 0, unchecked = 0;
        Owned<CZAFIterator> iter(run.server().getKeyDB()->getIterator());
        iter->seek(key.get());
        eachChild<CZAFUserID>(*iter, kZAFKeyDBObjType_UserID, [&](CZAFUserID&) {
            eachChild<CZAFSignature>(*iter, kZAFKeyDBObjType_Signature, [&](CZAFSignature& sig) {
                ++all;
                bool verified = false;
                if (!gCheckSignature(sig, verified))
                    ++unchecked;
                else if (verified)
                    ++good;
                else
                    ++bad;
            });
        });
        totalBad += bad;
        if (colons)
            text += "chk:" + longID(*key) + ":" + std::to_string(all) + ":" + std::to_string(good) +
                    ":" + std::to_string(bad) + ":" + std::to_string(unchecked) + ":" +
                    colonField(key->getPrimaryUserIDName()) + ":\n";
        else
            text += describeKey(*key) + ": " + std::to_string(all) + " signatures, " +
                    std::to_string(good) + " good, " + std::to_string(bad) + " bad, " +
                    std::to_string(unchecked) + " not checked (issuer not held)\n";
    }
    run.writeListing(text, colons);
    if (totalBad > 0)
        fail(kZAFvorn_BadSignature, std::to_string(totalBad) + " signatures do not verify");
}

// ---- key generation ----

void gCmdKeyGen(CEngineRun& run) {
    int typeValue = eKeyTypeRSA;
    const bool typeGiven = run.cfg().getValue(eZAFOpKeyType, typeValue);
    if (run.cmd().has("--rsa-version")) {
        const std::string version = run.cmd().arg("--rsa-version");
        if (version != "3" && version != "4")
            fail(kZAFvorn_Usage, "--rsa-version takes 3 (RSA-Legacy) or 4 (RSA)");
        if (typeGiven && typeValue == eKeyTypeDHDSS)
            fail(kZAFvorn_Usage, "contradictory: --rsa-version and a DSS key type");
        typeValue = version == "3" ? eKeyTypeRSALegacy : eKeyTypeRSA;
    }
    const eKeyType type = static_cast<eKeyType>(typeValue);
    // Elliptic-curve keys are named by their curve's size; without one, Ed25519.
    const int size = run.setting(eZAFOpKeySize, type == eKeyTypeECC ? 255 : 2048);
    if (size <= 0 || size > 65535)
        fail(kZAFvorn_Usage, "--key-size " + std::to_string(size) + " is not a key size");
    ZAFCipherAlgorithm cipher = kZAFCipherAlgorithm_AES256;
    run.chosenCipher(cipher);
    const bool signOnly = run.setting(eZAFOpSignOnly, false);
    const int days = run.setting(eZAFOpExpiresAfter, 0);
    if (days < 0 || days > 36500)
        fail(kZAFvorn_Usage, "--expires-after takes 0 (never) to 36500 days");

    std::string userID;
    const auto* given = run.cmd().getArgs("--userid");
    if (given != nullptr) {
        if (given->size() != 1)
            fail(kZAFvorn_Usage, "--key-gen takes one --userid");
        userID = given->front();
    } else if (!run.cmd().has("--batch-mode") && run.io().canPrompt() &&
               run.setting(eZAFOpPassphraseFD, -1) < 0) {
        CSecret typed;
        // The prompt reads without echo; a user ID is no secret, so ask the terminal plainly.
        FILE* tty = std::fopen("/dev/tty", "r+");
        if (tty == nullptr)
            fail(kZAFvorn_Usage, "--key-gen needs --userid");
        std::fputs("User ID (Name <email>): ", tty);
        std::fflush(tty);
        char line[4096];
        if (std::fgets(line, sizeof line, tty) != nullptr)
            userID = line;
        std::fclose(tty);
        while (!userID.empty() && (userID.back() == '\n' || userID.back() == '\r'))
            userID.pop_back();
    }
    if (userID.empty())
        fail(kZAFvorn_Usage, "--key-gen needs --userid \"Name <email>\"");

    CSecret passphrase;
    run.readNewPassphrase("the new key", passphrase);

    CZAFTime expiry;
    if (days > 0)
        expiry = CZAFTime::today() + static_cast<unsigned int>(days) * 86400u;
    if (!run.setting(eZAFOpRandomDevice, std::string()).empty())
        run.feedRandomDevice(
            run.server().neededEntropyForKeyPair(type, static_cast<uint16_t>(size)));
    run.note("generating " +
             CZAFKey::describeKeyPair(type, static_cast<unsigned int>(size), signOnly) + " for " +
             shown(userID) + " ...");
    run.server().generateKeyPair(userID, passphrase.str(), type, cipher,
                                 static_cast<uint16_t>(size),
                                 run.setting(eZAFOpADKKey, std::string()), signOnly, expiry);
    // The new key: the newest key pair with that user ID.
    Owned<CZAFKeySet> set(run.server().getKeyDB()->getMatchingKeySet(userID, 0, nullptr, nullptr));
    Owned<CZAFKey> newest;
    for (Owned<CZAFKey>& key : keysOf(*set))
        if (key->isSecret() && (!newest || key->getCreationTime() >= newest->getCreationTime()))
            newest = std::move(key);
    if (newest)
        run.out("key " + describeKey(*newest) + " generated\n");
}

// ---- import and export ----

void gAppendImportReport(const std::vector<SVornImportedKey>& report, bool colons,
                         unsigned int counts[3], std::string& text) {
    static const char* const words[] = {"new", "changed", "unchanged"};
    for (const SVornImportedKey& key : report) {
        ++counts[key.outcome];
        if (colons)
            text += std::string("imp:") + words[key.outcome] + ":" + key.keyID.substr(2) + ":" +
                    (key.secret ? "s" : "") + ":" + colonField(key.userID) + ":\n";
        else
            text += std::string(key.secret ? "key pair " : "key ") + key.keyID + " " +
                    shown(key.userID) + ": " + words[key.outcome] + "\n";
    }
}

std::string gImportSummary(const unsigned int counts[3]) {
    return std::to_string(counts[0] + counts[1] + counts[2]) +
           " keys read: " + std::to_string(counts[0]) + " new, " + std::to_string(counts[1]) +
           " changed, " + std::to_string(counts[2]) + " unchanged\n";
}

std::string gColonField(const std::string& text) { return colonField(text); }
std::string gShownText(const std::string& text) { return shown(text); }
std::string gAlgorithmName(int32_t algorithm) { return algName(algorithm); }

void gCmdKeyAdd(CEngineRun& run) {
    std::vector<std::string> inputs = run.args();
    if (run.cmd().has("--input"))
        inputs.push_back(run.cmd().arg("--input"));
    if (inputs.empty())
        inputs.push_back("-");
    // Read everything first: an unreadable file changes nothing.
    std::vector<std::string> data;
    for (const std::string& path : inputs)
        data.push_back(run.readInput(path));
    const bool colons = run.cmd().has("--with-colons");
    unsigned int counts[3] = {0, 0, 0};
    std::string text;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        run.checkCancel();
        const std::string name = inputs[i] == "-" ? "standard input" : inputs[i];
        std::vector<SVornImportedKey> report;
        try {
            gImportKeys(run.server(), data[i], report);
        } catch (CZAFThrowable* e) {
            SEngineError error = gDescribeThrowable(e);
            if (error.code == kZAFvorn_Failed)
                error.code = kZAFvorn_BadData;
            fail(error.code, name + ": " + error.message);
        }
        if (report.empty())
            fail(kZAFvorn_BadData, name + ": no keys found");
        gAppendImportReport(report, colons, counts, text);
    }
    if (!colons)
        text += gImportSummary(counts);
    run.out(text);
}

void gCmdKeyExport(CEngineRun& run) {
    Owned<CZAFKeySet> set(run.findKeys(run.args()));
    const bool withPrivate = run.cmd().has("--with-private");
    int format = oozaf::kZAFExportFormat_Complete;
    const bool formatGiven = run.cfg().getValue(eZAFOpExportFormat, format);
    if (run.cmd().has("--compatible")) {
        if (formatGiven && run.cmd().has("--export-format") &&
            format != oozaf::kZAFExportFormat_Compatible)
            fail(kZAFvorn_Usage, "contradictory: --compatible and --export-format Complete");
        format = oozaf::kZAFExportFormat_Compatible;
    }
    std::string data;
    gExportKeySet(run.server(), *set, withPrivate, run.setting(eZAFOpArmor, false),
                  static_cast<ZAFExportFormat>(format), data);
    Owned<COutput> output(run.openOutput(withPrivate));
    output->write(data);
    CZAFUtil::wipe(data);
    output->commit();
}

void gCmdKeyRemove(CEngineRun& run) {
    std::vector<Owned<CZAFKey>> keys;
    for (const std::string& name : run.args()) {
        Owned<CZAFKey> key = run.findKey(name);
        if (key->isSecret() && !run.setting(eZAFOpForce, false))
            fail(kZAFvorn_Usage,
                 describeKey(*key) + " has a secret part; add --force to remove the key pair");
        keys.push_back(std::move(key));
    }
    for (Owned<CZAFKey>& key : keys) {
        const std::string what = describeKey(*key);
        run.confirmOrStop(std::string("Remove ") +
                          (key->isSecret() ? "the key pair " : "the key ") + what + "?");
        CZAFKey* raw = key.release();
        try {
            run.server().removeKey(raw);
        } catch (...) {
            delete raw;
            throw;
        }
        run.out("key " + what + " removed\n");
    }
}

// ---- certifications and revocations ----

void gCmdKeySign(CEngineRun& run) {
    Owned<CZAFKey> target = run.findKey(run.args().front());
    Owned<CZAFKey> signer = run.signingKey(false);
    int typeValue = eSigTypeExportable;
    const bool typeGiven = run.cfg().getValue(eZAFOpSigType, typeValue);
    if (run.cmd().has("--exportable")) {
        if (typeGiven && typeValue == eSigTypeLocal)
            fail(kZAFvorn_Usage, "--exportable contradicts --sig-type Local");
        if (!typeGiven)
            typeValue = eSigTypeExportable;
    }
    const int depth = run.setting(eZAFOpDepth, 0);
    if (depth < 0)
        fail(kZAFvorn_Usage, "--depth must not be negative");
    CSecret passphrase;
    run.readKeyPassphrase(*signer, passphrase);
    run.server().signKey(target.get(), signer.get(), static_cast<eSigType>(typeValue),
                         run.cmd().arg("--regexp"), passphrase.str(),
                         static_cast<unsigned int>(depth), CZAFTime());
    run.out("key " + describeKey(*target) + " signed by " + signer->getKeyIDString_Short() + "\n");
}

void gCmdRevoke(CEngineRun& run) {
    Owned<CZAFKey> key = run.findKey(run.args().front());
    Owned<CZAFKey> revoker;
    if (run.cmd().has("--revoke-with"))
        revoker = run.findKey(run.cmd().arg("--revoke-with"), true);
    else if (!key->isSecret())
        fail(kZAFvorn_NoKey, "the secret part of " + key->getKeyIDString_Short() +
                                 " is not held; name a designated revoker with --revoke-with");
    run.confirmOrStop("Revoke the key " + describeKey(*key) + "? This cannot be undone.");
    CSecret passphrase;
    const SRevocationReason reason = run.revocationReason(1);
    run.readKeyPassphrase(revoker ? *revoker : *key, passphrase);
    run.server().revokeKey(key.get(), revoker ? revoker.get() : key.get(), passphrase.str(),
                           reason);
    run.out("key " + describeKey(*key) + " revoked\n");
}

void gCmdRevokeSubkey(CEngineRun& run) {
    Owned<CZAFKey> key;
    Owned<CZAFSubKey> sub = findSubkey(run, run.args().front(), key);
    if (!key->isSecret())
        fail(kZAFvorn_NoKey, "the secret part of " + key->getKeyIDString_Short() + " is not held");
    run.confirmOrStop("Revoke the subkey " + sub->getSubkeyIDString_Short() + " of " +
                      describeKey(*key) + "? This cannot be undone.");
    CSecret passphrase;
    const SRevocationReason reason = run.revocationReason(1);
    run.readKeyPassphrase(*key, passphrase);
    gRevokeKeyObject(run.server(), *sub, key.get(), passphrase.str(), reason);
    run.out("subkey " + sub->getSubkeyIDString_Short() + " revoked\n");
}

void gCmdRemoveSubkey(CEngineRun& run) {
    Owned<CZAFKey> key;
    Owned<CZAFSubKey> sub = findSubkey(run, run.args().front(), key);
    run.confirmOrStop("Remove the subkey " + sub->getSubkeyIDString_Short() + " of " +
                      describeKey(*key) + "?");
    gRemoveKeyObject(run.server(), *sub);
    run.out("subkey " + sub->getSubkeyIDString_Short() + " removed\n");
}

void gCmdRevokeSig(CEngineRun& run) {
    Owned<CZAFKey> key = run.findKey(run.args()[0]);
    Owned<CZAFKey> signer = run.findKey(run.args()[1], true);
    std::vector<Owned<CZAFSignature>> sigs = certificationsBy(run, *key, *signer);
    if (sigs.empty())
        fail(kZAFvorn_NoKey, "no certification by " + signer->getKeyIDString_Short() + " on " +
                                 key->getKeyIDString_Short());
    run.confirmOrStop("Revoke " + std::to_string(sigs.size()) + " certifications by " +
                      describeKey(*signer) + " on " + describeKey(*key) + "?");
    CSecret passphrase;
    const SRevocationReason reason = run.revocationReason(2);
    run.readKeyPassphrase(*signer, passphrase);
    for (const Owned<CZAFSignature>& sig : sigs)
        gRevokeKeyObject(run.server(), *sig, signer.get(), passphrase.str(), reason);
    run.out(std::to_string(sigs.size()) + " certifications by " + signer->getKeyIDString_Short() +
            " revoked\n");
}

void gCmdRemoveSig(CEngineRun& run) {
    Owned<CZAFKey> key = run.findKey(run.args()[0]);
    Owned<CZAFKey> signer = run.findKey(run.args()[1]);
    if (signer->sameAs(key.get()))
        fail(kZAFvorn_Usage, "a key's self-signatures cannot be removed");
    std::vector<Owned<CZAFSignature>> sigs = certificationsBy(run, *key, *signer);
    if (sigs.empty())
        fail(kZAFvorn_NoKey, "no certification by " + signer->getKeyIDString_Short() + " on " +
                                 key->getKeyIDString_Short());
    run.confirmOrStop("Remove " + std::to_string(sigs.size()) + " certifications by " +
                      describeKey(*signer) + " from " + describeKey(*key) + "?");
    for (const Owned<CZAFSignature>& sig : sigs)
        gRemoveKeyObject(run.server(), *sig);
    run.out(std::to_string(sigs.size()) + " certifications by " + signer->getKeyIDString_Short() +
            " removed\n");
}

// ---- user IDs, revokers, photo IDs ----

void gCmdAddUserID(CEngineRun& run) {
    Owned<CZAFKey> key = run.findKey(run.args()[0], true);
    CSecret passphrase;
    run.readKeyPassphrase(*key, passphrase);
    run.server().addUserID(key.get(), run.args()[1], passphrase.str());
    run.out("user ID added to " + key->getKeyIDString_Short() + "\n");
}

void gCmdRemoveUserID(CEngineRun& run) {
    Owned<CZAFKey> key = run.findKey(run.args()[0]);
    run.confirmOrStop("Remove the user ID '" + shown(run.args()[1]) + "' from " +
                      describeKey(*key) + "?");
    run.server().removeUserID(key.get(), run.args()[1], false, false);
    run.out("user ID removed from " + key->getKeyIDString_Short() + "\n");
}

void gCmdAddRevoker(CEngineRun& run) {
    Owned<CZAFKey> key = run.findKey(run.args()[0], true);
    Owned<CZAFKey> revoker = run.findKey(run.args()[1]);
    if (revoker->sameAs(key.get()))
        fail(kZAFvorn_Usage, "a key cannot be its own designated revoker");
    CSecret passphrase;
    run.readKeyPassphrase(*key, passphrase);
    gAddRevoker(run.server(), *key, *revoker, passphrase.str());
    run.out(revoker->getKeyIDString_Short() + " may now revoke " + key->getKeyIDString_Short() +
            "\n");
}

namespace {

// A photo from standard input ("-"), or from a regular file of at most kZAFMaxPhotoSize bytes,
// refused at once when it is anything else (a FIFO, a device, a folder); a link the user named
// is followed.
std::string readPhoto(CEngineRun& run, const std::string& path) {
    if (path.empty() || path == "-")
        return run.readInput(path);
    std::string image;
    try {
        Owned<CZAFFile> file(CZAFFileManager::openUserFile(
            path, eFileOpenRead, eFileTypeBinary, eUserFileFollowLinks,
            static_cast<uint64_t>(kZAFMaxPhotoSize)));
        if (file->getSize() > 0)
            file->readWholeFile(image);
    } catch (CZAFFileRefusedException* e) {
        CZAFThrowableGuard guard(e);
        fail(kZAFvorn_BadData, path + " " + e->getExplanation());
    } catch (CZAFFileException* e) {
        CZAFThrowableGuard guard(e);
        const auto* os = dynamic_cast<const CZAFOSException*>(e->getRoot());
        fail(kZAFvorn_IO, "cannot read " + path +
                              (os != nullptr ? ": " + CZAFOSException::getOSMessage(os->getErrno())
                                             : std::string()));
    }
    return image;
}

} // namespace

void gCmdAddPhotoID(CEngineRun& run) {
    Owned<CZAFKey> key = run.findKey(run.args()[0], true);
    const std::string image = readPhoto(run, run.args()[1]);
    if (image.size() > static_cast<size_t>(kZAFMaxPhotoSize))
        fail(kZAFvorn_BadData,
             run.args()[1] + " is larger than " + std::to_string(kZAFMaxPhotoSize) + " bytes");
    if (image.size() < 2 || static_cast<unsigned char>(image[0]) != 0xFF ||
        static_cast<unsigned char>(image[1]) != 0xD8)
        fail(kZAFvorn_BadData, run.args()[1] + " is not a JPEG image");
    CSecret passphrase;
    run.readKeyPassphrase(*key, passphrase);
    gAddPhotoID(run.server(), *key, image, passphrase.str());
    run.out("photo ID added to " + key->getKeyIDString_Short() + "\n");
}

void gCmdExtractPhotoID(CEngineRun& run) {
    Owned<CZAFKey> key = run.findKey(run.args()[0]);
    std::string image;
    run.server().exportPhotoID(key.get(), image);
    Owned<COutput> output(run.openOutput(false));
    output->write(image);
    output->commit();
}

void gCmdRemovePhotoID(CEngineRun& run) {
    Owned<CZAFKey> key = run.findKey(run.args()[0]);
    Owned<CZAFUserID> photo(key->getPhotoID());
    if (!photo)
        fail(kZAFvorn_NoKey, key->getKeyIDString_Short() + " has no photo ID");
    run.confirmOrStop("Remove the photo ID of " + describeKey(*key) + "?");
    gRemoveKeyObject(run.server(), *photo);
    run.out("photo ID removed from " + key->getKeyIDString_Short() + "\n");
}

// ---- local settings ----

namespace {

void setDisabled(CEngineRun& run, bool disabled) {
    std::vector<Owned<CZAFKey>> keys;
    for (const std::string& name : run.args())
        keys.push_back(run.findKey(name));
    for (const Owned<CZAFKey>& key : keys) {
        gSetKeyDisabled(run.server(), *key, disabled);
        run.out("key " + describeKey(*key) + (disabled ? " disabled\n" : " enabled\n"));
    }
}

} // namespace

void gCmdDisable(CEngineRun& run) { setDisabled(run, true); }
void gCmdEnable(CEngineRun& run) { setDisabled(run, false); }

void gCmdTrust(CEngineRun& run) {
    Owned<CZAFKey> key = run.findKey(run.args()[0]);
    unsigned int trust = 0;
    try {
        trust = gTrustFromString(run.args()[1]);
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        fail(kZAFvorn_Usage,
             "'" + run.args()[1] + "' is not a trust level (none, marginal, complete, implicit)");
    }
    if (run.args()[1].empty())
        fail(kZAFvorn_Usage, "name a trust level (none, marginal, complete, implicit)");
    if (trust == kZAFTrust_Implicit && !key->isSecret())
        fail(kZAFvorn_Usage, "implicit trust is only for keys whose secret part is held");
    gSetOwnerTrust(run.server(), *key, trust);
    run.out("owner trust of " + key->getKeyIDString_Short() + " set to " + trustWord(trust) + "\n");
}

// ---- groups ----

void gCmdGroupAdd(CEngineRun& run) {
    const std::string name = run.args().front();
    if (name.empty() || name.size() > kZAFMaxGroupNameLength)
        fail(kZAFvorn_Usage,
             "a group name has 1 to " + std::to_string(kZAFMaxGroupNameLength) + " bytes");
    std::vector<Owned<CZAFKey>> keys;
    for (std::size_t i = 1; i < run.args().size(); ++i)
        keys.push_back(run.findKey(run.args()[i]));
    std::vector<const CZAFKey*> members;
    for (const Owned<CZAFKey>& key : keys)
        members.push_back(key.get());
    gAddToGroup(run.server(), name, members);
    run.out("group " + shown(name) + ": " + std::to_string(members.size()) + " keys added\n");
}

void gCmdGroupList(CEngineRun& run) {
    const bool colons = run.cmd().has("--with-colons");
    std::string text;
    const std::vector<SVornGroup> groups = gListGroups(run.server());
    for (const SVornGroup& g : groups) {
        if (colons)
            text += "grp:" + colonField(g.name) + ":" + std::to_string(g.keys) + ":" +
                    std::to_string(g.groups) + ":" + colonField(g.description) + ":\n";
        else
            text += shown(g.name) + "  (" + std::to_string(g.keys) + " keys" +
                    (g.groups > 0 ? ", " + std::to_string(g.groups) + " groups" : "") + ")" +
                    (g.description.empty() ? "" : "  " + shown(g.description)) + "\n";
    }
    if (!colons)
        text += std::to_string(groups.size()) + (groups.size() == 1 ? " group\n" : " groups\n");
    run.writeListing(text, colons);
}

void gCmdGroupDetail(CEngineRun& run) {
    SListing how;
    how.colons = run.cmd().has("--with-colons");
    std::string text;
    for (const std::string& name : run.args()) {
        unsigned int missing = 0;
        Owned<CZAFKeySet> set(gGroupKeys(run.server(), name, missing));
        if (!set)
            fail(kZAFvorn_NoKey, "no group named '" + name + "'");
        Owned<CZAFKeySet>(run.server().keyList())->calculateTrust();
        text += how.colons ? "grp:" + colonField(name) + ":" + std::to_string(set->count()) + ":" +
                                 std::to_string(missing) + "::\n"
                           : "group " + shown(name) + ":\n";
        for (const Owned<CZAFKey>& key : keysOf(*set))
            listKey(run, *run.server().getKeyDB(), *key, how, text);
        if (!how.colons && missing > 0)
            text += std::to_string(missing) + " member keys are not in the key rings\n";
    }
    run.writeListing(text, how.colons);
}

void gCmdGroupRemove(CEngineRun& run) {
    for (const std::string& name : run.args()) {
        unsigned int missing = 0;
        Owned<CZAFKeySet> set(gGroupKeys(run.server(), name, missing));
        if (!set)
            fail(kZAFvorn_NoKey, "no group named '" + name + "'");
    }
    run.confirmOrStop("Remove " + std::to_string(run.args().size()) + " groups?");
    for (const std::string& name : run.args()) {
        gRemoveGroup(run.server(), name);
        run.out("group " + shown(name) + " removed\n");
    }
}

// ---- information ----

void gCmdListAliases(CEngineRun& run) {
    std::string text;
    for (const auto& alias : run.cfg().getAliases())
        text += alias.first + " = " + alias.second + "\n";
    run.out(text);
}

void gCmdInfo(CEngineRun& run) {
    std::string pubring, secring, groups, log;
    CVornServer& server = run.server();
    if (!run.cfg().getPubringFilename(pubring))
        pubring =
            CZAFFileManager::appendToDir(server.getPersonalDirectory(), CVornServer::kPubRingName);
    if (!run.cfg().getSecringFilename(secring))
        secring =
            CZAFFileManager::appendToDir(server.getPersonalDirectory(), CVornServer::kSecRingName);
    if (!run.cfg().getGroupsFilename(groups))
        groups =
            CZAFFileManager::appendToDir(server.getPersonalDirectory(), CVornServer::kGroupsName);
    if (!run.cfg().getLogFilename(log))
        log = "(none)";
    unsigned int keys = 0, pairs = 0;
    server.getKeyDB()->countKeys(keys, pairs);
    std::string user;
    CZAFUtil::getCurrentUserName(user);
    auto file = [](const std::string& path) {
        return path + (CZAFFileManager::fileExists(path) ? "" : " (not present)");
    };
    std::string text = gVersionText();
    text += "User:                " + user + "\n";
    text += "Personal directory:  " + server.getPersonalDirectory() + "\n";
    text += "User configuration:  " + file(server.getUserConfFilename()) + "\n";
    text += "Site default:        " + file(CVornServer::getDefaultConfFilename()) + "\n";
    text += "Site policy:         " + file(CVornServer::getPolicyConfFilename()) + "\n";
    text += "Public ring:         " + pubring + "\n";
    text += "Secret ring:         " + secring + "\n";
    text += "Groups file:         " + groups + "\n";
    text += "Transaction log:     " + log + "\n";
    text += "Keys:                " + std::to_string(keys + pairs) + " (" + std::to_string(pairs) +
            " key pairs)\n";
    run.out(text);
}

} // namespace orxengine
