// The mapping from the page's forms to listener requests: what is sent for each action, and what
// never leaves orxweb.
#include "webapi.h"
#include "zaf_temp_dir.h"

#include <adminrequests.h>
#include <fstream>
#include <gtest/gtest.h>

using namespace vornweb;
using vornadmin::SXmlElement;

namespace {

CForm formOf(std::vector<std::pair<std::string, std::string>> fields) {
    return CForm(std::move(fields));
}

const SXmlElement& dataOf(const SXmlElement& request) {
    const SXmlElement* data = request.child("data");
    if (data == nullptr)
        throw std::runtime_error("no data element");
    return *data;
}

// The status of the refusal, or 0 when the form was mapped.
int refusal(const std::string& action, const CForm& form, std::string* message = nullptr) {
    try {
        gMapAction(action, form);
    } catch (const CWebInputException& e) {
        if (message != nullptr)
            *message = e.message();
        return e.status();
    }
    return 0;
}

} // namespace

TEST(WebMapping, ReadRequestsTakeNoFields) {
    EXPECT_EQ("keys-summary", gMapAction("keys", CForm()).get("type"));
    EXPECT_EQ("log-get", gMapAction("log", CForm()).get("type"));
    EXPECT_EQ("get-cmdline-options", gMapAction("options", CForm()).get("type"));
    EXPECT_EQ("conf-get", gMapAction("conf-get", CForm()).get("type"));
    EXPECT_EQ(404, refusal("keys-summary", CForm()));
    EXPECT_EQ(404, refusal("", CForm()));
}

TEST(WebMapping, KeyGenerationCarriesEveryField) {
    const SXmlElement request = gMapAction("key-gen", formOf({{"name", "Ann <ann@example.org>"},
                                                              {"passphrase", "pass phrase"},
                                                              {"type", "DSS"},
                                                              {"cipher", "CAST5"},
                                                              {"size", "3072"},
                                                              {"adk", "0x1A2B3C4D"},
                                                              {"sign-only", "yes"},
                                                              {"expiry", "2031-02-28"}}));
    const SXmlElement& data = dataOf(request);
    EXPECT_EQ("key-gen", request.get("type"));
    EXPECT_EQ("Ann <ann@example.org>", data.get("name"));
    EXPECT_EQ("pass phrase", data.get("passphrase"));
    EXPECT_EQ("DSS", data.get("type"));
    EXPECT_EQ("CAST5", data.get("cipher"));
    EXPECT_EQ("3072", data.get("size"));
    EXPECT_EQ("0x1A2B3C4D", data.get("adk"));
    EXPECT_EQ("yes", data.get("sign-only"));
    EXPECT_EQ("2031-02-28", data.get("expiry-date"));
    // The listener checks these two for presence.
    EXPECT_TRUE(data.has("token"));
    EXPECT_TRUE(data.has("trust-depth"));

    const SXmlElement plain =
        gMapAction("key-gen", formOf({{"name", "B"}, {"passphrase", ""}, {"size", "2048"}}));
    EXPECT_EQ("RSA", dataOf(plain).get("type"));
    EXPECT_EQ("AES256", dataOf(plain).get("cipher"));
    EXPECT_FALSE(dataOf(plain).has("expiry-date"));
    EXPECT_EQ("no", dataOf(plain).get("sign-only"));

    // Elliptic-curve keys, named by their curve's size.
    const SXmlElement curve = gMapAction(
        "key-gen", formOf({{"name", "C"}, {"passphrase", ""}, {"type", "ECC"}, {"size", "255"}}));
    EXPECT_EQ("ECC", dataOf(curve).get("type"));
    EXPECT_EQ("255", dataOf(curve).get("size"));
    // The form offers every type the key generation knows, each with a size it accepts.
    const std::string types = gKeyTypesJson();
    EXPECT_NE(std::string::npos, types.find("{\"name\":\"ECC\",\"label\":\"ECC\",\"size\":255}"))
        << types;
    EXPECT_NE(std::string::npos, types.find("{\"name\":\"RSA\",\"label\":\"RSA\",\"size\":2048}"))
        << types;
}

TEST(WebMapping, NamesTheListenerCannotLookUpNeverLeave) {
    // An unknown key type or cipher makes the listener end the whole connection without a reply,
    // so these must be refused here.
    const CForm base = formOf({{"name", "A"}, {"passphrase", "p"}, {"size", "2048"}});
    auto with = [&](const std::string& field, const std::string& value) {
        std::vector<std::pair<std::string, std::string>> fields = base.fields();
        fields.insert(fields.begin(), {field, value});
        return CForm(fields);
    };
    std::string message;
    EXPECT_EQ(400, refusal("key-gen", with("type", "Elgamal"), &message));
    EXPECT_NE(std::string::npos, message.find("Elgamal"));
    EXPECT_EQ(400, refusal("key-gen", with("cipher", "ROT13")));
    EXPECT_EQ(400, refusal("key-gen", with("cipher", std::string(40, 'A'))));
    EXPECT_EQ(400, refusal("entropy-pair", formOf({{"type", "bogus"}, {"size", "1024"}})));
    EXPECT_EQ(400, refusal("sign", formOf({{"id", "0x1A2B3C4D"},
                                           {"signer", "0x1A2B3C4E"},
                                           {"sig-type", "Global"},
                                           {"passphrase", ""}})));
    EXPECT_EQ(400, refusal("export", formOf({{"id", "0x1A2B3C4D"}, {"format", "Everything"}})));
}

TEST(WebMapping, ChecksNumbersDatesIDsAndTexts) {
    auto gen = [](const std::string& size, const std::string& expiry, const std::string& name) {
        return formOf({{"name", name}, {"passphrase", ""}, {"size", size}, {"expiry", expiry}});
    };
    EXPECT_EQ(0, refusal("key-gen", gen("65535", "2024-02-29", "A")));
    for (const char* size : {"0", "65536", "-1", "1e3", "", " 2048", "99999999999"})
        EXPECT_EQ(400, refusal("key-gen", gen(size, "", "A"))) << size;
    for (const char* date : {"2023-02-29", "2031-13-01", "2031-04-31", "31-01-2031", "2031/01/01",
                             "1969-12-31", "2031-1-1x"})
        EXPECT_EQ(400, refusal("key-gen", gen("2048", date, "A"))) << date;
    EXPECT_EQ(400, refusal("key-gen", gen("2048", "", "")));
    EXPECT_EQ(400, refusal("key-gen", gen("2048", "", std::string(kMaxTextField + 1, 'n'))));
    EXPECT_EQ(400, refusal("key-gen", formOf({{"name", "A"}, {"size", "2048"}})));

    for (const char* id : {"0x1A2B3C4D", "0X1a2b3c4d", "0x001555FA53DEDA06"})
        EXPECT_EQ(0, refusal("userid-remove", formOf({{"id", id}, {"userid", "A"}}))) << id;
    for (const char* id : {"1A2B3C4D", "0x1A2B3C4", "0x1A2B3C4G", "0x1A2B3C4D0", "", "0x"})
        EXPECT_EQ(400, refusal("userid-remove", formOf({{"id", id}, {"userid", "A"}}))) << id;

    EXPECT_EQ(0, refusal("sign", formOf({{"id", "0x1A2B3C4D"},
                                         {"signer", "0x1A2B3C4E"},
                                         {"sig-type", "Meta"},
                                         {"depth", "255"},
                                         {"passphrase", ""}})));
    EXPECT_EQ(400, refusal("sign", formOf({{"id", "0x1A2B3C4D"},
                                           {"signer", "0x1A2B3C4E"},
                                           {"depth", "256"},
                                           {"passphrase", ""}})));
}

TEST(WebMapping, ChangesThatNeedAConfirmation) {
    EXPECT_EQ(400, refusal("remove", formOf({{"id", "0x1A2B3C4D"}})));
    const SXmlElement removal =
        gMapAction("remove", formOf({{"id", "0x1A2B3C4D"}, {"confirm", "yes"}}));
    EXPECT_EQ("0x1A2B3C4D", dataOf(removal).child("key")->get("id"));

    EXPECT_EQ(400, refusal("export", formOf({{"id", "0x1A2B3C4D"}, {"private", "yes"}})));
    const SXmlElement exported = gMapAction("export", formOf({{"id", "0x1A2B3C4D"},
                                                              {"private", "yes"},
                                                              {"confirm", "yes"},
                                                              {"armor", "no"},
                                                              {"format", "Compatible"}}));
    EXPECT_EQ("yes", dataOf(exported).get("with-private"));
    EXPECT_EQ("no", dataOf(exported).get("armor"));
    EXPECT_EQ("Compatible", dataOf(exported).get("export-format"));
    EXPECT_EQ(400, refusal("export", formOf({{"id", "0x1A2B3C4D"}, {"armor", "maybe"}})));
}

TEST(WebMapping, RevokeDefaultsToTheKeyItself) {
    const SXmlElement self =
        gMapAction("revoke", formOf({{"id", "0x1A2B3C4D"}, {"passphrase", "p"}}));
    EXPECT_EQ("0x1A2B3C4D", dataOf(self).get("revoker-id"));
    const SXmlElement other = gMapAction(
        "revoke", formOf({{"id", "0x1A2B3C4D"}, {"revoker", "0x0BADC0DE"}, {"passphrase", "p"}}));
    EXPECT_EQ("0x0BADC0DE", dataOf(other).get("revoker-id"));
}

TEST(WebMapping, EntropyIsStrictBase64AndBounded) {
    const SXmlElement supply =
        gMapAction("entropy-supply", formOf({{"needed", "3"}, {"entropy", "AAEC"}}));
    const SXmlElement* entropy = dataOf(supply).child("entropy");
    ASSERT_NE(nullptr, entropy);
    EXPECT_EQ("3", entropy->get("needed"));
    EXPECT_EQ(std::string("\0\1\2", 3), vornadmin::gDecodeBase64(entropy->text));
    EXPECT_EQ(400, refusal("entropy-supply", formOf({{"needed", "3"}, {"entropy", "A*EC"}})));
    EXPECT_EQ(400, refusal("entropy-supply", formOf({{"needed", "3"}, {"entropy", "AA=C"}})));
    EXPECT_EQ(400, refusal("entropy-supply",
                           formOf({{"needed", std::to_string(kMaxEntropy + 1)}, {"entropy", ""}})));
}

TEST(WebMapping, ImportIsBounded) {
    const SXmlElement request = gMapImport(std::string("\x99\x01\x0d", 3));
    EXPECT_EQ("key-add", request.get("type"));
    try {
        gMapImport(std::string(kMaxImport + 1, 'x'));
        ADD_FAILURE() << "an over-large key file was taken";
    } catch (const CWebInputException& e) {
        EXPECT_EQ(413, e.status());
    }
    EXPECT_NO_THROW(gMapImport(std::string(kMaxImport, 'x')));
    EXPECT_THROW(gMapImport(""), CWebInputException);
}

TEST(WebConfiguration, BuildsTheLayerTheListenerReads) {
    const SXmlElement configuration =
        gConfigurationFromForm(formOf({{"alias-code", "--ls"},
                                       {"alias-command", "--key-list --all"},
                                       {"value-directive", "cipher"},
                                       {"value-text", "CAST5"},
                                       {"value-directive", "Log-File"},
                                       {"value-text", "/tmp/my log"},
                                       {"value-directive", "Armor"},
                                       {"value-text", "on"}}));
    const SXmlElement* aliases = configuration.child("aliases");
    const SXmlElement* values = configuration.child("values");
    ASSERT_TRUE(aliases != nullptr && values != nullptr);
    ASSERT_EQ(1u, aliases->children.size());
    EXPECT_EQ("--ls", aliases->children[0].get("code"));
    EXPECT_EQ("--key-list --all", aliases->children[0].get("command"));
    ASSERT_EQ(3u, values->children.size());
    // The directive goes out in the operation table's spelling.
    EXPECT_EQ("Cipher", values->children[0].name);
    EXPECT_EQ("CAST5", values->children[0].text);
    EXPECT_EQ("/tmp/my log", values->children[1].text);
    // The whole thing makes a valid conf-set request.
    EXPECT_EQ("conf-set",
              gMapAction("conf-set", formOf({{"value-directive", "Armor"}, {"value-text", "off"}}))
                  .get("type"));
    const SXmlElement empty = gConfigurationFromForm(CForm());
    EXPECT_TRUE(empty.child("aliases")->children.empty());
    EXPECT_TRUE(empty.child("values")->children.empty());
}

TEST(WebConfiguration, RefusesWhatTheListenerWouldRefuse) {
    std::string message;
    auto refused = [&](std::vector<std::pair<std::string, std::string>> fields) {
        try {
            gConfigurationFromForm(CForm(std::move(fields)));
        } catch (const CWebInputException& e) {
            message = e.message();
            return e.status();
        }
        return 0;
    };
    EXPECT_EQ(400, refused({{"value-directive", "No-Such-Thing"}, {"value-text", "1"}}));
    EXPECT_NE(std::string::npos, message.find("No-Such-Thing"));
    EXPECT_EQ(400, refused({{"value-directive", "Cert-Depth"}, {"value-text", "abc"}}));
    EXPECT_NE(std::string::npos, message.find("Cert-Depth"));
    EXPECT_EQ(400, refused({{"value-directive", "Armor"}, {"value-text", "perhaps"}}));
    EXPECT_EQ(400, refused({{"value-directive", "Cipher"}, {"value-text", "ROT13"}}));
    EXPECT_EQ(400, refused({{"value-directive", "Default-Key"}, {"value-text", "not a key"}}));
    EXPECT_EQ(400, refused({{"value-directive", "Armor"},
                            {"value-text", "on"},
                            {"value-directive", "Armor"},
                            {"value-text", "off"}}));
    EXPECT_EQ(400, refused({{"value-directive", "Include"}, {"value-text", "/etc/passwd"}}));
    EXPECT_EQ(400, refused({{"value-directive", "Alias"}, {"value-text", "a:b"}}));
    EXPECT_EQ(400, refused({{"value-directive", "Armor"}}));
    EXPECT_EQ(400, refused({{"alias-code", "x"}}));
    // Alias codes start with "-" and may not redefine a switch.
    EXPECT_EQ(400, refused({{"alias-code", "ls"}, {"alias-command", "--key-list"}}));
    EXPECT_EQ(400, refused({{"alias-code", "--wipe"}, {"alias-command", "--key-list"}}));
    EXPECT_EQ(400, refused({{"alias-code", ""}, {"alias-command", "--key-list"}}));
    std::vector<std::pair<std::string, std::string>> many;
    for (size_t i = 0; i <= kMaxConfEntries; ++i)
        many.insert(many.end(), {{"value-directive", "Comment"}, {"value-text", "c"}});
    EXPECT_EQ(400, refused(many));
}

TEST(WebConfiguration, DirectivesAndSitePolicy) {
    const std::string directives = gDirectivesJson();
    EXPECT_NE(std::string::npos,
              directives.find("{\"directive\":\"Cipher\",\"type\":\"choice\",\"multi\":false}"));
    EXPECT_NE(std::string::npos,
              directives.find("{\"directive\":\"Armor\",\"type\":\"boolean\",\"multi\":false}"));
    EXPECT_EQ(std::string::npos, directives.find("\"Include\""));
    EXPECT_EQ(std::string::npos, directives.find("\"Alias\""));

    ZafTempDir dir;
    EXPECT_EQ("{}", gPolicyJson(dir.file("missing.cfg")));
    EXPECT_EQ("{}", gPolicyJson(""));
    std::ofstream(dir.file("policy.cfg")) << "# site rules\nCipher=AES256\nComment=\"Site key\"\n";
    const std::string policy = gPolicyJson(dir.file("policy.cfg"));
    EXPECT_NE(std::string::npos, policy.find("\"Cipher\":[\"AES256\"]")) << policy;
    EXPECT_NE(std::string::npos, policy.find("\"Comment\":[\"Site key\"]")) << policy;
    std::ofstream(dir.file("bad.cfg")) << "Pubring=/tmp/x\n";
    try {
        gPolicyJson(dir.file("bad.cfg"));
        ADD_FAILURE() << "a policy naming the key ring was read";
    } catch (const CWebInputException& e) {
        EXPECT_EQ(500, e.status());
        EXPECT_NE(std::string::npos, e.message().find("bad.cfg"));
    }
}

TEST(WebMapping, KeyEditsAndRevocationReasons) {
    const SXmlElement trust =
        gMapAction("trust", formOf({{"id", "0xAAAAAAAA11111111"}, {"trust", "Marginal"}}));
    EXPECT_EQ("key-set-trust", trust.get("type"));
    EXPECT_EQ("0xAAAAAAAA11111111", dataOf(trust).get("id"));
    EXPECT_EQ("Marginal", dataOf(trust).get("trust"));
    EXPECT_EQ(400, refusal("trust", formOf({{"id", "0x11111111"}, {"trust", "Total"}})));
    EXPECT_EQ("yes", dataOf(gMapAction("disable", formOf({{"id", "0x11111111"}}))).get("disabled"));
    EXPECT_EQ("no", dataOf(gMapAction("enable", formOf({{"id", "0x11111111"}}))).get("disabled"));

    const SXmlElement never =
        gMapAction("expiry", formOf({{"id", "0x11111111"}, {"expiry", ""}, {"passphrase", "p"}}));
    EXPECT_EQ("key-set-expiry", never.get("type"));
    EXPECT_TRUE(dataOf(never).has("expiry-date"));
    EXPECT_EQ("", dataOf(never).get("expiry-date"));
    EXPECT_EQ(
        400,
        refusal("expiry",
                formOf({{"id", "0x11111111"}, {"expiry", "2031-02-30"}, {"passphrase", "p"}})));
    const SXmlElement pass = gMapAction(
        "passphrase",
        formOf({{"id", "0x11111111"}, {"passphrase", "old"}, {"new-passphrase", "new"}}));
    EXPECT_EQ("key-change-passphrase", pass.get("type"));
    EXPECT_EQ("new", dataOf(pass).get("new-passphrase"));

    const SXmlElement subkey = gMapAction("subkey-revoke", formOf({{"id", "0x11111111"},
                                                                   {"subkey", "0x2222222233333333"},
                                                                   {"passphrase", "p"},
                                                                   {"reason", "1"},
                                                                   {"reason-text", "moved on"}}));
    EXPECT_EQ("subkey-revoke", subkey.get("type"));
    EXPECT_EQ("0x2222222233333333", dataOf(subkey).get("subkey-id"));
    EXPECT_EQ("1", dataOf(subkey).get("reason"));
    EXPECT_EQ("moved on", dataOf(subkey).get("reason-text"));
    const SXmlElement userid = gMapAction(
        "userid-revoke",
        formOf({{"id", "0x11111111"}, {"userid", "Ann"}, {"passphrase", "p"}, {"reason", "32"}}));
    EXPECT_EQ("32", dataOf(userid).get("reason"));
    EXPECT_FALSE(dataOf(userid).has("reason-text"));
    // A key revocation without a reason sends none; codes outside RFC 4880's are refused.
    const SXmlElement plain =
        gMapAction("revoke", formOf({{"id", "0x11111111"}, {"passphrase", "p"}}));
    EXPECT_FALSE(dataOf(plain).has("reason"));
    for (const char* code : {"4", "31", "33", "99", "111", "-1", "x"})
        EXPECT_EQ(400,
                  refusal("revoke",
                          formOf({{"id", "0x11111111"}, {"passphrase", "p"}, {"reason", code}})))
            << code;
    EXPECT_EQ(0, refusal("revoke",
                         formOf({{"id", "0x11111111"}, {"passphrase", "p"}, {"reason", "110"}})));
}

TEST(WebMapping, KeyServerSearchAndFetch) {
    const SXmlElement search = gMapAction("keyserver-search", formOf({{"pattern", "alice"}}));
    EXPECT_EQ("keyserver-search", search.get("type"));
    EXPECT_EQ("alice", dataOf(search).get("pattern"));
    EXPECT_FALSE(dataOf(search).has("server")); // the user's configured key server
    EXPECT_EQ("hkp://127.0.0.1:1",
              dataOf(gMapAction("keyserver-search",
                                formOf({{"pattern", "a"}, {"server", "hkp://127.0.0.1:1"}})))
                  .get("server"));
    EXPECT_EQ(400, refusal("keyserver-search", formOf({{"pattern", ""}})));
    EXPECT_EQ(400, refusal("keyserver-search", formOf({})));
    EXPECT_EQ(0, refusal("keyserver-search",
                         formOf({{"pattern", std::string(kMaxKeyServerPattern, 'a')}})));
    EXPECT_EQ(400, refusal("keyserver-search",
                           formOf({{"pattern", std::string(kMaxKeyServerPattern + 1, 'a')}})));

    // Names separated by blanks, commas and line breaks; short and long IDs and fingerprints.
    const std::string fingerprint = "0x" + std::string(40, 'A');
    const SXmlElement fetch = gMapAction(
        "keyserver-fetch", formOf({{"ids", " 0x1A2B3C4D,0x001555FA53DEDA06\n" + fingerprint}}));
    EXPECT_EQ("keyserver-fetch", fetch.get("type"));
    EXPECT_EQ("0x1A2B3C4D 0x001555FA53DEDA06 " + fingerprint, dataOf(fetch).get("ids"));

    std::string fifty;
    for (size_t i = 0; i < kMaxKeyServerFetch; ++i)
        fifty += "0x1A2B3C4D ";
    EXPECT_EQ(0, refusal("keyserver-fetch", formOf({{"ids", fifty}})));
    std::string message;
    EXPECT_EQ(400, refusal("keyserver-fetch", formOf({{"ids", fifty + "0x1A2B3C4D"}}), &message));
    EXPECT_NE(std::string::npos, message.find("At most 50")) << message;
    for (const char* ids : {"", " , ", "alice@example.org", "0x1A2B3C4", "0x1A2B3C4D 1A2B3C4G"})
        EXPECT_EQ(400, refusal("keyserver-fetch", formOf({{"ids", ids}}))) << ids;
}
