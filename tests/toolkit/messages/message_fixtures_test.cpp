// Every message of the fixture manifest (made by an independent RFC 4880 implementation) gives
// what the manifest says: its plaintext, the key or passphrase that opens it, its signer, or the
// failure of the bad-* cases with nothing released.
#include "message_test_util.h"

#include <sstream>

using namespace msgtest;

namespace {

struct Row {
    std::string file, operation, plaintext, expected, signer, secret;
};

std::vector<Row> manifest() {
    std::vector<Row> rows;
    std::istringstream in(fixture("MANIFEST.tsv"));
    std::string line;
    std::getline(in, line); // the column names
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, '\t'))
            f.push_back(cell);
        if (f.size() == 6)
            rows.push_back({f[0], f[1], f[2], f[3], f[4], f[5]});
    }
    return rows;
}

// The alternatives of the "secret needed" column: key numbers, and 0 for the passphrase.
std::vector<int> secrets(const std::string& text) {
    std::vector<int> out;
    for (size_t i = 0; i + 3 < text.size(); ++i)
        if (text.compare(i, 3, "key") == 0 && text[i + 3] >= '1' && text[i + 3] <= '4' &&
            (i == 0 || text[i - 1] == ' '))
            out.push_back(text[i + 3] - '0');
    if (text.find("passphrase") != std::string::npos)
        out.push_back(0);
    return out;
}

std::string nameOf(const testing::TestParamInfo<Row>& info) {
    std::string n = info.param.file + "_" + info.param.operation;
    for (char& c : n)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return n + "_" + std::to_string(info.index);
}

class Fixture : public testing::TestWithParam<Row> {};

// The key (1..4) whose primary or subkey has this ID; 0 when none.
int keyOf(const Keys& keys, const ZAFKeyID& id) {
    for (int n = 1; n <= 4; ++n) {
        ZAFKeyDBObjRef k = keys.key(n);
        if (k == nullptr)
            continue;
        for (ZAFKeyDBObj& o : k->key->objs)
            if (o.type == kZAFKeyDBObjType_Key || o.type == kZAFKeyDBObjType_SubKey) {
                ZAFKeyID own;
                ZAFGetKeyID(&o, &own);
                if (ZAFCompareKeyIDs(&own, &id) == 0)
                    return n;
            }
    }
    return 0;
}

// A cleartext message gives its text with a line ending after the last line, which the signed
// text itself cannot carry; compare without it.
std::string withoutFinalNewline(std::string s) {
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    if (!s.empty() && s.back() == '\r')
        s.pop_back();
    return s;
}

TEST_P(Fixture, GivesWhatTheManifestSays) {
    const Row& row = GetParam();
    std::string message = fixture("msg/" + row.file);
    bool bad = row.expected.find("ok") == std::string::npos &&
               row.expected.find("good signature") == std::string::npos;
    bool decrypt = row.operation.find("decrypt") == 0;
    std::string plain = row.plaintext == "-" ? "" : fixture("plain/" + row.plaintext);

    std::vector<int> alternatives = decrypt ? secrets(row.secret) : std::vector<int>{-1};
    ASSERT_FALSE(alternatives.empty()) << row.secret;
    for (int secret : alternatives) {
        SCOPED_TRACE("secret " + std::to_string(secret));
        // Only the secret that is to open the message is held (all public keys are).
        Keys keys(secret > 0 ? std::vector<int>{secret} : std::vector<int>{});
        Params params(keys.ctx(), keys.db());
        Answers answers = keys.answers();
        ZAFSetMessagePassphraseCallback(params, answer, &answers);
        if (secret == 0) {
            answers.answerMessage = true;
            answers.message = "secret words";
        }
        Decoded d;
        if (row.operation.rfind("verify-detached", 0) == 0) {
            // The signed data: a plaintext, or a message file made to differ from one.
            std::string target = row.operation.substr(16);
            bool inPlain = std::filesystem::exists(fixturePath("plain/" + target));
            std::string data = fixture((inPlain ? "plain/" : "msg/") + target);
            ASSERT_FALSE(data.empty()) << target;
            d = decode(keys.ctx(), params, message, &data);
            EXPECT_NE(0u, d.info.kinds & kZAFMessageKind_Detached);
        } else {
            d = decode(keys.ctx(), params, message);
        }

        if (bad) {
            EXPECT_FALSE(d.committed) << "plaintext released";
            if (row.expected.find("integrity") != std::string::npos) {
                EXPECT_EQ(kZAFError_IntegrityFailure, d.rc);
                EXPECT_EQ(kZAFMDC_Bad, d.info.mdc);
            } else if (row.expected.find("truncated") != std::string::npos) {
                EXPECT_EQ(kZAFError_Truncated, d.rc);
            } else {
                EXPECT_EQ(kZAFError_BadSignature, d.rc);
                ASSERT_EQ(1u, d.signatures.size());
                EXPECT_EQ(kZAFSigStatus_Bad, d.signatures[0].status);
            }
            continue;
        }
        ASSERT_EQ(0, d.rc);
        EXPECT_TRUE(d.committed);
        if (d.info.kinds & kZAFMessageKind_ClearSigned) {
            EXPECT_EQ(withoutFinalNewline(plain), withoutFinalNewline(d.output));
        } else if (d.info.literalMode == 't' || d.info.literalMode == 'u') {
            // Text arrives with CR LF line endings and is written with this system's.
            std::string local;
            for (size_t i = 0; i < plain.size(); ++i)
                if (!(plain[i] == '\r' && i + 1 < plain.size() && plain[i + 1] == '\n'))
                    local += plain[i];
            EXPECT_EQ(local, d.output);
        } else if (!(d.info.kinds & kZAFMessageKind_Detached)) {
            EXPECT_EQ(plain, d.output);
        }
        if (decrypt) {
            EXPECT_NE(0u, d.info.kinds & kZAFMessageKind_Encrypted);
            EXPECT_EQ(kZAFMDC_Good, d.info.mdc);
            if (secret == 0) {
                EXPECT_EQ(kZAFOpenedBy_Passphrase, d.info.openedBy);
            } else {
                EXPECT_EQ(kZAFOpenedBy_Key, d.info.openedBy);
                EXPECT_EQ(secret, keyOf(keys, d.info.decryptionKeyID));
            }
            EXPECT_EQ(row.plaintext,
                      std::string(reinterpret_cast<const char*>(d.info.literalName)));
        }
        if (row.signer != "-") {
            int signer = std::stoi(row.signer);
            ASSERT_EQ(1u, d.signatures.size());
            EXPECT_EQ(kZAFSigStatus_Good, d.signatures[0].status);
            EXPECT_EQ(signer, keyOf(keys, d.signatures[0].signerKeyID));
            EXPECT_EQ(Keys::fixtureFingerprint(signer),
                      Keys::toHex(d.signatures[0].fingerprint, d.signatures[0].fingerprintLength));
        } else {
            EXPECT_TRUE(d.signatures.empty());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Manifest, Fixture, testing::ValuesIn(manifest()), nameOf);

TEST(FixtureManifest, ListsEveryMessage) {
    // A manifest that fails to load would leave the suite above empty.
    EXPECT_EQ(29u, manifest().size());
}

} // namespace
