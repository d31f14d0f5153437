// Forms, cookies and JSON: the outside input orxweb reads before anything reaches the listener.
#include "webhttp.h"

#include <gtest/gtest.h>
#include <set>
#include <zlib.h>

using namespace vornweb;

namespace {

int statusOf(const std::string& body) {
    try {
        gParseForm(body);
    } catch (const CWebInputException& e) {
        return e.status();
    }
    return 200;
}

} // namespace

TEST(WebForm, DecodesFieldsInOrderWithRepeats) {
    const CForm form = gParseForm("user=ann+example&pw=a%26b%3Dc&x=&flag&user=second&&");
    ASSERT_EQ(5u, form.fields().size());
    EXPECT_EQ("ann example", form.get("user"));
    EXPECT_EQ("a&b=c", form.get("pw"));
    EXPECT_TRUE(form.has("x"));
    EXPECT_EQ("", form.get("flag", "fallback"));
    EXPECT_EQ((std::vector<std::string>{"ann example", "second"}), form.all("user"));
    EXPECT_EQ("fallback", form.get("missing", "fallback"));
    // Multi-byte UTF-8 passes; line breaks and tabs are allowed in values (pasted text).
    EXPECT_EQ("Jörg\tline\r\n", gParseForm("n=J%C3%B6rg%09line%0D%0A").get("n"));
}

TEST(WebForm, RefusesMalformedBodies) {
    for (const char* bad :
         {"a=%", "a=%4", "a=%zz", "a=%4g", "=value", "%00=x", "a%20b=x", "a=%00", "a=%01", "a=%7F",
          "a=%C3", "a=%C0%AF", "a=%ED%A0%80", "a=%F4%90%80%80", "a=%FF"})
        EXPECT_EQ(400, statusOf(bad)) << bad;
}

TEST(WebForm, BoundsFieldsNamesAndValues) {
    std::string many;
    for (size_t i = 0; i <= kMaxFormFields; ++i)
        many += "f=1&";
    EXPECT_EQ(413, statusOf(many));
    many.resize(many.size() - 8); // exactly the limit
    EXPECT_EQ(200, statusOf(many));

    EXPECT_EQ(200, statusOf(std::string(kMaxFieldName, 'n') + "=1"));
    EXPECT_EQ(400, statusOf(std::string(kMaxFieldName + 1, 'n') + "=1"));
    EXPECT_EQ(200, statusOf("v=" + std::string(kMaxFieldValue, 'x')));
    EXPECT_EQ(413, statusOf("v=" + std::string(kMaxFieldValue + 1, 'x')));
    // Escapes count after decoding, and a huge escaped value is refused before decoding.
    std::string escaped;
    for (size_t i = 0; i < kMaxFieldValue; ++i)
        escaped += "%41";
    EXPECT_EQ(200, statusOf("v=" + escaped));
    EXPECT_EQ(413, statusOf("v=" + escaped + "%41"));

    const CForm form = gParseForm("name=" + std::string(2000, 'x'));
    EXPECT_EQ(2000u, form.required("name", 2000).size());
    try {
        form.required("name", 1999);
        ADD_FAILURE() << "an over-long field was taken";
    } catch (const CWebInputException& e) {
        EXPECT_EQ(400, e.status());
        EXPECT_NE(std::string::npos, e.message().find("'name'"));
    }
    EXPECT_THROW(form.required("other"), CWebInputException);
}

TEST(WebCookies, ReadsPairsAndSkipsJunk) {
    const auto cookies =
        gParseCookies(" a=1; __Host-orxweb=abc ;b=\"quoted\";junk; =x; c=; a=2; d=e=f;bad=sp ace");
    EXPECT_EQ("1", cookies.at("a")); // the first of two equal names wins
    EXPECT_EQ("abc", cookies.at("__Host-orxweb"));
    EXPECT_EQ("quoted", cookies.at("b"));
    EXPECT_EQ("", cookies.at("c"));
    EXPECT_EQ(0u, cookies.count("junk"));
    EXPECT_EQ("e=f", cookies.at("d")); // "=" is a cookie-octet
    EXPECT_EQ(0u, cookies.count("bad"));
}

TEST(WebCookies, BoundsHeaderAndCount) {
    std::string header;
    for (size_t i = 0; i < kMaxCookies + 10; ++i)
        header += "c" + std::to_string(i) + "=v; ";
    const auto cookies = gParseCookies(header);
    EXPECT_EQ(kMaxCookies, cookies.size());
    EXPECT_EQ(0u, cookies.count("c" + std::to_string(kMaxCookies)));
    EXPECT_TRUE(gParseCookies("a=" + std::string(kMaxCookieHeader, 'x')).empty());
}

TEST(WebJson, EscapesEverythingThatCouldBreakOut) {
    EXPECT_EQ("\"plain\"", gJsonString("plain"));
    EXPECT_EQ("\"q\\\"b\\\\n\\nt\\tc\\u0001\\u007f\"", gJsonString("q\"b\\n\nt\tc\x01\x7f"));
    // A reply text can never close a script element or start markup.
    EXPECT_EQ("\"\\u003c/script\\u003e\\u0026\"", gJsonString("</script>&"));
    EXPECT_EQ("\"J\xC3\xB6rg \xF0\x9F\x94\x91\"", gJsonString("J\xC3\xB6rg \xF0\x9F\x94\x91"));
    // Bytes that are not UTF-8 become U+FFFD one by one, so the output is always valid JSON.
    EXPECT_EQ("\"a\\ufffd\\ufffdb\\ufffd\\ufffd\"", gJsonString("a\xC0\xAF"
                                                                "b\xE2\x82"));
    EXPECT_EQ("\"\\ufffd\\ufffd\\ufffd\"", gJsonString("\xED\xA0\x80"));
}

TEST(WebJson, ElementTreeKeepsOrderAndNesting) {
    vornadmin::SXmlElement keys("keys");
    vornadmin::SXmlElement& key = keys.add(vornadmin::SXmlElement("key"));
    key.set("id", "0x1A2B3C4D").set("alg", "RSA");
    key.add(vornadmin::SXmlElement("userids"))
        .add(vornadmin::SXmlElement("userid"))
        .set("name", "<A>");
    vornadmin::SXmlElement& file = keys.add(vornadmin::SXmlElement("file"));
    file.text = "line";
    EXPECT_EQ("{\"name\":\"keys\",\"attrs\":{},\"children\":[{\"name\":\"key\",\"attrs\":{\"id\":"
              "\"0x1A2B3C4D\",\"alg\":\"RSA\"},\"children\":[{\"name\":\"userids\",\"attrs\":{},"
              "\"children\":[{\"name\":\"userid\",\"attrs\":{\"name\":\"\\u003cA\\u003e\"}}]}]},"
              "{\"name\":\"file\",\"attrs\":{},\"text\":\"line\"}]}",
              gElementToJson(keys));

    vornadmin::SXmlElement deep("d");
    vornadmin::SXmlElement* at = &deep;
    for (unsigned int i = 0; i <= vornadmin::kXmlMaxDepth; ++i)
        at = &at->add(vornadmin::SXmlElement("d"));
    EXPECT_THROW(gElementToJson(deep), CWebInputException);
}

TEST(WebSecrets, CompareAndRandom) {
    EXPECT_TRUE(gConstantTimeEquals("abc", "abc"));
    EXPECT_FALSE(gConstantTimeEquals("abc", "abd"));
    EXPECT_FALSE(gConstantTimeEquals("abc", "abcd"));
    EXPECT_FALSE(gConstantTimeEquals("", "a"));
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string token = gRandomHex(32);
        ASSERT_EQ(64u, token.size());
        EXPECT_EQ(std::string::npos, token.find_first_not_of("0123456789abcdef"));
        seen.insert(token);
    }
    EXPECT_EQ(100u, seen.size());
}

TEST(WebHttp, GzipRoundTripsAndAcceptEncodingIsRead) {
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += "{\"id\":\"0x" + std::to_string(i) + "\",\"name\":\"Bench User\"},";
    for (int level : {1, 9}) {
        const std::string packed = gGzip(text, level);
        ASSERT_GT(packed.size(), 18u);
        EXPECT_EQ('\x1f', packed[0]);
        EXPECT_EQ('\x8b', packed[1]);
        EXPECT_LT(packed.size(), text.size() / 4);
        z_stream stream{};
        ASSERT_EQ(Z_OK, inflateInit2(&stream, 15 + 16));
        std::string back(text.size() + 16, '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
        stream.avail_in = static_cast<uInt>(packed.size());
        stream.next_out = reinterpret_cast<Bytef*>(&back[0]);
        stream.avail_out = static_cast<uInt>(back.size());
        EXPECT_EQ(Z_STREAM_END, inflate(&stream, Z_FINISH));
        back.resize(stream.total_out);
        inflateEnd(&stream);
        EXPECT_EQ(text, back);
    }
    EXPECT_EQ(gGzip("", 1).size(), gGzip("", 9).size());

    for (const char* yes : {"gzip", "br, gzip, deflate", "GZIP;q=0.5", " deflate , gzip ; q=1"})
        EXPECT_TRUE(gAcceptsGzip(yes)) << yes;
    for (const char* no : {"", "br", "deflate, x-gzip", "gzip;q=0", "gzip; q=0.000", "gzipx"})
        EXPECT_FALSE(gAcceptsGzip(no)) << no;
}

TEST(WebHttp, ListenerErrorsAsOneSentence) {
    EXPECT_EQ("Your key rings hold no key 0x0BADC0DE.",
              gPlainError("Error processing request\nError removing key\nKey ID not found: "
                          "0x0BADC0DE\n"));
    EXPECT_EQ("The passphrase is wrong.",
              gPlainError("Error processing request\nError adding user ID\nBad passphrase\n"));
    EXPECT_EQ("The passphrase is wrong.", gPlainError("anything at all", "bad-passphrase"));
    EXPECT_EQ("Your key rings hold no such key.", gPlainError("Lookup failed", "key-not-found"));
    // The innermost reason wins over the messages around it.
    EXPECT_EQ("Key size not in allowed range.",
              gPlainError("Error processing request\nError generating key\nReason: Key size not "
                          "in allowed range\nsomething inner\n"));
    EXPECT_EQ("The value 'x' of attribute 'depth' is not a number.",
              gPlainError("A format error has been detected in the request: The value 'x' of "
                          "attribute 'depth' is not a number\n"));
    EXPECT_EQ("Cannot remove last User ID on key.",
              gPlainError("Error processing request\ncannot remove last User ID on key:\n"));
    EXPECT_EQ("The listener refused the request.", gPlainError("\n \n"));
}
