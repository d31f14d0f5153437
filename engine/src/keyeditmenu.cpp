// keyeditmenu: --key-edit, editing one key pair or key in a copy of the key rings held in memory,
// either by its modifiers (--subkey, --expires-after, --new-passphrase) or, with --interactive,
// through a menu on the terminal; the changes reach the rings only when the edit is saved, in one
// write, so an interrupted edit leaves them as they were. Also --key-maintenance: every signature
// checked, those that do not verify dropped, the check results made anew.
#include "engine_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserveredit.h>
#include <zaf/zafkeyedit.h>
#include <zaf/zafkeymaint.h>
#include <zaf/zafkeys.h>
#include <zaf/zafsigcheck.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace oozaf;

namespace orxengine {

namespace {

template <class T> using Owned = std::unique_ptr<T>;

void check(ZAFError code, const std::string& what) {
    if (code == kZAFError_NoErr)
        return;
    fail(code == kZAFError_BadPassphrase  ? kZAFvorn_BadPassphrase
         : code == kZAFError_ItemNotFound ? kZAFvorn_NoKey
                                          : kZAFvorn_Failed,
         what + ": " + gToolkitText(code));
}

// The date of --start-date or a menu argument: "YYYY-MM-DD" or "now".
CZAFTime dateArgument(const std::string& text) {
    if (text.empty() || text == "now")
        return CZAFTime::now();
    try {
        return CZAFTime::createFromYMD(text);
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        fail(kZAFvorn_Usage, "'" + text + "' is not a date (YYYY-MM-DD)");
    }
}

unsigned int numberArgument(const std::string& text, const std::string& what, unsigned int high) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos || std::stoul(text) > high)
        fail(kZAFvorn_Usage, what + " takes a number from 0 to " + std::to_string(high));
    return static_cast<unsigned int>(std::stoul(text));
}

// One key edited in memory.
class CKeyEditSession {
public:
    CKeyEditSession(CEngineRun& run, const CZAFKey& key)
        : m_run(run), m_fingerprint(key.getFingerprint()),
          m_context(run.server().getKeyDB()->getContext().getHandle()) {
        // Every key of the rings, so that signers, revokers and ADKs are at hand; never written.
        ZAFKeyDBRef memory = nullptr;
        check(ZAFNewKeyDB(m_context, &memory), "cannot copy the key rings");
        m_memory.reset(new CZAFKeyDB(run.server().getKeyDB()->getContext(), memory));
        Owned<CZAFKeySet> all(run.server().getKeyDB()->getRootKeySet());
        m_memory->CopyKeys(all.get());
        if (!gKeyWithFingerprint(*m_memory, m_fingerprint))
            fail(kZAFvorn_Failed, "cannot copy " + gKeyName(key) + " for editing");
    }

    Owned<CZAFKey> key() const {
        Owned<CZAFKey> current = gKeyWithFingerprint(*m_memory, m_fingerprint);
        if (!current)
            fail(kZAFvorn_Failed, "the key being edited is gone");
        return current;
    }
    bool changed() const { return m_changes > 0; }
    bool saved() const { return m_saved; }
    unsigned int changes() const { return m_changes; }
    const CSecret& passphrase() {
        if (!m_havePassphrase) {
            Owned<CZAFKey> k = key();
            if (!k->isSecret())
                fail(kZAFvorn_NoKey,
                     "this edit needs the secret part of " + gKeyName(*k) + ", which is not held");
            m_run.readKeyPassphrase(*k, m_passphrase);
            m_havePassphrase = true;
        }
        return m_passphrase;
    }
    // The key of the copy `pattern` names (an ID or part of a user ID: exactly one).
    Owned<CZAFKey> other(const std::string& pattern, bool secret) const {
        Owned<CZAFKeySet> set(m_memory->getMatchingKeySet(pattern, 0, nullptr, nullptr));
        if (set->count() != 1)
            fail(set->count() == 0 ? kZAFvorn_NoKey : kZAFvorn_Ambiguous,
                 std::to_string(set->count()) + " keys match '" + pattern + "'");
        Owned<CZAFIterator> iter(set->getIterator());
        CZAFDatabaseObject* object = nullptr;
        check(iter->next(kZAFKeyDBObjType_Key, object), pattern);
        Owned<CZAFKey> found(static_cast<CZAFKey*>(object));
        if (secret && !found->isSecret())
            fail(kZAFvorn_NoKey, "the secret part of " + gKeyName(*found) + " is not held");
        return found;
    }

    // ---- the edits ----

    void addUserID(const std::string& name) {
        if (name.empty())
            fail(kZAFvorn_Usage, "name the user ID");
        check(ZAFAddUserID(key()->getHandle(), name.c_str(),
                           ZAFOPassphrase(m_context, passphrase().c_str()), ZAFOLastOption()),
              "cannot add the user ID");
        ++m_changes;
    }
    void removeUserID(const std::string& name) {
        Owned<CZAFUserID> found = userID(name);
        unsigned int count = 0;
        eachUserID([&](CZAFUserID& u) { count += u.getType() == 0 ? 1 : 0; });
        if (found->getType() == 0 && count <= 1)
            fail(kZAFvorn_Usage, "the last user ID of a key cannot be removed");
        check(ZAFDeleteKeyDBObj(m_memory->getHandle(), found->getHandle()),
              "cannot remove the user ID");
        ++m_changes;
    }
    void setPrimary(const std::string& name) {
        Owned<CZAFUserID> found = userID(name);
        const CSecret& pass = passphrase();
        check(ZAFSetPrimaryUserID(found->getHandle(), pass.c_str(), pass.size()),
              "cannot make it the primary user ID");
        ++m_changes;
    }
    void setExpiry(unsigned int days) {
        const CSecret& pass = passphrase();
        const ZAFTime expires = days == 0 ? 0 : CZAFTime::now().getZAFTime() + days * 86400u;
        check(ZAFSetKeyExpiration(key()->getHandle(), expires, pass.c_str(), pass.size()),
              "cannot set the expiration");
        ++m_changes;
    }
    void changePassphrase() {
        const CSecret& current = passphrase();
        Owned<CZAFKey> k = key();
        CSecret fresh;
        m_run.readPassphrase("the new passphrase of " + k->getKeyIDString_Short(), fresh);
        if (m_run.setting(eZAFOpPassphraseFD, -1) < 0) {
            CSecret again;
            m_run.readPassphrase("the new passphrase (again)", again);
            if (again.str() != fresh.str())
                fail(kZAFvorn_BadPassphrase, "the two passphrases differ");
        }
        check(ZAFChangeKeyPassphrase(k->getHandle(), current.c_str(), current.size(), fresh.c_str(),
                                     fresh.size()),
              "cannot change the passphrase");
        m_passphrase.clear();
        for (size_t i = 0; i < fresh.size(); ++i)
            m_passphrase.append(fresh.c_str()[i]);
        ++m_changes;
    }
    void addSubkey(unsigned int bits, const CZAFTime& start, unsigned int days) {
        Owned<CZAFKey> k = key();
        const int32_t alg = k->getAlg() == kZAFPublicKeyAlgorithm_DSA ? 16 : 1;
        if (bits == 0)
            bits = static_cast<unsigned int>(k->getSize());
        const CSecret& pass = passphrase();
        if (!m_run.setting(eZAFOpRandomDevice, std::string()).empty())
            m_run.feedRandomDevice(
                m_run.server().neededEntropyForSubkey(k.get(), static_cast<uint16_t>(bits)));
        ZAFKeyDBObjRef made = nullptr;
        check(ZAFGenerateSubKey(
                  m_context, &made, ZAFOMasterKey(m_context, k->getHandle()),
                  ZAFOKeyGenParams(m_context, alg, bits, kZAFKeyVersion_Default),
                  ZAFOExpiration(m_context, static_cast<int32_t>(days)),
                  ZAFOFastGeneration(m_context, m_run.setting(eZAFOpFastKeyGen, true) ? 1 : 0),
                  ZAFOCreationDate(m_context, start.getZAFTime()),
                  ZAFOPassphrase(m_context, pass.c_str()),
                  alg == 1 ? ZAFOKeyFlags(m_context, kZAFKeyFlag_EncryptCommunications |
                                                         kZAFKeyFlag_EncryptStorage)
                           : ZAFONullOption(m_context),
                  ZAFOLastOption()),
              "cannot make the subkey");
        ++m_changes;
    }
    void removeSubkey(const std::string& id) {
        Owned<CZAFSubKey> sub = subkey(id);
        check(ZAFDeleteKeyDBObj(m_memory->getHandle(), sub->getHandle()),
              "cannot remove the subkey");
        ++m_changes;
    }
    void revokeSubkey(const std::string& id) {
        Owned<CZAFSubKey> sub = subkey(id);
        check(ZAFRevoke(sub->getHandle(), key()->getHandle(),
                        ZAFOPassphrase(m_context, passphrase().c_str()), ZAFOLastOption()),
              "cannot revoke the subkey");
        ++m_changes;
    }
    void revokeKey() {
        check(ZAFRevoke(key()->getHandle(), key()->getHandle(),
                        ZAFOPassphrase(m_context, passphrase().c_str()), ZAFOLastOption()),
              "cannot revoke the key");
        ++m_changes;
    }
    void setTrust(const std::string& level) {
        unsigned int trust = 0;
        try {
            trust = gTrustFromString(level);
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
            fail(kZAFvorn_Usage, "'" + level + "' is not a trust level");
        }
        if (trust == kZAFTrust_Implicit && !key()->isSecret())
            fail(kZAFvorn_Usage, "implicit trust is only for keys whose secret part is held");
        check(ZAFSetKeyOwnerTrust(key()->getHandle(), static_cast<int32_t>(trust)),
              "cannot set the trust");
        ++m_changes;
    }
    void setDisabled(bool disabled) {
        check(ZAFSetKeyDisabled(key()->getHandle(), disabled ? 1 : 0), "cannot change the key");
        ++m_changes;
    }
    void certify(const std::string& signerName) {
        Owned<CZAFKey> signer = other(signerName, true);
        if (signer->getFingerprint() == m_fingerprint)
            fail(kZAFvorn_Usage, "a key's own user IDs are certified by its self-signatures");
        CSecret pass;
        m_run.readKeyPassphrase(*signer, pass);
        Owned<CZAFUserID> primary(key()->getPrimaryUserID());
        if (!primary)
            fail(kZAFvorn_NoKey, "the key has no primary user ID");
        check(ZAFCertifyUserID(primary->getHandle(), signer->getHandle(),
                               ZAFOPassphrase(m_context, pass.c_str()), ZAFOLastOption()),
              "cannot certify");
        ++m_changes;
    }
    // Removes (or revokes) the certifications `signerName` made on the key's user IDs.
    void dropCertifications(const std::string& signerName, bool revoke) {
        Owned<CZAFKey> signer = other(signerName, revoke);
        if (signer->getFingerprint() == m_fingerprint)
            fail(kZAFvorn_Usage, "self-signatures are not removed or revoked this way");
        const std::string wanted = CZAFUtil::toUpper(signer->getKeyIDString_Long());
        std::vector<ZAFKeyDBObjRef> found;
        Owned<CZAFKey> k = key();
        Owned<CZAFIterator> iter(m_memory->getIterator());
        iter->seek(k.get());
        gEachChild<CZAFUserID>(*iter, kZAFKeyDBObjType_UserID, [&](CZAFUserID&) {
            gEachChild<CZAFSignature>(*iter, kZAFKeyDBObjType_Signature, [&](CZAFSignature& s) {
                std::string issuer;
                try {
                    issuer = CZAFUtil::toUpper(s.getSignerID(true));
                } catch (CZAFThrowable* e) {
                    CZAFThrowableGuard guard(e);
                }
                if (issuer == wanted && !CZAFDatabaseObject::getBooleanProperty(
                                            s.getHandle(), kZAFSigProperty_IsRevocation))
                    found.push_back(s.getHandle());
            });
        });
        if (found.empty())
            fail(kZAFvorn_NoKey, "no certification by " + gKeyName(*signer));
        CSecret pass;
        if (revoke)
            m_run.readKeyPassphrase(*signer, pass);
        for (ZAFKeyDBObjRef sig : found)
            check(revoke ? ZAFRevoke(sig, signer->getHandle(),
                                     ZAFOPassphrase(m_context, pass.c_str()), ZAFOLastOption())
                         : ZAFDeleteKeyDBObj(m_memory->getHandle(), sig),
                  revoke ? "cannot revoke the certification" : "cannot remove the certification");
        ++m_changes;
    }
    void addADK(const std::string& name, bool required) {
        Owned<CZAFKey> adk = other(name, false);
        check(ZAFAddAdditionalDecryptionKey(key()->getHandle(), adk->getHandle(),
                                            required ? kZAFADKClass_Enforced : kZAFADKClass_Request,
                                            ZAFOPassphrase(m_context, passphrase().c_str()),
                                            ZAFOLastOption()),
              "cannot add the additional decryption key");
        ++m_changes;
    }
    void addRevoker(const std::string& name) {
        Owned<CZAFKey> revoker = other(name, false);
        check(ZAFAddRevocationKey(key()->getHandle(), revoker->getHandle(),
                                  ZAFOPassphrase(m_context, passphrase().c_str()),
                                  ZAFOLastOption()),
              "cannot add the designated revoker");
        ++m_changes;
    }

    std::string describe() const {
        Owned<CZAFKey> k = key();
        std::string out = std::string(k->isSecret() ? "sec  " : "pub  ") + gKeyName(*k) +
                          "  created " + m_run.dateText(k->getCreationTime(), false) +
                          ", expires " + m_run.dateText(k->getExpirationTime(), false) +
                          (k->isRevoked() ? " [revoked]" : "") +
                          (k->isDisabled() ? " [disabled]" : "") + "\n";
        eachUserID([&](CZAFUserID& u) {
            out += "uid  " + (u.getType() == 0 ? gShownText(u.getName()) : "[photo]") + "\n";
        });
        Owned<CZAFIterator> iter(m_memory->getIterator());
        iter->seek(k.get());
        gEachChild<CZAFSubKey>(*iter, kZAFKeyDBObjType_SubKey, [&](CZAFSubKey& s) {
            out += "sub  " + s.getSubkeyIDString_Short() + "  " + std::to_string(s.getSize()) +
                   " bits, created " + m_run.dateText(s.getCreationTime(), false) + ", expires " +
                   m_run.dateText(s.getExpirationTime(), false) +
                   (s.isRevoked() ? " [revoked]" : "") + "\n";
        });
        for (const std::string& r : k->getRevokers())
            out += "rvk  " + r + "\n";
        for (const std::string& a : k->getADKs())
            out += "adk  " + a + "\n";
        return out;
    }

    // Writes the edited key to the rings in place of the old one, in one write of the rings.
    void save() {
        if (!changed())
            return;
        CZAFKeyDB& real = *m_run.server().getKeyDB();
        Owned<CZAFKey> old = gKeyWithFingerprint(real, m_fingerprint);
        Owned<CZAFKey> edited = key();
        const unsigned int trust = edited->getTrust();
        const bool disabled = edited->isDisabled();
        if (old) {
            Owned<CZAFKeySet> one(old->getNewOneKeySet());
            check(ZAFDeleteKeys(real.getHandle(), one->getHandle()), "cannot save the key");
        }
        Owned<CZAFKeySet> mine(edited->getNewOneKeySet());
        real.CopyKeys(mine.get());
        Owned<CZAFKey> saved = gKeyWithFingerprint(real, m_fingerprint);
        if (!saved)
            fail(kZAFvorn_Failed, "cannot save the key");
        // Local settings travel beside the key, not in it.
        check(ZAFSetKeyOwnerTrust(saved->getHandle(), static_cast<int32_t>(trust)),
              "cannot save the trust");
        saved =
            gKeyWithFingerprint(real, m_fingerprint); // each setting makes a new version of the key
        if (!saved)
            fail(kZAFvorn_Failed, "cannot save the key");
        check(ZAFSetKeyDisabled(saved->getHandle(), disabled ? 1 : 0), "cannot save the key");
        real.flush();
        m_saved = true;
    }

private:
    template <class F> void eachUserID(F&& f) const {
        Owned<CZAFKey> k = key();
        Owned<CZAFIterator> iter(m_memory->getIterator());
        iter->seek(k.get());
        gEachChild<CZAFUserID>(*iter, kZAFKeyDBObjType_UserID, f);
    }
    Owned<CZAFUserID> userID(const std::string& name) const {
        Owned<CZAFUserID> found;
        eachUserID([&](CZAFUserID& u) {
            if (!found && ((u.getType() == 0 && u.getName() == name) ||
                           (u.getType() != 0 && name == "[photo]")))
                found.reset(new CZAFUserID(u.getHandle()));
        });
        if (!found)
            fail(kZAFvorn_NoKey, "the key has no user ID '" + gShownText(name) + "'");
        return found;
    }
    Owned<CZAFSubKey> subkey(const std::string& id) const {
        const std::string wanted = CZAFUtil::toUpper(id.compare(0, 2, "0x") == 0 ? id : "0x" + id);
        Owned<CZAFSubKey> found;
        Owned<CZAFKey> k = key();
        Owned<CZAFIterator> iter(m_memory->getIterator());
        iter->seek(k.get());
        gEachChild<CZAFSubKey>(*iter, kZAFKeyDBObjType_SubKey, [&](CZAFSubKey& s) {
            if (!found && (CZAFUtil::toUpper(s.getSubkeyIDString_Short()) == wanted ||
                           CZAFUtil::toUpper(s.getSubkeyIDString_Long()) == wanted))
                found.reset(new CZAFSubKey(s.getHandle()));
        });
        if (!found)
            fail(kZAFvorn_NoKey, "the key has no subkey " + id);
        return found;
    }

    CEngineRun& m_run;
    std::string m_fingerprint;
    ZAFContextRef m_context;
    std::unique_ptr<CZAFKeyDB> m_memory;
    CSecret m_passphrase;
    bool m_havePassphrase = false;
    unsigned int m_changes = 0;
    bool m_saved = false;
};

const char* const kMenuHelp =
    "  list                    show the key\n"
    "  adduid TEXT             add a user ID\n"
    "  deluid TEXT             remove a user ID\n"
    "  primary TEXT            make a user ID the primary one\n"
    "  expire DAYS             expire DAYS from now (0: never)\n"
    "  passwd                  change the passphrase\n"
    "  addkey [BITS [START [DAYS]]]  add an encryption subkey\n"
    "  delkey ID               remove a subkey\n"
    "  revkey ID               revoke a subkey\n"
    "  revoke                  revoke the key\n"
    "  trust LEVEL             owner trust: none, marginal, complete, implicit\n"
    "  enable, disable         use the key for encrypting, or not\n"
    "  sign SIGNER             certify the primary user ID with the key pair SIGNER\n"
    "  delsig SIGNER           remove SIGNER's certifications\n"
    "  revsig SIGNER           revoke SIGNER's certifications\n"
    "  revoker KEY             name KEY a designated revoker\n"
    "  adk KEY [required]      name KEY an additional decryption key\n"
    "  save                    write the changes to the key rings and leave\n"
    "  quit                    leave without writing anything\n";

// Runs one menu command; false when the menu ends. `saveNow` is set by "save".
bool menuCommand(CEngineRun& run, CKeyEditSession& session, const std::vector<std::string>& w,
                 std::string& reply, bool& saveNow) {
    const std::string& c = w[0];
    auto arg = [&](size_t i) { return i < w.size() ? w[i] : std::string(); };
    auto rest = [&]() {
        std::string text;
        for (size_t i = 1; i < w.size(); ++i)
            text += (i > 1 ? " " : "") + w[i];
        return text;
    };
    if (c == "help" || c == "?") {
        reply = kMenuHelp;
    } else if (c == "list") {
        reply = session.describe();
    } else if (c == "adduid") {
        session.addUserID(rest());
    } else if (c == "deluid") {
        session.removeUserID(rest());
    } else if (c == "primary") {
        session.setPrimary(rest());
    } else if (c == "expire") {
        session.setExpiry(numberArgument(arg(1), "expire", 36500));
    } else if (c == "passwd") {
        session.changePassphrase();
    } else if (c == "addkey") {
        session.addSubkey(arg(1).empty() ? 0 : numberArgument(arg(1), "addkey", 16384),
                          dateArgument(arg(2)),
                          arg(3).empty() ? 0 : numberArgument(arg(3), "addkey", 36500));
    } else if (c == "delkey") {
        if (run.confirm("Remove the subkey " + arg(1) + "?"))
            session.removeSubkey(arg(1));
    } else if (c == "revkey") {
        if (run.confirm("Revoke the subkey " + arg(1) + "? This cannot be undone."))
            session.revokeSubkey(arg(1));
    } else if (c == "revoke") {
        if (run.confirm("Revoke the key? This cannot be undone."))
            session.revokeKey();
    } else if (c == "trust") {
        session.setTrust(arg(1));
    } else if (c == "enable" || c == "disable") {
        session.setDisabled(c == "disable");
    } else if (c == "sign") {
        session.certify(rest());
    } else if (c == "delsig" || c == "revsig") {
        session.dropCertifications(rest(), c == "revsig");
    } else if (c == "revoker") {
        session.addRevoker(rest());
    } else if (c == "adk") {
        if (w.size() > 3 || (w.size() == 3 && w[2] != "required"))
            fail(kZAFvorn_Usage, "adk KEY [required]");
        session.addADK(arg(1), w.size() == 3);
    } else if (c == "save") {
        saveNow = true;
        return false;
    } else if (c == "quit" || c == "q") {
        if (!session.changed() ||
            run.confirm("Leave without writing " + std::to_string(session.changes()) + " changes?"))
            return false;
    } else {
        reply = "unknown command '" + gShownText(c) + "' (help lists the commands)\n";
    }
    return true;
}

void interactive(CEngineRun& run, CKeyEditSession& session) {
    if (run.cmd().has("--batch-mode") || !run.io().canPrompt())
        fail(kZAFvorn_Usage, "--interactive needs a terminal");
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0)
        fail(kZAFvorn_Usage, "--interactive needs a terminal");
    struct SCloser {
        int fd;
        ~SCloser() { ::close(fd); }
    } closer{tty};
    auto say = [&](const std::string& text) { (void)!::write(tty, text.data(), text.size()); };
    say(session.describe() + "Type help for the commands; nothing is written before save.\n");
    bool saveNow = false;
    for (;;) {
        run.checkCancel();
        say("key-edit> ");
        std::string line;
        if (!gReadTerminalLine(tty, line)) {
            say("\n");
            if (session.changed())
                fail(kZAFvorn_Failed, "the terminal closed; nothing was written");
            return;
        }
        std::vector<std::string> words;
        std::string reply;
        try {
            words = gSplitCommandText(line);
            if (words.empty())
                continue;
            if (!menuCommand(run, session, words, reply, saveNow))
                break;
            say(reply.empty() ? "ok\n" : reply);
        } catch (SEngineError& e) {
            say("error: " + e.message + "\n");
        } catch (CZAFThrowable* t) {
            say("error: " + gDescribeThrowable(t).message + "\n");
        }
    }
    if (saveNow)
        session.save();
}

} // namespace

void gCmdKeyEdit(CEngineRun& run) {
    Owned<CZAFKey> key = run.findKey(run.args().front());
    CKeyEditSession session(run, *key);
    if (run.cmd().has("--interactive")) {
        for (const char* sw : {"--subkey", "--new-passphrase"})
            if (run.cmd().has(sw))
                fail(kZAFvorn_Usage, std::string("--interactive edits from the menu; ") + sw +
                                         " is one of its commands");
        interactive(run, session);
    } else {
        const bool subkey = run.cmd().has("--subkey");
        const bool expiry = run.cmd().has("--expires-after");
        const bool passphrase = run.cmd().has("--new-passphrase");
        if (!subkey && !expiry && !passphrase)
            fail(kZAFvorn_Usage, "--key-edit needs --interactive or an edit: --subkey, "
                                 "--expires-after DAYS, --new-passphrase");
        if (run.cmd().has("--start-date") && !subkey)
            fail(kZAFvorn_Usage, "--start-date is the start of a new --subkey");
        const unsigned int days =
            numberArgument(run.cmd().arg("--expires-after", "0"), "--expires-after", 36500);
        if (subkey)
            session.addSubkey(static_cast<unsigned int>(run.setting(eZAFOpKeySize, 0)),
                              dateArgument(run.cmd().arg("--start-date")), days);
        else if (expiry)
            session.setExpiry(days);
        if (passphrase)
            session.changePassphrase();
        session.save();
    }
    if (session.saved())
        run.out("key " + gKeyName(*session.key()) + " saved (" + std::to_string(session.changes()) +
                " changes)\n");
    else
        run.out("key " + gKeyName(*key) + " left as it was\n");
}

void gCmdKeyMaintenance(CEngineRun& run) {
    Owned<CZAFKeySet> set(run.findKeys(run.args()));
    CZAFKeyDB& db = *run.server().getKeyDB();
    struct SBad {
        ZAFKeyDBObjRef sig;
        std::string text;
    };
    std::vector<SBad> bad;
    unsigned int all = 0, good = 0, unchecked = 0, keys = 0;
    Owned<CZAFIterator> iter(set->getIterator());
    for (;;) {
        CZAFDatabaseObject* object = nullptr;
        if (iter->next(kZAFKeyDBObjType_Key, object) != kZAFError_NoErr)
            break;
        Owned<CZAFKey> key(static_cast<CZAFKey*>(object));
        ++keys;
        run.checkCancel();
        // Every signature of the key: on the key, its user IDs and its subkeys.
        Owned<CZAFIterator> walk(db.getIterator());
        walk->seek(key.get());
        auto visit = [&](CZAFSignature& sig, const std::string& on) {
            ++all;
            ZAFBoolean tried = 0, verified = 0;
            if (ZAFCheckSignature(sig.getHandle(), &tried, &verified) != kZAFError_NoErr || !tried)
                ++unchecked;
            else if (verified)
                ++good;
            else
                bad.push_back({sig.getHandle(), gKeyName(*key) + ": signature by " +
                                                    sig.getSignerID(false) + " on " + on});
        };
        gEachChild<CZAFSignature>(*walk, kZAFKeyDBObjType_Signature,
                                  [&](CZAFSignature& sig) { visit(sig, "the key"); });
        gEachChild<CZAFUserID>(*walk, kZAFKeyDBObjType_UserID, [&](CZAFUserID& uid) {
            const std::string on = "user ID '" + gShownText(uid.getName()) + "'";
            gEachChild<CZAFSignature>(*walk, kZAFKeyDBObjType_Signature,
                                      [&](CZAFSignature& sig) { visit(sig, on); });
        });
        gEachChild<CZAFSubKey>(*walk, kZAFKeyDBObjType_SubKey, [&](CZAFSubKey& sub) {
            const std::string on = "subkey " + sub.getSubkeyIDString_Short();
            gEachChild<CZAFSignature>(*walk, kZAFKeyDBObjType_Signature,
                                      [&](CZAFSignature& sig) { visit(sig, on); });
        });
    }
    std::string text;
    for (const SBad& b : bad)
        text += "does not verify: " + b.text + "\n";
    text += std::to_string(keys) + " keys, " + std::to_string(all) +
            " signatures: " + std::to_string(good) + " good, " + std::to_string(bad.size()) +
            " bad, " + std::to_string(unchecked) + " not checked (issuer not held)\n";
    run.out(text);
    if (!bad.empty() &&
        run.confirm("Drop the " + std::to_string(bad.size()) + " signatures that do not verify?")) {
        for (const SBad& b : bad)
            check(ZAFDeleteKeyDBObj(db.getHandle(), b.sig), "cannot drop a signature");
        db.flush();
        run.out(std::to_string(bad.size()) + " signatures dropped; key rings rewritten\n");
    }
    // The kept check results, made anew from what the rings hold now.
    std::string pubring;
    if (!run.cfg().getPubringFilename(pubring))
        pubring = CZAFFileManager::appendToDir(run.server().getPersonalDirectory(),
                                               CVornServer::kPubRingName);
    const std::string checks = pubring + ".checks";
    struct stat st {};
    if (::lstat(checks.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
        ::unlink(checks.c_str());
    // A read of the rings as they are now writes the results it used into a new file (they come
    // from this process's checks, so it costs little).
    {
        CZAFKeyDB reread(run.server().getKeyDB()->getContext(),
                         static_cast<ZAFOpenKeyDBFileOptions>(0), pubring, std::string());
    }
    Owned<CZAFKeySet>(run.server().keyList())->calculateTrust();
    run.out("check results rebuilt\n");
}

} // namespace orxengine
