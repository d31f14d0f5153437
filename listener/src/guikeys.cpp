// guikeys: the handlers of the key generation, entropy, key editing, import, export and photo
// requests.
#include <oozaf/file.h>
#include <oozaf/filemanager.h>
#include <oozaf/keyobjects.h>
#include <oozaf/logger.h>
#include <oozaf/nametables.h>
#include <oozaf/ops.h>
#include <oozaf/throwable.h>
#include <oozaf/time.h>
#include <oozaf/util.h>
#include <oozaf/vornserver.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/guikeys.h>
#include <vorngui/xmlstring.h>
#include <zaf/zafbase.h>
#include <zaf/zafkeyedit.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vorngui {

using namespace oozaf;
using namespace xercesc;

namespace {

const char* const kTag = "gui";

const char* const kEntropyReport = "entropy-report";
const char* const kNeeded = "needed";
const char* const kAvailable = "available";
const CXStr kEntropy("entropy");
const CXStr kKey("key");
const CXStr kFile("file");
const char* const kFileReport = "file-report";
const char* const kError = "error";
const char* const kLine = "line";
const char* const kPhoto = "photo";

// Values quoted in error texts are cut to this length: the text goes back to the console and
// into the log, and a huge attribute must not be copied into both.
constexpr size_t kQuotedValueLength = 64;

std::string quoted(const std::string& value) {
    if (value.size() <= kQuotedValueLength)
        return "'" + value + "'";
    return "'" + value.substr(0, kQuotedValueLength) + "...' (" + std::to_string(value.size()) +
           " bytes)";
}

// A value the console sent that cannot be used. The request fails with rc 12 and the session
// goes on.
[[noreturn]] void badValue(const std::string& attribute, const std::string& value,
                           const std::string& expected) {
    throw new CGUIFormatException("The value " + quoted(value) + " of attribute '" + attribute +
                                  "' is not " + expected);
}

std::string text(const DOMElement* element, const char* attribute) {
    return gGetAttribute(element, CXStr(attribute));
}

bool has(const DOMElement* element, const char* attribute) {
    return gHasAttribute(element, CXStr(attribute));
}

// Looks a word up in a name table; a word the table does not know is the console's mistake.
template <class T>
T word(const DOMElement* element, const char* attribute, T (*fromString)(const std::string&),
       const char* expected) {
    const std::string value = text(element, attribute);
    try {
        return fromString(value);
    } catch (CZAFTableLookupError* e) {
        CZAFThrowableGuard guard(e);
        badValue(attribute, value, expected);
    }
}

bool yesNo(const DOMElement* element, const char* attribute) {
    return word(element, attribute, &gBoolFromString, "yes or no");
}

// The attribute's text without the blanks and tabs around it, which a console may leave there.
std::string trimmed(const DOMElement* element, const char* attribute) {
    std::string value = text(element, attribute);
    CZAFUtil::trimString(value);
    return value;
}

// A whole decimal number from 0 to `maximum`, read as the standard conversion reads it when the
// text is unambiguous: blanks around it and a sign ("+5", "-0") are fine; anything after the
// digits, a negative number or one above `maximum` is refused.
uint32_t number(const DOMElement* element, const char* attribute, uint32_t maximum) {
    const std::string value = trimmed(element, attribute);
    size_t i = 0;
    bool negative = false;
    if (!value.empty() && (value[0] == '+' || value[0] == '-')) {
        negative = value[0] == '-';
        ++i;
    }
    uint64_t result = 0;
    bool fits = i < value.size();
    for (; fits && i < value.size(); ++i) {
        const char c = value[i];
        if (c < '0' || c > '9') {
            fits = false;
            break;
        }
        result = result * 10 + static_cast<uint64_t>(c - '0');
        fits = result <= maximum;
    }
    if (!fits || (negative && result != 0))
        badValue(attribute, text(element, attribute),
                 "a whole number from 0 to " + std::to_string(maximum));
    return static_cast<uint32_t>(result);
}

// Key sizes travel to the facade as 16-bit values; a larger number is refused here rather than
// cut to its low 16 bits, which would generate a key of an unrelated size.
uint16_t keySize(const DOMElement* element, const char* attribute) {
    return static_cast<uint16_t>(number(element, attribute, UINT16_MAX));
}

// Year, month and day as digits joined by "-", each at least one digit ("2031-1-1").
bool isDayText(const std::string& value) {
    unsigned int dashes = 0;
    bool digits = false;
    for (const char c : value) {
        if (c >= '0' && c <= '9') {
            digits = true;
        } else if (c == '-' && digits && dashes < 2) {
            ++dashes;
            digits = false;
        } else {
            return false;
        }
    }
    return dashes == 2 && digits;
}

// A day in the form YYYY-MM-DD; blanks around it and fields without their leading zeros are
// read as well. Text after the day is refused, which the parser would otherwise ignore; a day
// the toolkit's clock cannot hold is refused by the parser.
CZAFTime date(const DOMElement* element, const char* attribute) {
    const std::string value = trimmed(element, attribute);
    const char* const expected = "a date of the form YYYY-MM-DD";
    if (!isDayText(value))
        badValue(attribute, text(element, attribute), expected);
    try {
        return CZAFTime::createFromYMD(value);
    } catch (CZAFTimeParseException* e) {
        CZAFThrowableGuard guard(e);
        badValue(attribute, text(element, attribute), expected);
    }
}

// An expiry date. The first day of the clock is its zero, which means "never": as an expiry
// it is a day long past, so it is moved to the first second of that day, which the facade
// refuses as not later than today instead of making a key that never expires.
CZAFTime expiryDate(const DOMElement* element, const char* attribute) {
    const CZAFTime day = date(element, attribute);
    return day.isNever() ? CZAFTime(1, 0) : day;
}

// The first element `name` below `data`. The structural checks count such elements in the
// whole document, so one may still stand outside "data".
const DOMElement* childElement(const DOMElement* data, const XMLCh* name, const char* label) {
    DOMNodeList* list = data->getElementsByTagName(name);
    if (list == nullptr || list->getLength() == 0)
        throw new CGUIFormatException(std::string("The '") + label +
                                      "' element must be inside the 'data' element");
    const DOMNode* node = list->item(0);
    ZAF_ASSERT_TAG(kTag, node->getNodeType() == DOMNode::ELEMENT_NODE);
    return static_cast<const DOMElement*>(node);
}

// The Base64 text that is the first child of `element`, decoded; no children give no bytes.
std::string base64Content(const DOMElement* element, const char* label) {
    const DOMNode* first = element->getFirstChild();
    if (first == nullptr)
        return std::string();
    const DOMNode::NodeType type = first->getNodeType();
    if (type != DOMNode::TEXT_NODE && type != DOMNode::CDATA_SECTION_NODE)
        throw new CGUIFormatException(std::string("The first child of the '") + label +
                                      "' element must be text, not the node '" +
                                      gFromXML(first->getNodeName()) + "'");
    std::string encoded = gFromXML(first->getNodeValue());
    std::string bytes;
    gRequestWork([&] { CZAFUtil::Base64Decode(encoded, bytes); });
    return bytes;
}

std::unique_ptr<CGUIElement> entropyReport(const char* attribute, unsigned int bytes) {
    auto report = std::make_unique<CGUIElement>(kEntropyReport);
    report->set(attribute, std::to_string(bytes));
    return report;
}

std::string toolkitErrorText(int32_t code) {
    char buffer[512] = {0};
    ZAFGetErrorString(code, sizeof buffer - 1, buffer);
    return buffer;
}

using CKeyPtr = std::unique_ptr<CZAFKey>;

} // namespace

std::unique_ptr<CGUIElement> CGUIKeyRequests::doEntropyPair(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const eKeyType type = word(data, "type", &gKeyTypeFromStringArg, "a key type");
    const uint16_t size = keySize(data, "size");
    const unsigned int needed =
        gRequestWork([&] { return m_server.neededEntropyForKeyPair(type, size); });
    return entropyReport(kNeeded, needed);
}

std::unique_ptr<CGUIElement> CGUIKeyRequests::doEntropySubkey(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const std::string id = text(data, "id");
    const uint16_t size = keySize(data, "subkey-size");
    const unsigned int needed = gRequestWork([&] {
        CKeyPtr key(m_server.getKeyByID(id));
        return m_server.neededEntropyForSubkey(key.get(), size);
    });
    return entropyReport(kNeeded, needed);
}

std::unique_ptr<CGUIElement> CGUIKeyRequests::doEntropySupply(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const DOMElement* entropy = childElement(data, kEntropy, "entropy");
    const uint32_t needed = number(entropy, "needed", UINT32_MAX);
    std::string bytes = base64Content(entropy, "entropy");
    const unsigned int available = gRequestWork([&] {
        m_server.supplyEntropy(bytes);
        return m_server.reserveEntropy(needed);
    });
    CZAFUtil::wipe(bytes);
    return entropyReport(kAvailable, available);
}

std::unique_ptr<CGUIElement> CGUIKeyRequests::doKeyGen(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const std::string passphrase = text(data, "passphrase");
    const std::string name = text(data, "name");
    const eKeyType type = word(data, "type", &gKeyTypeFromStringArg, "a key type");
    const ZAFCipherAlgorithm cipher = word(data, "cipher", &gCipherFromString, "a cipher");
    const uint16_t size = keySize(data, "size");
    const std::string adk = text(data, "adk");
    const bool signOnly = yesNo(data, "sign-only");
    CZAFTime expiry;
    if (has(data, "expiry-date"))
        expiry = expiryDate(data, "expiry-date");
    gRequestWork([&] {
        // Every editing request works on the rings as they are now (another session of the
        // same user may have changed them).
        m_server.UpdateKeyDB();
        m_server.generateKeyPair(name, passphrase, type, cipher, size, adk, signOnly, expiry);
    });
    // The new key, named as the keys summary names keys, so that a console can tell it.
    const std::string& longID = m_server.getLastGeneratedKeyID();
    if (longID.size() != 18)
        return nullptr;
    auto key = std::make_unique<CGUIElement>("key");
    key->set("id", "0x" + longID.substr(10));
    key->set("idfull", longID);
    return key;
}

std::unique_ptr<CGUIElement> CGUIKeyRequests::doSubkeyGen(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const std::string id = text(data, "id");
    const uint16_t size = keySize(data, "subkey-size");
    const std::string passphrase = text(data, "passphrase");
    const CZAFTime start = has(data, "start-date") ? date(data, "start-date") : CZAFTime::now();
    CZAFTime expiry;
    if (has(data, "expiry-date"))
        expiry = expiryDate(data, "expiry-date");
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        m_server.generateSubkey(id, passphrase, size, start, expiry);
    });
    return nullptr;
}

std::unique_ptr<CGUIElement> CGUIKeyRequests::doKeyRemove(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const std::string id = text(childElement(data, kKey, "key"), "id");
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        // The removal deletes the key and clears the pointer as soon as the key has left the
        // database, before the rings are written: a failure after that (the flush) must not
        // delete it again.
        CZAFKey* removed = CKeyPtr(m_server.getKeyByID(id)).release();
        try {
            m_server.removeKey(removed);
        } catch (...) {
            delete removed;
            throw;
        }
    });
    return nullptr;
}

std::unique_ptr<CGUIElement> CGUIKeyRequests::doKeySign(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const std::string signedID = text(data, "signed-key");
    const std::string signingID = text(data, "signing-key");
    const eSigType type = word(data, "sig-type", &gSigTypeFromString, "a signature type");
    const std::string regexp = text(data, "regexp");
    const std::string passphrase = text(data, "passphrase");
    const unsigned int depth = number(data, "depth", UINT32_MAX);
    CZAFTime expiry;
    if (has(data, "expiry-date"))
        expiry = expiryDate(data, "expiry-date");
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        CKeyPtr target(m_server.getKeyByID(signedID));
        CKeyPtr signer(m_server.getKeyByID(signingID));
        m_server.signKey(target.get(), signer.get(), type, regexp, passphrase, depth, expiry);
    });
    return nullptr;
}

std::unique_ptr<CGUIElement> CGUIKeyRequests::doKeyRevoke(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const std::string id = text(data, "id");
    const std::string revokerID = text(data, "revoker-id");
    const std::string passphrase = text(data, "passphrase");
    // Optional: why (an RFC 4880 reason code, as a number or its word) and an explanation.
    SRevocationReason reason;
    if (has(data, "reason") && !gRevocationReasonFromString(trimmed(data, "reason"), reason.code))
        badValue("reason", text(data, "reason"),
                 "a reason for revocation (none, superseded, compromised, retired, uid-invalid, "
                 "or its code)");
    if (has(data, "reason-text")) {
        reason.text = text(data, "reason-text");
        if (reason.text.size() > kZAFMaxRevocationReasonLength)
            badValue("reason-text", reason.text,
                     "an explanation of at most " + std::to_string(kZAFMaxRevocationReasonLength) +
                         " bytes");
    }
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        m_server.revokeKey(id, revokerID, passphrase, reason);
    });
    return nullptr;
}

std::unique_ptr<CGUIElement> CGUIKeyRequests::doUserIDAdd(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const std::string id = text(data, "id");
    const std::string userID = text(data, "userid");
    const std::string passphrase = text(data, "passphrase");
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        m_server.addUserID(id, userID, passphrase);
    });
    return nullptr;
}

std::unique_ptr<CGUIElement> CGUIKeyRequests::doUserIDRemove(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const std::string id = text(data, "id");
    const std::string userID = text(data, "userid");
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        m_server.removeUserID(id, userID, false, false);
    });
    return nullptr;
}

std::unique_ptr<CGUIElement> CGUIKeyRequests::doKeyImport(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const bool x509 = yesNo(data, "x509");
    const bool withPrivate = yesNo(data, "with-private");
    const DOMElement* file = childElement(data, kFile, "file");
    const uint32_t size = number(file, "size", UINT32_MAX);
    // The bytes may hold secret keys: wiped on every way out.
    struct SWiped {
        std::string bytes;
        ~SWiped() { CZAFUtil::wipe(bytes); }
    } key;
    key.bytes = base64Content(file, "file");
    int status = 2;
    int32_t code = kZAFError_CorruptData;
    if (key.bytes.size() == size)
        code = gRequestWork([&] {
            m_server.UpdateKeyDB();
            return m_server.importKeyFromBuffer(
                reinterpret_cast<const unsigned char*>(key.bytes.data()), size, x509, withPrivate,
                status);
        });
    if (code != kZAFError_NoErr)
        throw new CGUIKeyImportException(toolkitErrorText(code));
    auto report = std::make_unique<CGUIElement>(kFileReport);
    report->set(kError, std::to_string(status));
    // What the import did to the keys it read.
    const CVornServer::SImportCounts& counts = m_server.getLastImportCounts();
    report->set("new", std::to_string(counts.newKeys));
    report->set("changed", std::to_string(counts.changed));
    report->set("unchanged", std::to_string(counts.unchanged));
    // User IDs and subkeys without a verified self-signature or binding were left out.
    unsigned int userIDs = 0, subkeys = 0;
    m_server.getLastImportDrops(userIDs, subkeys);
    if (userIDs != 0)
        report->set("dropped-userids", std::to_string(userIDs));
    if (subkeys != 0)
        report->set("dropped-subkeys", std::to_string(subkeys));
    // Certifications by issuers not held beyond the per-user-ID limit were left out too.
    if (const unsigned int certifications = m_server.getLastImportDroppedCertifications())
        report->set("dropped-certifications", std::to_string(certifications));
    return report;
}

std::unique_ptr<CGUIElement> CGUIKeyRequests::doKeyExport(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const std::string id = text(data, "id");
    const bool armored = yesNo(data, "armor");
    const bool withPrivate = yesNo(data, "with-private");
    const ZAFExportFormat format =
        word(data, "export-format", &gExportFormatFromString, "an export format");

    std::vector<std::string> lines;
    std::string encoded;
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        CKeyPtr key(m_server.getKeyByID(id));
        const std::string temp = m_server.getFileManager().getTempFilename();
        try {
            m_server.exportKey(key.get(), temp, false, format, withPrivate, armored);
            std::unique_ptr<CZAFFile> file(CZAFFileManager::open(
                temp, eFileOpenRead, armored ? eFileTypeText : eFileTypeBinary));
            if (armored) {
                auto* textFile = dynamic_cast<CZAFTextFile*>(file.get());
                ZAF_ASSERT_TAG(kTag, textFile != nullptr);
                std::string line;
                while (textFile->readLine(line, kMaxExportLine))
                    lines.push_back(line);
                CZAFUtil::wipe(line);
            } else if (file->getSize() != 0) {
                std::string bytes;
                file->readWholeFile(bytes);
                CZAFUtil::Base64Encode(bytes, encoded);
                CZAFUtil::wipe(bytes);
            }
        } catch (...) {
            removeExportFile(temp, withPrivate);
            throw;
        }
        removeExportFile(temp, withPrivate);
    });

    auto file = std::make_unique<CGUIElement>("file");
    if (armored) {
        for (std::string& line : lines)
            file->add(kLine).setText(std::move(line));
    } else {
        file->setText(std::move(encoded));
    }
    return file;
}

std::unique_ptr<CGUIElement> CGUIKeyRequests::doGetPicture(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const std::string id = text(data, "id");
    std::string image;
    gRequestWork([&] { m_server.exportPhotoID(id, image); });
    std::string encoded;
    CZAFUtil::Base64Encode(image, encoded);
    auto photo = std::make_unique<CGUIElement>(kPhoto);
    photo->setText(std::move(encoded));
    return photo;
}

void CGUIKeyRequests::removeExportFile(const std::string& name, bool secret) noexcept {
    try {
        m_server.removeTempFile(name, secret);
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR("Could not remove the temporary file of an export:\n"
                      << e->getDetailedMessage());
    }
}

} // namespace vorngui
