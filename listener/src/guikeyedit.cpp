// guikeyedit: owner trust, disabling, expiry, passphrase and single revocations.
#include <oozaf/keydb.h>
#include <oozaf/keyobjects.h>
#include <oozaf/nametables.h>
#include <oozaf/throwable.h>
#include <oozaf/time.h>
#include <oozaf/util.h>
#include <oozaf/vornserveredit.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/guikeyedit.h>
#include <vorngui/xmlstring.h>
#include <zaf/zafkeys.h>

#include <memory>
#include <string>

namespace vorngui {

using namespace oozaf;
using namespace xercesc;

const std::string CGUIKeyEditRequests::GUICMD_SETTRUST = "key-set-trust";
const std::string CGUIKeyEditRequests::GUICMD_SETDISABLED = "key-set-disabled";
const std::string CGUIKeyEditRequests::GUICMD_SETEXPIRY = "key-set-expiry";
const std::string CGUIKeyEditRequests::GUICMD_PASSPHRASE = "key-change-passphrase";
const std::string CGUIKeyEditRequests::GUICMD_REV_SUBKEY = "subkey-revoke";
const std::string CGUIKeyEditRequests::GUICMD_REV_USERID = "userid-revoke";
const std::string CGUIKeyEditRequests::GUICMD_KEYSUMMARY = "key-summary";

namespace {

template <class T> using COwned = std::unique_ptr<T>;

std::string text(const DOMElement* element, const char* attribute) {
    return gGetAttribute(element, CXStr(attribute));
}

// A value the console sent that cannot be used: rc 12, the session goes on.
[[noreturn]] void badValue(const std::string& attribute, const std::string& value,
                           const std::string& expected) {
    const std::string shown = value.size() <= 64 ? value : value.substr(0, 64) + "...";
    throw new CGUIFormatException("The value '" + shown + "' of attribute '" + attribute +
                                  "' is not " + expected);
}

// A failure of the edit that the facade did not raise itself (no such subkey or user ID): rc 8.
class CGUIKeyObjectException final : public CZAFException {
public:
    explicit CGUIKeyObjectException(std::string message)
        : CZAFException(nullptr, eReasonNone), m_message(std::move(message)) {}
    std::string getMessage() const override { return m_message; }

private:
    std::string m_message;
};

// The next object of `type` under the iterator's key, or null at the end of the key.
COwned<CZAFDatabaseObject> nextObject(CZAFIterator& iterator, int32_t type) {
    CZAFDatabaseObject* object = nullptr;
    const ZAFError rc = iterator.next(type, object);
    if (rc == kZAFError_NoErr)
        return COwned<CZAFDatabaseObject>(object);
    delete object;
    if (rc == kZAFError_EndOfIteration)
        return nullptr;
    throw new CZAFSDKException(rc);
}

} // namespace

std::unique_ptr<CGUIElement> CGUIKeyEditRequests::doSetTrust(const DOMElement* data) {
    const std::string id = text(data, "id");
    const std::string level = text(data, "trust");
    static const std::pair<const char*, unsigned int> kLevels[] = {
        {"unknown", kZAFKeyTrust_Unknown},
        {"never", kZAFKeyTrust_Never},
        {"marginal", kZAFKeyTrust_Marginal},
        {"complete", kZAFKeyTrust_Complete},
        {"ultimate", kZAFKeyTrust_Ultimate}};
    const std::string wanted = CZAFUtil::toLower(level);
    unsigned int trust = 0;
    for (const auto& entry : kLevels)
        if (wanted == entry.first)
            trust = entry.second;
    if (trust == 0)
        badValue("trust", level, "Unknown, Never, Marginal, Complete or Ultimate");
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        COwned<CZAFKey> key(m_server.getKeyByID(id));
        gSetOwnerTrust(m_server, *key, trust);
    });
    return nullptr;
}

std::unique_ptr<CGUIElement> CGUIKeyEditRequests::doSetDisabled(const DOMElement* data) {
    const std::string id = text(data, "id");
    const std::string value = text(data, "disabled");
    bool disabled = false;
    try {
        disabled = gBoolFromString(value);
    } catch (CZAFTableLookupError* e) {
        CZAFThrowableGuard guard(e);
        badValue("disabled", value, "yes or no");
    }
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        COwned<CZAFKey> key(m_server.getKeyByID(id));
        gSetKeyDisabled(m_server, *key, disabled);
    });
    return nullptr;
}

std::unique_ptr<CGUIElement> CGUIKeyEditRequests::doSetExpiry(const DOMElement* data) {
    const std::string id = text(data, "id");
    std::string day = text(data, "expiry-date");
    CZAFUtil::trimString(day);
    CZAFTime expires; // never
    if (!day.empty()) {
        try {
            expires = CZAFTime::createFromYMD(day);
        } catch (CZAFTimeParseException* e) {
            CZAFThrowableGuard guard(e);
            badValue("expiry-date", day, "a date of the form YYYY-MM-DD");
        }
        if (expires.isNever() || !(CZAFTime::today() < expires))
            badValue("expiry-date", day, "a day after today");
    }
    const std::string passphrase = text(data, "passphrase");
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        COwned<CZAFKey> key(m_server.getKeyByID(id));
        gSetKeyExpiration(m_server, *key, expires, passphrase);
    });
    return nullptr;
}

std::unique_ptr<CGUIElement> CGUIKeyEditRequests::doChangePassphrase(const DOMElement* data) {
    const std::string id = text(data, "id");
    std::string passphrase = text(data, "passphrase");
    std::string fresh = text(data, "new-passphrase");
    struct SWiped {
        std::string& a;
        std::string& b;
        ~SWiped() {
            CZAFUtil::wipe(a);
            CZAFUtil::wipe(b);
        }
    } wiped{passphrase, fresh};
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        COwned<CZAFKey> key(m_server.getKeyByID(id));
        gChangePassphrase(m_server, *key, passphrase, fresh);
    });
    return nullptr;
}

std::unique_ptr<CGUIElement> CGUIKeyEditRequests::doRevokeSubkey(const DOMElement* data) {
    const std::string id = text(data, "id");
    const std::string subkeyID = text(data, "subkey-id");
    if (!CZAFUtil::checkValidKeyID(subkeyID))
        badValue("subkey-id", subkeyID, "a key ID (0x and 8 or 16 hexadecimal digits)");
    const std::string passphrase = text(data, "passphrase");
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        COwned<CZAFKey> key(m_server.getKeyByID(id));
        COwned<CZAFIterator> iterator(m_server.getKeyDB()->getIterator());
        iterator->seek(key.get());
        COwned<CZAFDatabaseObject> found;
        while (COwned<CZAFDatabaseObject> object = nextObject(*iterator, kZAFKeyDBObjType_SubKey)) {
            const auto* subkey = dynamic_cast<const CZAFSubKey*>(object.get());
            if (subkey != nullptr &&
                (CZAFUtil::compareIgnoreCase(subkey->getSubkeyIDString_Short(), subkeyID) ||
                 CZAFUtil::compareIgnoreCase(subkey->getSubkeyIDString_Long(), subkeyID))) {
                found = std::move(object);
                break;
            }
        }
        if (!found)
            throw new CGUIKeyObjectException("The key " + id + " has no subkey " + subkeyID);
        gRevokeKeyObject(m_server, *found, key.get(), passphrase);
    });
    return nullptr;
}

std::unique_ptr<CGUIElement> CGUIKeyEditRequests::doRevokeUserID(const DOMElement* data) {
    const std::string id = text(data, "id");
    const std::string name = text(data, "userid");
    const std::string passphrase = text(data, "passphrase");
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        COwned<CZAFKey> key(m_server.getKeyByID(id));
        const std::string own = CZAFUtil::toUpper(key->getKeyIDString_Long());
        COwned<CZAFIterator> iterator(m_server.getKeyDB()->getIterator());
        iterator->seek(key.get());
        // The user ID's self-certifications: revoking them takes the user ID back.
        std::vector<COwned<CZAFDatabaseObject>> selfCertifications;
        bool named = false;
        while (COwned<CZAFDatabaseObject> object = nextObject(*iterator, kZAFKeyDBObjType_UserID)) {
            const auto* userID = dynamic_cast<const CZAFUserID*>(object.get());
            const bool match = userID != nullptr && userID->getName() == name;
            named = named || match;
            while (COwned<CZAFDatabaseObject> sig =
                       nextObject(*iterator, kZAFKeyDBObjType_Signature)) {
                const auto* signature = dynamic_cast<const CZAFSignature*>(sig.get());
                if (!match || signature == nullptr ||
                    CZAFDatabaseObject::getBooleanProperty(signature->getHandle(),
                                                           kZAFSigProperty_IsRevocation))
                    continue;
                std::string issuer;
                try {
                    issuer = CZAFUtil::toUpper(signature->getSignerID(true));
                } catch (CZAFThrowable* e) {
                    CZAFThrowableGuard guard(e);
                    continue;
                }
                if (issuer == own)
                    selfCertifications.push_back(std::move(sig));
            }
        }
        if (!named)
            throw new CGUIKeyObjectException("The key " + id + " has no user ID '" + name + "'");
        if (selfCertifications.empty())
            throw new CGUIKeyObjectException("The user ID '" + name + "' of " + id +
                                             " has no self-certification to revoke");
        for (const auto& certification : selfCertifications)
            gRevokeKeyObject(m_server, *certification, key.get(), passphrase);
    });
    return nullptr;
}

std::unique_ptr<CGUIElement> CGUIKeyEditRequests::doKeySummary(const DOMElement* data) {
    return gKeySummaryOf(m_server, text(data, "id"));
}

} // namespace vorngui
