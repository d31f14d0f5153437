// transfer: option lists, ASCII armour, import and export of keys.
#include "keys/keys.h"
#include "keystore_internal.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

using namespace zaf;

namespace {

ZAFOptionList gLastOption; // the end marker; never freed

bool isValidList(const ZAFOptionList* l) { return l != nullptr && l->magic == kOptionMagic; }

ZAFOptionListRef single(ZAFContextRef context, Option&& o) {
    if (!zaf::isValidCtx(context))
        return nullptr;
    try {
        auto* l = new ZAFOptionList();
        l->options.push_back(std::move(o));
        return l;
    } catch (...) {
        return nullptr;
    }
}

// Collects the options of a variadic call; builder-made lists are consumed. A null pointer (a
// failed builder) makes the whole call fail, after every list has been released.
bool collect(ZAFOptionListRef first, va_list ap, std::vector<Option>& out) {
    bool ok = true;
    // Bound the walk so a missing end marker cannot run for ever. Every list up to the end is
    // released even when an earlier one was bad, so a failed call leaks nothing.
    ZAFOptionListRef cur = first;
    int n = 0;
    for (; n < 256 && cur != &gLastOption; ++n) {
        if (!isValidList(cur)) {
            ok = false;
        } else {
            for (const Option& o : cur->options)
                if (o.type != kOptNull)
                    out.push_back(o);
            if (!cur->persistent) {
                cur->magic = 0;
                delete cur;
            }
        }
        cur = va_arg(ap, ZAFOptionListRef);
    }
    return ok && cur == &gLastOption;
}

} // namespace

namespace zaf {

ZAFOptionListRef makeOption(ZAFContextRef context, Option&& option) {
    return single(context, std::move(option));
}

bool collectOptions(ZAFOptionListRef first, va_list ap, std::vector<Option>& out) {
    return collect(first, ap, out);
}

} // namespace zaf

namespace {

const Option* find(const std::vector<Option>& opts, int type) {
    const Option* found = nullptr;
    for (const Option& o : opts)
        if (o.type == type)
            found = &o;
    return found;
}

// ---- armour ----

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(std::string_view in) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(in.data());
    for (; i + 3 <= in.size(); i += 3) {
        uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
        out.push_back(kB64[v >> 18]);
        out.push_back(kB64[(v >> 12) & 63]);
        out.push_back(kB64[(v >> 6) & 63]);
        out.push_back(kB64[v & 63]);
    }
    if (i < in.size()) {
        uint32_t v = uint32_t(p[i]) << 16;
        if (i + 1 < in.size())
            v |= uint32_t(p[i + 1]) << 8;
        out.push_back(kB64[v >> 18]);
        out.push_back(kB64[(v >> 12) & 63]);
        out.push_back(i + 1 < in.size() ? kB64[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

int b64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Decodes Base64 text (whitespace ignored). False on a stray character or bad padding.
bool unbase64(std::string_view in, std::string& out) {
    uint32_t acc = 0;
    int bits = 0;
    size_t pad = 0;
    for (char c : in) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            ++pad;
            continue;
        }
        if (pad)
            return false; // data after padding
        int v = b64Value(c);
        if (v < 0)
            return false;
        acc = (acc << 6) | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(char((acc >> bits) & 0xFF));
        }
    }
    return pad <= 2;
}

uint32_t crc24(std::string_view data) {
    uint32_t crc = 0xB704CE;
    for (char ch : data) {
        crc ^= uint32_t(uint8_t(ch)) << 16;
        for (int i = 0; i < 8; ++i) {
            crc <<= 1;
            if (crc & 0x1000000)
                crc ^= 0x1864CFB;
        }
    }
    return crc & 0xFFFFFF;
}

std::string_view trimLine(std::string_view l) {
    while (!l.empty() && (l.back() == '\r' || l.back() == ' ' || l.back() == '\t'))
        l.remove_suffix(1);
    return l;
}

} // namespace

namespace zaf {

std::string armor(std::string_view data, const std::string& label,
                  const std::vector<std::pair<std::string, std::string>>& headers) {
    std::string out = "-----BEGIN " + label + "-----\n";
    for (const auto& h : headers)
        out += h.first + ": " + h.second + "\n";
    out += "\n";
    std::string b = base64(data);
    for (size_t i = 0; i < b.size(); i += 64) {
        out.append(b, i, 64);
        out += "\n";
    }
    uint32_t crc = crc24(data);
    char c[3] = {char(crc >> 16), char((crc >> 8) & 0xFF), char(crc & 0xFF)};
    out += "=" + base64(std::string_view(c, 3)) + "\n";
    out += "-----END " + label + "-----\n";
    return out;
}

bool looksArmored(std::string_view data) {
    return data.find("-----BEGIN ") != std::string_view::npos;
}

bool dearmor(std::string_view text, std::vector<std::string>& blocks) {
    size_t pos = 0;
    bool any = false;
    while (blocks.size() < 10000) {
        size_t begin = text.find("-----BEGIN ", pos);
        if (begin == std::string_view::npos)
            break;
        size_t eol = text.find('\n', begin);
        if (eol == std::string_view::npos)
            return false;
        std::string_view head = trimLine(text.substr(begin, eol - begin));
        if (head.size() < 16 || head.substr(head.size() - 5) != "-----")
            return false;
        std::string label(head.substr(11, head.size() - 16));
        std::string endLine = "-----END " + label + "-----";
        size_t end = text.find(endLine, eol);
        if (end == std::string_view::npos)
            return false;
        std::string_view bodyText = text.substr(eol + 1, end - eol - 1);
        // Headers run up to the first blank line; a body without headers starts at once.
        std::vector<std::string_view> lines;
        size_t lp = 0;
        while (lp <= bodyText.size()) {
            size_t nl = bodyText.find('\n', lp);
            if (nl == std::string_view::npos)
                nl = bodyText.size();
            lines.push_back(trimLine(bodyText.substr(lp, nl - lp)));
            lp = nl + 1;
        }
        size_t first = 0;
        bool hasBlank = false;
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].empty()) {
                hasBlank = true;
                first = i + 1;
                break;
            } else if (lines[i].find(": ") == std::string_view::npos) {
                break;
            }
        if (!hasBlank)
            first = 0;
        std::string b64;
        std::string_view checksum;
        for (size_t i = first; i < lines.size(); ++i) {
            if (lines[i].empty())
                continue;
            if (lines[i][0] == '=') {
                checksum = lines[i].substr(1);
                break;
            }
            b64.append(lines[i]);
        }
        std::string decoded;
        if (!unbase64(b64, decoded))
            return false;
        if (!checksum.empty()) {
            std::string c;
            if (!unbase64(checksum, c) || c.size() != 3)
                return false;
            uint32_t want =
                (uint32_t(uint8_t(c[0])) << 16) | (uint32_t(uint8_t(c[1])) << 8) | uint8_t(c[2]);
            if (want != crc24(decoded))
                return false;
        }
        blocks.push_back(std::move(decoded));
        any = true;
        pos = end + endLine.size();
    }
    return any;
}

} // namespace zaf

using namespace zaf;

namespace {

// The exportable bytes of a key's public part for the given format. A key that only the secret
// ring holds is exported as the public form of its secret packets; when a key packet's public
// part cannot be told apart (an algorithm we cannot parse) nothing of that key is exported, so
// secret material never leaves in a public export.
void exportPublic(const Key& k, int32_t format, std::string& out) {
    const bool fromSecret = k.pubLength == 0;
    if (fromSecret && !k.hasSecret())
        return;
    std::vector<bool> drop(k.packets.size(), false);
    bool any = false;
    // Objects by packet, to know which signatures are local.
    std::vector<int32_t> objOf(k.packets.size(), -1);
    for (const ZAFKeyDBObj& o : k.objs)
        objOf[o.packet] = int32_t(o.index);
    bool inAttribute = false;
    for (size_t i = 0; i < k.packets.size(); ++i) {
        uint8_t tag = k.packets[i].tag;
        if (tag == rfc4880::kTagUserID || tag == rfc4880::kTagPublicSubkey ||
            tag == rfc4880::kTagSecretSubkey)
            inAttribute = false;
        if (tag == rfc4880::kTagUserAttribute)
            inAttribute = format != kZAFExportFormat_Complete;
        // Trust packets are local; user IDs and subkeys that count for nothing stay here.
        bool d = inAttribute || tag == rfc4880::kTagTrust || k.packets[i].hidden;
        if (tag == rfc4880::kTagSignature && objOf[i] >= 0 && !k.objs[size_t(objOf[i])].exportable)
            d = true;
        drop[i] = d;
        any = any || d;
    }
    if (!any && !fromSecret) {
        out.append(k.pubBytes());
        return;
    }
    std::string result;
    for (size_t i = 0; i < k.packets.size(); ++i) {
        if (drop[i])
            continue;
        uint8_t tag = k.packets[i].tag;
        if (tag == rfc4880::kTagSecretKey || tag == rfc4880::kTagSecretSubkey) {
            std::string_view pub = edit::publicPart(k.packetBody(uint32_t(i)));
            if (pub.empty())
                return;
            rfc4880::writePacket(result,
                                 tag == rfc4880::kTagSecretKey ? rfc4880::kTagPublicKey
                                                               : rfc4880::kTagPublicSubkey,
                                 pub);
        } else {
            result.append(k.packetBytes(uint32_t(i)));
        }
    }
    out.append(result);
}

// A key read by an import without the user IDs and subkeys that count for nothing (no verified
// self-signature or binding), built as a secret key when it came from a secret block.
KeyPtr withoutHidden(const KeyPtr& kp, bool secret) {
    const Key& k = *kp;
    bool any = k.hiddenUserIDs || k.hiddenSubKeys;
    if (!any && !secret)
        return kp;
    std::string bytes;
    if (any) {
        for (size_t i = 0; i < k.packets.size(); ++i)
            if (!k.packets[i].hidden)
                bytes.append(k.packetBytes(uint32_t(i)));
    } else {
        bytes.assign(k.mainBytes());
    }
    return secret ? buildKeyFromStrings(std::string(), std::move(bytes), false)
                  : buildKeyFromStrings(std::move(bytes), std::string(), false);
}

} // namespace

extern "C" {

ZAFOptionListRef ZAFOLastOption(void) {
    return zaf::guard(ZAFOptionListRef(nullptr),
                      [&]() -> ZAFOptionListRef { return &gLastOption; });
}

ZAFOptionListRef ZAFONullOption(ZAFContextRef context) {
    return zaf::guard(ZAFOptionListRef(nullptr),
                      [&]() -> ZAFOptionListRef { return single(context, Option()); });
}

ZAFOptionListRef ZAFOInputBuffer(ZAFContextRef context, const void* data, size_t size) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        if (data == nullptr && size)
            return nullptr;
        Option o;
        o.type = kOptInputBuffer;
        try {
            o.data.assign(static_cast<const char*>(data), size);
        } catch (...) {
            return nullptr;
        }
        return single(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOInputFile(ZAFContextRef context, ZAFFileSpecRef file) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        if (!isValidFileSpec(file))
            return nullptr;
        Option o;
        o.type = kOptInputFile;
        o.data = file->path;
        return single(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOInputFormat(ZAFContextRef context, int32_t format) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        Option o;
        o.type = kOptInputFormat;
        o.value = format;
        return single(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOExportKeySet(ZAFContextRef context, ZAFKeySetRef keySet) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        if (!isValidSet(keySet))
            return nullptr;
        Option o;
        o.type = kOptExportKeySet;
        o.handle = keySet;
        return single(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOOutputFile(ZAFContextRef context, ZAFFileSpecRef file) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        if (!isValidFileSpec(file))
            return nullptr;
        Option o;
        o.type = kOptOutputFile;
        o.data = file->path;
        return single(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOAllocatedOutputBuffer(ZAFContextRef context, void** outData, size_t maxSize,
                                           size_t* outSize) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        if (outData == nullptr || outSize == nullptr)
            return nullptr;
        Option o;
        o.type = kOptAllocatedOutput;
        o.outData = outData;
        o.outSize = outSize;
        o.maxSize = maxSize;
        return single(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOExportPrivateKeys(ZAFContextRef context, ZAFBoolean value) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        Option o;
        o.type = kOptExportPrivate;
        o.value = value ? 1 : 0;
        return single(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOArmorOutput(ZAFContextRef context, ZAFBoolean value) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        Option o;
        o.type = kOptArmor;
        o.value = value ? 1 : 0;
        return single(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOExportFormat(ZAFContextRef context, int32_t format) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        Option o;
        o.type = kOptExportFormat;
        o.value = format;
        return single(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOPassphrase(ZAFContextRef context, const char* passphrase) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        if (passphrase == nullptr)
            return nullptr;
        Option o;
        o.type = kOptPassphrase;
        o.data = passphrase;
        return single(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOPasskeyBuffer(ZAFContextRef context, const void* data, size_t size) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        if (data == nullptr && size)
            return nullptr;
        Option o;
        o.type = kOptPasskey;
        o.data.assign(static_cast<const char*>(data), size);
        return single(context, std::move(o));
    });
}

ZAFError ZAFNewOptionList(ZAFContextRef context, ZAFOptionListRef* outList) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidCtx(context))
            return kZAFError_InvalidHandle;
        if (outList == nullptr)
            return kZAFError_BadParams;
        auto* l = new ZAFOptionList();
        l->persistent = true;
        *outList = l;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFAppendOptionList(ZAFOptionListRef list, ...) {
    va_list ap;
    va_start(ap, list);
    ZAFError result = zaf::guard([&]() -> ZAFError {
        if (!isValidList(list))
            return kZAFError_InvalidHandle;
        if (list == &gLastOption)
            return kZAFError_BadParams;
        ZAFOptionListRef first = va_arg(ap, ZAFOptionListRef);
        std::vector<Option> opts;
        if (!collect(first, ap, opts))
            return kZAFError_BadParams;
        for (Option& o : opts)
            list->options.push_back(std::move(o));
        return kZAFError_NoErr;
    });
    va_end(ap);
    return result;
}

ZAFError ZAFFreeOptionList(ZAFOptionListRef list) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidList(list))
            return kZAFError_InvalidHandle;
        if (list == &gLastOption)
            return kZAFError_BadParams;
        list->magic = 0;
        delete list;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFImport(ZAFContextRef context, ZAFKeyDBRef* outKeyDB, ZAFOptionListRef first, ...) {
    va_list ap;
    va_start(ap, first);
    ZAFError result = zaf::guard([&]() -> ZAFError {
        std::vector<Option> opts;
        bool ok = collect(first, ap, opts);
        if (!isValidCtx(context))
            return kZAFError_InvalidHandle;
        if (!ok || outKeyDB == nullptr)
            return kZAFError_BadParams;
        std::string input;
        if (const Option* b = find(opts, kOptInputBuffer)) {
            input = b->data;
        } else if (const Option* f = find(opts, kOptInputFile)) {
            // A file named for an import is the caller's choice: a link to it is followed.
            orxfile::UserFile file;
            ZAFError err = openUserFile(f->data, O_RDONLY, kMaxRingBytes, true, file);
            if (err != kZAFError_NoErr)
                return err;
            if (file.readAll(input) != orxfile::Problem::None)
                return kZAFError_ReadFailed;
        } else {
            return kZAFError_BadParams;
        }
        if (input.size() > kMaxRingBytes)
            return kZAFError_BadParams;
        const Option* fmt = find(opts, kOptInputFormat);
        if (fmt && fmt->value == kZAFInputFormat_X509) {
            // X.509 material is a DER sequence or a PEM certificate; we hold no such keys.
            bool der = !input.empty() && uint8_t(input[0]) == 0x30;
            bool pem = input.find("-----BEGIN CERTIFICATE") != std::string::npos;
            return der || pem ? ZAFError(kZAFError_NotImplemented) : ZAFError(kZAFError_NotX509);
        }
        std::string binary;
        if (looksArmored(input)) {
            std::vector<std::string> blocks;
            if (!dearmor(input, blocks))
                return kZAFError_CorruptData;
            for (const std::string& b : blocks)
                binary += b;
        } else {
            binary.swap(input);
        }
        auto store = std::make_shared<const std::string>(std::move(binary));
        std::vector<KeyPtr> keys;
        std::vector<std::string> loose;
        // Nothing from outside may claim checks already made: every signature that counts is
        // verified here.
        // Within a check budget, like reading a ring (the keys rebuilt below included).
        CheckBudget budget;
        CheckBudgetScope scope(&budget);
        parseKeys(store, false, false, keys, &loose, false);
        // Keys read from a secret block carry their secret part; parseKeys saw them as public.
        std::vector<KeyPtr> fixed;
        uint32_t droppedUserIDs = 0, droppedSubKeys = 0;
        size_t refused = 0;
        for (KeyPtr& k : keys) {
            // A key whose parameters we do not compute with stays out.
            if (k->refused) {
                ++refused;
                continue;
            }
            bool secret = !k->packets.empty() && k->packets[0].tag == rfc4880::kTagSecretKey;
            // A key the budget did not finish keeps every packet: what was not checked yet is
            // checked when the ring is read again.
            if (k->unchecked) {
                KeyPtr whole =
                    secret ? buildKeyFromStrings(std::string(), std::string(k->mainBytes()), false)
                           : k;
                if (whole)
                    fixed.push_back(whole);
                continue;
            }
            droppedUserIDs += k->hiddenUserIDs;
            droppedSubKeys += k->hiddenSubKeys;
            KeyPtr kept = withoutHidden(k, secret);
            if (kept)
                fixed.push_back(kept);
        }
        if (fixed.empty() && loose.empty() && refused != 0)
            return kZAFError_UnsupportedAlg;
        if (fixed.empty() && loose.empty() && !store->empty())
            return kZAFError_CorruptData;
        auto db = std::make_unique<ZAFKeyDB>();
        db->context = context;
        db->root.db = db.get();
        db->root.isRoot = true;
        for (KeyPtr& k : fixed) {
            Key* existing = db->findByFingerprint(k->fingerprintKey());
            if (existing) {
                // The same key twice (public and secret block): one key with both parts.
                auto tmp = std::make_unique<ZAFKeyDB>();
                tmp->context = context;
                tmp->root.db = tmp.get();
                tmp->root.isRoot = true;
                tmp->addKey(k, false);
                ZAFCopyKeys(&tmp->root, db.get(), nullptr);
                continue;
            }
            db->addKey(k, false);
        }
        for (std::string& rev : loose) {
            rfc4880::RawPacket rp;
            std::string scratch;
            rfc4880::SigInfo sig;
            if (rfc4880::readPacket(reinterpret_cast<const uint8_t*>(rev.data()), rev.size(), 0, rp,
                                    scratch) &&
                rfc4880::parseSignature(rp.body, sig) && sig.type == 0x20)
                db->pendingRevocations.push_back(std::move(rev));
        }
        if (!db->pendingRevocations.empty()) {
            // Revocations naming keys of this same input are applied right here.
            ZAFBoolean changed = 0;
            ZAFCopyKeys(&db->root, db.get(), &changed);
        }
        db->changed.clear();
        db->removed.clear();
        db->droppedUserIDs = droppedUserIDs;
        db->droppedSubKeys = droppedSubKeys;
        *outKeyDB = db.release();
        return kZAFError_NoErr;
    });
    va_end(ap);
    return result;
}

ZAFError ZAFExport(ZAFContextRef context, ZAFOptionListRef first, ...) {
    va_list ap;
    va_start(ap, first);
    ZAFError result = zaf::guard([&]() -> ZAFError {
        std::vector<Option> opts;
        bool ok = collect(first, ap, opts);
        if (!isValidCtx(context))
            return kZAFError_InvalidHandle;
        if (!ok)
            return kZAFError_BadParams;
        const Option* setOpt = find(opts, kOptExportKeySet);
        const Option* fileOpt = find(opts, kOptOutputFile);
        const Option* bufOpt = find(opts, kOptAllocatedOutput);
        if (setOpt == nullptr || (fileOpt == nullptr && bufOpt == nullptr))
            return kZAFError_BadParams;
        auto* set = static_cast<ZAFKeySet*>(setOpt->handle);
        if (!isValidSet(set))
            return kZAFError_BadParams;
        const Option* priv = find(opts, kOptExportPrivate);
        const Option* arm = find(opts, kOptArmor);
        const Option* fmt = find(opts, kOptExportFormat);
        bool withPrivate = priv && priv->value;
        int32_t format = fmt && fmt->value == kZAFExportFormat_Compatible
                             ? kZAFExportFormat_Compatible
                             : kZAFExportFormat_Complete;
        std::string pub, sec;
        for (const KeyPtr& k : set->list()) {
            if (withPrivate && k->hasSecret())
                sec.append(k->secBytes());
            else
                exportPublic(*k, format, pub);
        }
        std::string out;
        if (arm && arm->value) {
            std::vector<std::pair<std::string, std::string>> headers;
            std::string version = envString(context, kZAFEnv_Version);
            std::string comment = envString(context, kZAFEnv_Comment);
            if (!version.empty())
                headers.emplace_back("Version", version);
            if (!comment.empty())
                headers.emplace_back("Comment", comment);
            if (!pub.empty() || sec.empty())
                out += armor(pub, "ZAF PUBLIC KEY BLOCK", headers);
            if (!sec.empty())
                out += armor(sec, "ZAF PRIVATE KEY BLOCK", headers);
        } else {
            out = pub + sec;
        }
        if (fileOpt) {
            ZAFError err = writeFileAtomic(fileOpt->data, out, sec.empty() ? 0644 : 0600);
            if (err != kZAFError_NoErr)
                return err;
        }
        if (bufOpt) {
            if (bufOpt->maxSize && out.size() > bufOpt->maxSize)
                return kZAFError_BufferTooSmall;
            void* block = std::malloc(out.empty() ? 1 : out.size());
            if (block == nullptr)
                return kZAFError_OutOfMemory;
            if (!out.empty())
                std::memcpy(block, out.data(), out.size());
            *bufOpt->outData = block;
            *bufOpt->outSize = out.size();
        }
        return kZAFError_NoErr;
    });
    va_end(ap);
    return result;
}

} // extern "C"
