// keysplit: split custody of a key pair's secret part. The secret part as the key rings hold it
// (the key pair's export, still protected by its passphrase), followed by 32 random bytes, is cut
// into N shares by Shamir's scheme over GF(2^8), any K of which rebuild it and fewer of which
// tell nothing about it. Every share carries the SHA-256 digest of every share of its split and
// of the whole secret, so that a wrong or corrupted share is named, never used; each share file
// is a message encrypted to its holder's key or with a passphrase of its own.
//
//   --key-split KEY --threshold K --count N [--userid HOLDER...] [--force]
//   --key-join SHARE... / --key-reconstruct SHARE...   restores the secret part
//   --decrypt / --sign ... --reconstruct-data SHARE... uses it once, in memory
//   --send-share SHARE --userid PARTY                   re-protects a share for a joining party
#include "engine_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserveredit.h>
#include <zaf/zafcrypto.h>
#include <zaf/zafkeymaint.h>
#include <zaf/zafkeys.h>
#include <zaf/zafmessage.h>
#include <zaf/zafrandom.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <sys/stat.h>

using namespace oozaf;

namespace orxengine {

// ---- GF(2^8) and Shamir's scheme ----

namespace shamir {

uint8_t gfMul(uint8_t a, uint8_t b) {
    // Shift-and-add over the polynomial x^8 + x^4 + x^3 + x + 1, without branches on the data.
    uint8_t product = 0;
    for (int i = 0; i < 8; ++i) {
        product ^= static_cast<uint8_t>(-(b & 1) & a);
        const uint8_t carry = static_cast<uint8_t>(-(a >> 7));
        a = static_cast<uint8_t>((a << 1) ^ (carry & 0x1B));
        b >>= 1;
    }
    return product;
}

uint8_t gfInv(uint8_t a) {
    // a^254 = a^-1 (and 0 for 0).
    uint8_t result = 1;
    uint8_t power = a;
    for (int e = 254; e > 0; e >>= 1) {
        if (e & 1)
            result = gfMul(result, power);
        power = gfMul(power, power);
    }
    return result;
}

std::vector<std::string> split(const std::string& secret, unsigned int threshold,
                               unsigned int count,
                               const std::function<void(uint8_t*, size_t)>& random) {
    if (threshold < 1 || threshold > count || count > 255)
        throw std::invalid_argument("shamir::split: threshold and count out of range");
    std::vector<std::string> shares(count, std::string(secret.size(), '\0'));
    std::vector<uint8_t> coefficients(threshold);
    for (size_t j = 0; j < secret.size(); ++j) {
        coefficients[0] = static_cast<uint8_t>(secret[j]);
        if (threshold > 1)
            random(coefficients.data() + 1, threshold - 1);
        for (unsigned int i = 0; i < count; ++i) {
            // Horner's rule at x = i + 1.
            const uint8_t x = static_cast<uint8_t>(i + 1);
            uint8_t y = 0;
            for (unsigned int c = threshold; c-- > 0;)
                y = static_cast<uint8_t>(gfMul(y, x) ^ coefficients[c]);
            shares[i][j] = static_cast<char>(y);
        }
    }
    volatile uint8_t* wipe = coefficients.data();
    for (size_t c = 0; c < coefficients.size(); ++c)
        wipe[c] = 0;
    return shares;
}

std::string combine(const std::vector<std::pair<uint8_t, std::string>>& shares) {
    if (shares.empty())
        return std::string();
    const size_t length = shares.front().second.size();
    // The Lagrange basis at 0: l_i = prod_{m != i} x_m / (x_m - x_i); subtraction is XOR.
    std::vector<uint8_t> basis(shares.size());
    for (size_t i = 0; i < shares.size(); ++i) {
        if (shares[i].first == 0 || shares[i].second.size() != length)
            throw std::invalid_argument("shamir::combine: bad share");
        uint8_t numerator = 1, denominator = 1;
        for (size_t m = 0; m < shares.size(); ++m) {
            if (m == i)
                continue;
            if (shares[m].first == shares[i].first)
                throw std::invalid_argument("shamir::combine: the same share twice");
            numerator = gfMul(numerator, shares[m].first);
            denominator = gfMul(denominator, shares[m].first ^ shares[i].first);
        }
        basis[i] = gfMul(numerator, gfInv(denominator));
    }
    std::string secret(length, '\0');
    for (size_t j = 0; j < length; ++j) {
        uint8_t value = 0;
        for (size_t i = 0; i < shares.size(); ++i)
            value ^= gfMul(static_cast<uint8_t>(shares[i].second[j]), basis[i]);
        secret[j] = static_cast<char>(value);
    }
    return secret;
}

} // namespace shamir

// ---- the share format ----

namespace {

const char kMagic[] = "ORXSHARE";
const size_t kMagicLength = 8;
const uint8_t kVersion = 1;
const size_t kDigestLength = 32;

void put32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((v >> shift) & 0xFF);
}

uint32_t get32(const std::string& d, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<unsigned char>(d[at + i]);
    return v;
}

} // namespace

std::string gEncodeShare(const SKeyShare& share) {
    std::string out(kMagic, kMagicLength);
    out += static_cast<char>(kVersion);
    out += static_cast<char>(share.threshold);
    out += static_cast<char>(share.count);
    out += static_cast<char>(share.index);
    out += static_cast<char>(share.fingerprint.size());
    out += share.fingerprint;
    put32(out, static_cast<uint32_t>(share.bytes.size()));
    out += share.secretDigest;
    out += share.digests;
    out += share.bytes;
    return out;
}

bool gDecodeShare(const std::string& data, SKeyShare& share, std::string& why) {
    size_t pos = 0;
    auto need = [&](size_t n) {
        if (data.size() - pos < n) {
            why = "it ends too early";
            return false;
        }
        return true;
    };
    if (!need(kMagicLength + 5) || data.compare(0, kMagicLength, kMagic, kMagicLength) != 0) {
        why = "it is no key share";
        return false;
    }
    pos = kMagicLength;
    const unsigned int version = static_cast<unsigned char>(data[pos++]);
    if (version != kVersion) {
        why = "its format version " + std::to_string(version) + " is not known";
        return false;
    }
    share.threshold = static_cast<unsigned char>(data[pos++]);
    share.count = static_cast<unsigned char>(data[pos++]);
    share.index = static_cast<unsigned char>(data[pos++]);
    if (share.threshold < 2 || share.threshold > share.count || share.index < 1 ||
        share.index > share.count) {
        why = "its threshold, count or number is out of range";
        return false;
    }
    const size_t fprLength = static_cast<unsigned char>(data[pos++]);
    if (fprLength != 16 && fprLength != 20) {
        why = "its key fingerprint has a wrong length";
        return false;
    }
    if (!need(fprLength + 4))
        return false;
    share.fingerprint = data.substr(pos, fprLength);
    pos += fprLength;
    const uint32_t length = get32(data, pos);
    pos += 4;
    if (length == 0 || length > kMaxSharedSecret) {
        why = "its length is out of range";
        return false;
    }
    const size_t rest = kDigestLength * (1 + size_t(share.count)) + length;
    if (!need(rest))
        return false;
    if (data.size() - pos != rest) {
        why = "it has bytes after its end";
        return false;
    }
    share.secretDigest = data.substr(pos, kDigestLength);
    pos += kDigestLength;
    share.digests = data.substr(pos, kDigestLength * share.count);
    pos += kDigestLength * share.count;
    share.bytes = data.substr(pos, length);
    return true;
}

namespace {

template <class T> using Owned = std::unique_ptr<T>;

void check(ZAFError code, int32_t result, const std::string& what) {
    if (code != kZAFError_NoErr)
        fail(result, what + ": " + gToolkitText(code));
}

ZAFContextRef contextOf(CEngineRun& run) {
    return run.server().getKeyDB()->getContext().getHandle();
}

std::string sha256(ZAFContextRef context, const std::string& data) {
    ZAFHashContextRef hash = nullptr;
    check(ZAFNewHashContext(context, ::kZAFHashAlgorithm_SHA256, &hash), kZAFvorn_Failed,
          "SHA-256");
    struct SFree {
        ZAFHashContextRef h;
        ~SFree() { ZAFFreeHashContext(h); }
    } owned{hash};
    check(ZAFContinueHash(hash, data.data(), data.size()), kZAFvorn_Failed, "SHA-256");
    std::string digest(kDigestLength, '\0');
    check(ZAFFinalizeHash(hash, &digest[0], digest.size()), kZAFvorn_Failed, "SHA-256");
    return digest;
}

// The digest of one share that every share of its split lists: over its own fields.
std::string shareDigest(ZAFContextRef context, const SKeyShare& share) {
    SKeyShare own = share;
    own.digests.assign(kDigestLength * own.count, '\0');
    return sha256(context, gEncodeShare(own));
}

// Owns one handle of the message layer.
template <class T, ZAFError (*Free)(T)> struct SHandle {
    T ref = nullptr;
    ~SHandle() {
        if (ref != nullptr)
            Free(ref);
    }
};

// The passphrase of a share: a line of --challenge-fd, else as other passphrases are read.
void readSharePassphrase(CEngineRun& run, const std::string& what, CSecret& secret) {
    const int fd = run.setting(eZAFOpChallengeFD, -1);
    if (fd >= 0)
        run.readSecretLine(fd, what, secret);
    else
        run.readPassphrase(what, secret);
}

// Opens a share file: the message is decrypted with a held secret key (its passphrase read as
// usual) or with the share's passphrase; the share inside is parsed.
class CShareOpener {
public:
    explicit CShareOpener(CEngineRun& run) : m_run(run) {}

    // Each share file asks for its own passphrases (of the key that opens it, or of the share).
    SKeyShare open(const std::string& path) {
        m_what = "share file " + path;
        m_haveKeyPassphrase = false;
        const std::string data = m_run.readInput(path);
        if (data.size() > kMaxShareFile)
            fail(kZAFvorn_BadData, path + " is too large for a share file");
        const ZAFContextRef context = contextOf(m_run);
        SHandle<ZAFMessageParamsRef, ZAFFreeMessageParams> params;
        check(ZAFNewMessageParams(context, m_run.server().getKeyDB()->getHandle(), &params.ref),
              kZAFvorn_Failed, m_what);
        check(ZAFSetMessageOption(params.ref, kZAFMessageOption_PassphraseAttempts, 1),
              kZAFvorn_Failed, m_what);
        check(ZAFSetMessagePassphraseCallback(params.ref, ask, this), kZAFvorn_Failed, m_what);
        SHandle<ZAFMessageSourceRef, ZAFFreeMessageSource> source;
        check(ZAFNewMessageSourceFromBuffer(context, data.data(), data.size(), &source.ref),
              kZAFvorn_Failed, m_what);
        SHandle<ZAFMessageSinkRef, ZAFFreeMessageSink> sink;
        check(ZAFNewMessageSinkToBuffer(context, kMaxShareFile, &sink.ref), kZAFvorn_Failed,
              m_what);
        SHandle<ZAFMessageResultRef, ZAFFreeMessageResult> result;
        check(ZAFNewMessageResult(context, &result.ref), kZAFvorn_Failed, m_what);
        const ZAFError code =
            ZAFDecodeMessage(params.ref, source.ref, nullptr, sink.ref, result.ref);
        if (m_error)
            throw SEngineError(*m_error);
        if (code == kZAFError_BadPassphrase || code == kZAFError_NoDecryptionKey ||
            code == kZAFError_DecryptionFailed)
            fail(code == kZAFError_BadPassphrase ? kZAFvorn_BadPassphrase : kZAFvorn_NoKey,
                 path + ": cannot open the share: " + gToolkitText(code));
        if (code != kZAFError_NoErr)
            fail(kZAFvorn_BadData, path + ": not a good share file: " + gToolkitText(code));
        ZAFMessageInfo info{};
        if (ZAFGetMessageInfo(result.ref, &info) != kZAFError_NoErr ||
            (info.kinds & kZAFMessageKind_Encrypted) == 0 || info.mdc != kZAFMDC_Good)
            fail(kZAFvorn_BadData, path + ": a share file must be an encrypted message with an "
                                          "integrity check");
        const void* plain = nullptr;
        size_t plainSize = 0;
        check(ZAFGetMessageSinkData(sink.ref, &plain, &plainSize), kZAFvorn_BadData, m_what);
        std::string payload(static_cast<const char*>(plain), plainSize);
        SKeyShare share;
        std::string why;
        const bool good = gDecodeShare(payload, share, why);
        CZAFUtil::wipe(payload);
        if (!good)
            fail(kZAFvorn_BadData, path + ": " + why);
        if (shareDigest(context, share) !=
            share.digests.substr(kDigestLength * (share.index - 1), kDigestLength))
            fail(kZAFvorn_BadData, path + ": share " + std::to_string(share.index) +
                                       " is corrupted (its digest does not match)");
        return share;
    }

private:
    static ZAFError ask(void* user, const ZAFPassphraseRequest* request, char* buffer, size_t size,
                        size_t* outLength) {
        auto* self = static_cast<CShareOpener*>(user);
        CSecret* secret = &self->m_keyPassphrase;
        try {
            if (request->purpose == kZAFPassphraseFor_Message) {
                readSharePassphrase(self->m_run, self->m_what, self->m_sharePassphrase);
                secret = &self->m_sharePassphrase;
            } else if (!self->m_haveKeyPassphrase) {
                char id[32] = "";
                ZAFGetKeyIDString(&request->keyID, kZAFKeyIDString_Abbreviated, id, sizeof id);
                self->m_run.readPassphrase(std::string("key ") + id, self->m_keyPassphrase);
                self->m_haveKeyPassphrase = true;
            }
        } catch (SEngineError& e) {
            if (!self->m_error)
                self->m_error.reset(new SEngineError(e));
            return kZAFError_BadPassphrase;
        }
        if (secret->size() > size)
            return kZAFError_BadPassphrase;
        std::memcpy(buffer, secret->c_str(), secret->size());
        *outLength = secret->size();
        return kZAFError_NoErr;
    }

    CEngineRun& m_run;
    std::string m_what;
    CSecret m_keyPassphrase;
    bool m_haveKeyPassphrase = false;
    CSecret m_sharePassphrase;
    std::unique_ptr<SEngineError> m_error;
};

// Writes a share as a message to `holder` (when given) or with `passphrase`, into `path`.
void writeShareFile(CEngineRun& run, const SKeyShare& share, const CZAFKey* holder,
                    const CSecret* passphrase, const std::string& path) {
    const ZAFContextRef context = contextOf(run);
    std::string payload = gEncodeShare(share);
    SHandle<ZAFMessageParamsRef, ZAFFreeMessageParams> params;
    check(ZAFNewMessageParams(context, run.server().getKeyDB()->getHandle(), &params.ref),
          kZAFvorn_Failed, path);
    if (holder != nullptr) {
        const ZAFError code = ZAFAddMessageRecipient(params.ref, holder->getHandle());
        if (code != kZAFError_NoErr)
            fail(kZAFvorn_NoKey,
                 "cannot protect a share for " + gKeyName(*holder) + ": " + gToolkitText(code));
    } else {
        check(ZAFSetMessagePassphrase(params.ref, passphrase->c_str(), passphrase->size()),
              kZAFvorn_Failed, path);
    }
    check(ZAFSetMessageOption(params.ref, kZAFMessageOption_Armor,
                              run.setting(eZAFOpArmor, false) ? 1 : 0),
          kZAFvorn_Failed, path);
    const std::string name = "share";
    check(ZAFSetMessageLiteral(params.ref, kZAFLiteralMode_Binary, name.data(), name.size(), 0),
          kZAFvorn_Failed, path);
    SHandle<ZAFMessageSourceRef, ZAFFreeMessageSource> source;
    check(ZAFNewMessageSourceFromBuffer(context, payload.data(), payload.size(), &source.ref),
          kZAFvorn_Failed, path);
    SHandle<ZAFMessageSinkRef, ZAFFreeMessageSink> sink;
    check(ZAFNewMessageSinkToBuffer(context, 4 * kMaxShareFile, &sink.ref), kZAFvorn_Failed, path);
    const ZAFError code = ZAFEncodeMessage(params.ref, source.ref, sink.ref, nullptr);
    CZAFUtil::wipe(payload);
    check(code, kZAFvorn_Failed, "cannot protect share " + std::to_string(share.index));
    const void* data = nullptr;
    size_t size = 0;
    check(ZAFGetMessageSinkData(sink.ref, &data, &size), kZAFvorn_Failed, path);
    COutput output(run.io(), run.pending(), path, run.setting(eZAFOpOverwrite, false), true);
    output.write(static_cast<const char*>(data), size);
    output.commit();
}

unsigned int countSetting(CEngineRun& run, const char* sw, unsigned int low, unsigned int high) {
    const std::string text = run.cmd().arg(sw);
    if (text.empty())
        fail(kZAFvorn_Usage, std::string("--key-split needs ") + sw + " N");
    if (text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(text) < low || std::stoul(text) > high)
        fail(kZAFvorn_Usage,
             std::string(sw) + " takes " + std::to_string(low) + " to " + std::to_string(high));
    return static_cast<unsigned int>(std::stoul(text));
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

// The secret part of the key as the rings hold it (the key pair's binary export), with 32
// random bytes after it.
std::string secretOf(CEngineRun& run, const CZAFKey& key) {
    Owned<CZAFKeySet> one(key.getNewOneKeySet());
    std::string secret;
    gExportKeySet(run.server(), *one, true, false, oozaf::kZAFExportFormat_Complete, secret);
    std::string salt(32, '\0');
    check(ZAFContextGetRandomBytes(contextOf(run), &salt[0], salt.size()), kZAFvorn_Failed,
          "random bytes");
    secret += salt;
    CZAFUtil::wipe(salt);
    return secret;
}

// Rebuilds the secret (without its random tail) from the share files and checks it against the
// digest every share carries. Names the file of a share that is wrong.
std::string rebuild(CEngineRun& run, const std::vector<std::string>& files,
                    std::string& fingerprint) {
    CShareOpener opener(run);
    std::vector<SKeyShare> shares;
    std::vector<std::string> names;
    for (const std::string& file : files) {
        run.checkCancel();
        SKeyShare share = opener.open(file);
        if (!shares.empty()) {
            const SKeyShare& first = shares.front();
            if (share.fingerprint != first.fingerprint ||
                share.secretDigest != first.secretDigest || share.threshold != first.threshold ||
                share.count != first.count)
                fail(kZAFvorn_BadData, file + " is a share of another split than " + names[0]);
            if (share.digests != first.digests)
                fail(kZAFvorn_BadData, file + " and " + names[0] +
                                           " disagree on the digests of the split's "
                                           "shares: one of them was changed");
        }
        bool duplicate = false;
        for (const SKeyShare& seen : shares)
            duplicate = duplicate || seen.index == share.index;
        if (duplicate) {
            run.note(file + " holds share " + std::to_string(share.index) +
                     " again; it is counted once");
            continue;
        }
        shares.push_back(std::move(share));
        names.push_back(file);
    }
    if (shares.empty())
        fail(kZAFvorn_Usage, "name the share files");
    const unsigned int needed = shares.front().threshold;
    if (shares.size() < needed)
        fail(kZAFvorn_BadData, "not enough shares: " + std::to_string(shares.size()) +
                                   " different given, " + std::to_string(needed) + " of the " +
                                   std::to_string(shares.front().count) + " are needed");
    std::vector<std::pair<uint8_t, std::string>> points;
    for (size_t i = 0; i < needed; ++i)
        points.emplace_back(static_cast<uint8_t>(shares[i].index), shares[i].bytes);
    std::string secret = shamir::combine(points);
    for (auto& p : points)
        CZAFUtil::wipe(p.second);
    if (sha256(contextOf(run), secret) != shares.front().secretDigest) {
        CZAFUtil::wipe(secret);
        fail(kZAFvorn_BadData, "the shares do not rebuild the secret part their digest names");
    }
    fingerprint = shares.front().fingerprint;
    secret.resize(secret.size() - 32);
    return secret;
}

// Leaves the public key in the rings without its secret part, in one write of the rings.
void removeSecretPart(CEngineRun& run, CZAFKey& key) {
    Owned<CZAFKeySet> one(key.getNewOneKeySet());
    std::string publicPart;
    gExportKeySet(run.server(), *one, false, false, oozaf::kZAFExportFormat_Complete, publicPart);
    const ZAFContextRef context = contextOf(run);
    ZAFKeyDBRef imported = nullptr;
    check(ZAFImport(context, &imported,
                    ZAFOInputBuffer(context, publicPart.data(), publicPart.size()),
                    ZAFOLastOption()),
          kZAFvorn_Failed, "cannot keep the public key");
    CZAFKeyDB publicDB(run.server().getKeyDB()->getContext(), imported);
    Owned<CZAFKeySet> publicSet(publicDB.getRootKeySet());
    CZAFKeyDB& db = *run.server().getKeyDB();
    check(ZAFDeleteKeys(db.getHandle(), one->getHandle()), kZAFvorn_Failed,
          "cannot remove the secret part");
    db.CopyKeys(publicSet.get());
    db.flush();
}

} // namespace

// ---- the commands ----

void gCmdKeySplit(CEngineRun& run) {
    Owned<CZAFKey> key = run.findKey(run.args().front(), true);
    const unsigned int threshold = countSetting(run, "--threshold", 2, 255);
    const unsigned int count = countSetting(run, "--count", 2, 255);
    if (threshold > count)
        fail(kZAFvorn_Usage, "--threshold must not exceed --count");
    std::vector<Owned<CZAFKey>> holders;
    if (const auto* names = run.cmd().getArgs("--userid")) {
        if (names->size() != count)
            fail(kZAFvorn_Usage, "--userid names " + std::to_string(names->size()) +
                                     " holders for " + std::to_string(count) + " shares");
        for (const std::string& name : *names)
            holders.push_back(run.findKey(name, false, CZAFKeyDB::kMatchEnabledOnly));
    }
    std::string folder = run.cmd().arg("--output", ".");
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        fail(kZAFvorn_IO, "--output must name an existing folder for the share files");
    if (run.setting(eZAFOpForce, false))
        run.confirmOrStop("Split " + gKeyName(*key) +
                          " and remove its secret part from the key rings? The shares will be "
                          "its only copy.");

    // Passphrases for shares without holders: all read before anything is written.
    std::vector<std::unique_ptr<CSecret>> passphrases;
    if (holders.empty()) {
        for (unsigned int i = 1; i <= count; ++i) {
            const std::string what = "share " + std::to_string(i) + " of " + std::to_string(count);
            passphrases.emplace_back(new CSecret());
            readSharePassphrase(run, what, *passphrases.back());
            if (run.setting(eZAFOpChallengeFD, -1) < 0 && run.setting(eZAFOpPassphraseFD, -1) < 0) {
                CSecret again;
                run.readPassphrase(what + " (again)", again);
                if (again.str() != passphrases.back()->str())
                    fail(kZAFvorn_BadPassphrase, "the two passphrases differ");
            }
            if (passphrases.back()->size() == 0)
                fail(kZAFvorn_BadPassphrase, "the passphrase of " + what + " is empty");
        }
    }

    const ZAFContextRef context = contextOf(run);
    std::string secret = secretOf(run, *key);
    if (secret.size() > kMaxSharedSecret)
        fail(kZAFvorn_BadData, "the secret part of " + gKeyName(*key) + " is too large to split");
    std::vector<std::string> pieces =
        shamir::split(secret, threshold, count, [&](uint8_t* bytes, size_t n) {
            check(ZAFContextGetRandomBytes(context, bytes, n), kZAFvorn_Failed, "random bytes");
        });
    std::vector<SKeyShare> shares(count);
    std::string digests;
    for (unsigned int i = 0; i < count; ++i) {
        SKeyShare& share = shares[i];
        share.threshold = threshold;
        share.count = count;
        share.index = i + 1;
        share.fingerprint = key->getFingerprint();
        share.secretDigest = sha256(context, secret);
        share.bytes.swap(pieces[i]);
        digests += shareDigest(context, share);
    }
    // Before anything is written or removed: the shares rebuild the secret.
    std::vector<std::pair<uint8_t, std::string>> points;
    for (unsigned int i = count - threshold; i < count; ++i)
        points.emplace_back(static_cast<uint8_t>(i + 1), shares[i].bytes);
    std::string check = shamir::combine(points);
    const bool same = check == secret;
    CZAFUtil::wipe(check);
    CZAFUtil::wipe(secret);
    if (!same)
        fail(kZAFvorn_Failed, "the shares do not rebuild the secret part; nothing was written");

    const std::string id = key->getKeyIDString_Short().substr(2);
    const std::string extension = run.setting(eZAFOpArmor, false) ? ".asc" : ".zaf";
    auto pathOf = [&](unsigned int i) {
        return folder + "/" + id + "-share-" + std::to_string(i + 1) + "-of-" +
               std::to_string(count) + extension;
    };
    // A file in the way stops the split before any share is written.
    if (!run.setting(eZAFOpOverwrite, false))
        for (unsigned int i = 0; i < count; ++i)
            if (::lstat(pathOf(i).c_str(), &st) == 0)
                fail(kZAFvorn_IO, pathOf(i) + " exists (use --overwrite to replace it)");
    std::string written;
    for (unsigned int i = 0; i < count; ++i) {
        shares[i].digests = digests;
        const std::string path = pathOf(i);
        writeShareFile(run, shares[i], holders.empty() ? nullptr : holders[i].get(),
                       holders.empty() ? passphrases[i].get() : nullptr, path);
        CZAFUtil::wipe(shares[i].bytes);
        written += "  " + path +
                   (holders.empty() ? " (passphrase)" : " for " + gKeyName(*holders[i])) + "\n";
    }
    run.out("key " + gKeyName(*key) + " split into " + std::to_string(count) + " shares, any " +
            std::to_string(threshold) + " of which rebuild it:\n" + written);
    if (run.setting(eZAFOpForce, false)) {
        removeSecretPart(run, *key);
        run.out("secret part of " + key->getKeyIDString_Short() + " removed from the key rings\n");
    }
}

void gCmdKeyJoin(CEngineRun& run) {
    std::string fingerprint;
    std::string block = rebuild(run, run.args(), fingerprint);
    struct SWipe {
        std::string& s;
        ~SWipe() { CZAFUtil::wipe(s); }
    } wipe{block};
    std::vector<SVornImportedKey> report;
    gImportKeys(run.server(), block, report);
    Owned<CZAFKey> key = gKeyWithFingerprint(*run.server().getKeyDB(), fingerprint);
    if (!key || !key->isSecret())
        fail(kZAFvorn_Failed, "the rebuilt secret part could not be stored");
    run.out("secret part of " + gKeyName(*key) + " restored from " +
            std::to_string(run.args().size()) + " share files\n");
    if (run.cmd().has("--new-passphrase")) {
        CSecret current;
        run.readKeyPassphrase(*key, current);
        CSecret fresh;
        run.readPassphrase("the new passphrase of " + key->getKeyIDString_Short(), fresh);
        if (run.setting(eZAFOpPassphraseFD, -1) < 0) {
            CSecret again;
            run.readPassphrase("the new passphrase (again)", again);
            if (again.str() != fresh.str())
                fail(kZAFvorn_BadPassphrase, "the two passphrases differ");
        }
        const ZAFError code = ZAFChangeKeyPassphrase(key->getHandle(), current.c_str(),
                                                     current.size(), fresh.c_str(), fresh.size());
        check(code, code == kZAFError_BadPassphrase ? kZAFvorn_BadPassphrase : kZAFvorn_Failed,
              "cannot change the passphrase");
        run.server().getKeyDB()->flush();
        run.out("passphrase of " + key->getKeyIDString_Short() + " changed\n");
    }
}

void gUseReconstructedKey(CEngineRun& run) {
    const std::vector<std::string>* files = run.cmd().getArgs("--reconstruct-data");
    std::string fingerprint;
    std::string block = rebuild(run, *files, fingerprint);
    struct SWipe {
        std::string& s;
        ~SWipe() { CZAFUtil::wipe(s); }
    } wipe{block};
    // A database in memory only: the user's keys and the rebuilt secret part. It is never
    // written, and it goes with the run.
    const ZAFContextRef context = contextOf(run);
    ZAFKeyDBRef memory = nullptr;
    check(ZAFNewKeyDB(context, &memory), kZAFvorn_Failed, "cannot hold the rebuilt key");
    std::unique_ptr<CZAFKeyDB> db(new CZAFKeyDB(run.server().getKeyDB()->getContext(), memory));
    Owned<CZAFKeySet> mine(run.server().getKeyDB()->getRootKeySet());
    db->CopyKeys(mine.get());
    ZAFKeyDBRef imported = nullptr;
    check(ZAFImport(context, &imported, ZAFOInputBuffer(context, block.data(), block.size()),
                    ZAFOLastOption()),
          kZAFvorn_BadData, "the rebuilt secret part cannot be read");
    CZAFKeyDB rebuilt(run.server().getKeyDB()->getContext(), imported);
    Owned<CZAFKeySet> rebuiltSet(rebuilt.getRootKeySet());
    db->CopyKeys(rebuiltSet.get());
    run.useKeyDB(std::move(db));
    run.note("the secret part of the key with fingerprint " + hexOf(fingerprint) +
             " was rebuilt for this command only");
}

void gCmdSendShare(CEngineRun& run) {
    const auto* parties = run.cmd().getArgs("--userid");
    if (parties == nullptr || parties->size() != 1)
        fail(kZAFvorn_Usage, "--send-share needs the joining party's key: --userid KEY");
    Owned<CZAFKey> party = run.findKey(parties->front(), false, CZAFKeyDB::kMatchEnabledOnly);
    CShareOpener opener(run);
    const std::string& file = run.args().front();
    SKeyShare share = opener.open(file);
    std::string path = run.cmd().arg("--output");
    if (path.empty()) {
        std::string base = file.substr(file.rfind('/') + 1);
        const std::string::size_type dot = base.rfind('.');
        if (dot != std::string::npos && dot > 0)
            base.erase(dot);
        path = base + "-for-" + party->getKeyIDString_Short().substr(2) +
               (run.setting(eZAFOpArmor, false) ? ".asc" : ".zaf");
    }
    writeShareFile(run, share, party.get(), nullptr, path);
    CZAFUtil::wipe(share.bytes);
    run.out("share " + std::to_string(share.index) + " of " + std::to_string(share.count) +
            " protected for " + gKeyName(*party) + ": " + path + "\n");
}

} // namespace orxengine
