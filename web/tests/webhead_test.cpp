// Request heads as the reception reads them: where the head ends (found once however the bytes
// arrive, and in agreement with the HTTP library's line rules), the body's announced length and
// the refusals it leads to.
#include "webhead.h"

#include <gtest/gtest.h>

using namespace vornweb;

TEST(WebHead, EndsAtTheFirstBlankLineAfterTheRequestLine) {
    const std::string head = "GET /app.js?x=1 HTTP/1.1\r\nHost: x\r\nCookie: a=b; c=d\r\n\r\n";
    SHeadScan scan;
    EXPECT_EQ(head.size(), gFindHeadEnd(head + "NEXT", scan));
    const SRequestHead parsed = gInspectHead(head + "NEXT");
    ASSERT_TRUE(parsed.complete);
    EXPECT_EQ(head.size(), parsed.length);
    EXPECT_EQ("GET", parsed.method);
    EXPECT_EQ("/app.js", parsed.path);
    EXPECT_EQ("a=b; c=d", parsed.cookie);
    EXPECT_FALSE(parsed.hasLength);

    // Byte by byte gives the same end, and nothing before it.
    SHeadScan pieces;
    for (size_t i = 1; i < head.size(); ++i)
        EXPECT_EQ(0u, gFindHeadEnd(head.substr(0, i), pieces)) << i;
    EXPECT_EQ(head.size(), gFindHeadEnd(head, pieces));
}

TEST(WebHead, FollowsTheLibrarysLineRules) {
    // A bare line feed ends a line, but only CR LF lines are fields, and only CR LF alone ends
    // the head; an empty request line is not the end either.
    const std::string text = "\r\nPOST / HTTP/1.1\nX: 1\n\nContent-Length: 5\r\n\r\nhello";
    SHeadScan scan;
    const size_t end = gFindHeadEnd(text, scan);
    EXPECT_EQ(text.size() - 5, end);
    const SRequestHead parsed = gInspectHead(text);
    EXPECT_TRUE(parsed.hasLength);
    EXPECT_EQ(5u, parsed.contentLength);
    EXPECT_EQ(0u, gInspectHead("GET / HTTP/1.1\r\nHost: x\r\n").length);
}

TEST(WebHead, BodyLengthsThatCannotBeTrusted) {
    auto parse = [](const std::string& fields) {
        return gInspectHead("POST /api/login HTTP/1.1\r\n" + fields + "\r\n");
    };
    EXPECT_EQ(1234u, parse("content-length:   1234 \r\n").contentLength);
    EXPECT_FALSE(parse("Content-Length: 5\r\nContent-Length: 5\r\n").badLength);
    for (const char* bad : {"Content-Length: 5\r\nContent-Length: 6\r\n", "Content-Length: -1\r\n",
                            "Content-Length: 0x10\r\n", "Content-Length: 1 2\r\n",
                            "Content-Length: \r\n", "Content-Length: 99999999999999999999\r\n"})
        EXPECT_TRUE(parse(bad).badLength) << bad;
    EXPECT_TRUE(parse("Transfer-Encoding: chunked\r\n").transferEncoding);
    // A name with a blank before the colon is no field for the library either.
    EXPECT_FALSE(parse("Content-Length : 5\r\n").hasLength);
}

TEST(WebHead, AcceptEncodingIsHiddenFromTheLibraryInPlace) {
    std::string head = "GET / HTTP/1.1\r\nHost: x\r\naccept-encoding: gzip, br\r\n"
                       "X-Accept-Encoding-Not: 1\r\nAccept-Encoding: deflate\r\n\r\n";
    const std::string before = head;
    gHideAcceptEncoding(&head[0], head.size());
    EXPECT_EQ(before.size(), head.size());
    EXPECT_EQ(std::string::npos, head.find("ccept-Encoding:"));
    EXPECT_EQ(std::string::npos, head.find("ccept-encoding:"));
    EXPECT_NE(std::string::npos, head.find("\r\nX-Accept-Encode: gzip, br\r\n"));
    EXPECT_NE(std::string::npos, head.find("\r\nX-Accept-Encode: deflate\r\n"));
    EXPECT_NE(std::string::npos, head.find("X-Accept-Encoding-Not: 1"));
    // The request line is never a field, whatever it holds.
    std::string odd = "Accept-Encoding: x HTTP/1.1\r\n\r\n";
    gHideAcceptEncoding(&odd[0], odd.size());
    EXPECT_EQ(0u, odd.find("Accept-Encoding:"));
}
