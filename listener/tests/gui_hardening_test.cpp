// Tests of the listener's bounds and rules that need no daemon: the shape bound of requests,
// what the log may say about a request, site settings, the login throttle and the account
// rules.
#include <vorngui/gui.h>
#include <vorngui/guiauth.h>
#include <vorngui/guishape.h>
#include <vorngui/guisite.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace vorngui;

namespace {

std::string check(const std::string& text, SGUIShape& shape,
                  const SGUIShapeLimits& limits = SGUIShapeLimits()) {
    return gCheckRequestShape(text, limits, shape);
}

std::string repeat(const std::string& piece, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += piece;
    return out;
}

} // namespace

TEST(GuiShape, CountsWhatTheLibraryWouldBuildAndStopsAtTheFirstExcess) {
    SGUIShape shape;
    EXPECT_EQ("", check("<?xml version=\"1.0\"?><!-- <a><b><c> --><command type='conf-set' x = "
                        "\"a>b\"><data><![CDATA[<x><y>]]><v a=\"1\"/></data></command>",
                        shape));
    EXPECT_EQ("conf-set", shape.rootType);
    EXPECT_EQ(3u, shape.elements);
    EXPECT_EQ(2u, shape.depth);
    EXPECT_EQ(2u, shape.attributes);

    SGUIShapeLimits limits;
    limits.maxAttributes = 4;
    EXPECT_EQ(
        "the number of attributes of one element exceeds the limit of 4",
        check("<command type=\"x\"><data" + repeat(" a=\"\"", 5) + "/></command>", shape, limits));
    EXPECT_EQ("the nesting depth exceeds the limit of 16",
              check("<command type=\"x\">" + repeat("<a>", 100000), shape));
    EXPECT_EQ(17u, shape.depth);
    EXPECT_EQ("the number of elements exceeds the limit of 1024",
              check("<command type=\"key-add\"><data>" + repeat("<file/>", 5000), shape));
    // A configuration change carries one element per value.
    EXPECT_EQ("", check("<command type=\"conf-set\"><data><values>" + repeat("<Armor/>", 5000) +
                            "</values></data></command>",
                        shape));
    // Key data is text: its size is no concern of the bound.
    EXPECT_EQ("", check("<command type=\"key-add\"><data><file size=\"9\">" +
                            std::string(4u << 20, 'A') + "</file></data></command>",
                        shape));
}

TEST(GuiShape, MarkupTheLibraryWouldRefuseEndsTheScan) {
    SGUIShape shape;
    for (const char* text : {"<!DOCTYPE command><command/>", "<command a=b/>", "<command a=\"x/>",
                             "<command a=\"1\"b=\"2\"/>", "</command>", "<command", "<!-- open",
                             "<![CDATA[ open", "<? open", "< command/>", "<command a/>"})
        EXPECT_NE("", check(text, shape)) << text;
}

TEST(GuiLogText, ClientTextStaysOnItsLineAndRequestsAreDescribedWithoutSecrets) {
    EXPECT_EQ("a\\x0Ab\\x0D\\x09c\\x7F\\x5C", gLogSafe("a\nb\r\tc\x7F\\"));
    EXPECT_EQ("abc...", gLogSafe("abcdef", 3));
    const std::string request =
        "<command type=\"auth\"><data password=\"Secret\nText\" username=\"u\"/>" +
        std::string(10000, 'x');
    const std::string described = gDescribeRequest(request, "auth");
    EXPECT_EQ(0u, described.find("request 'auth' of " + std::to_string(request.size()) +
                                 " bytes, beginning '<command"))
        << described;
    EXPECT_EQ(std::string::npos, described.find("Secret"));
    EXPECT_EQ(std::string::npos, described.find('\n'));
    EXPECT_LT(described.size(), 200u);
    // A secret cut off by the prefix is masked too.
    EXPECT_EQ(
        std::string::npos,
        gDescribeRequest("<data password=\"" + std::string(100, 'S') + "\"/>", "").find("SSS"));
}

TEST(GuiSite, SettingsAreReadWithTheirBoundsAndTheFirstFaultIsNamed) {
    SGUISiteSettings site;
    EXPECT_EQ("", gParseSiteSettings("# comment\n\n AllowRootLogin = yes \r\nallownoshelllogin=on\n"
                                     "ThrottleFailures=3 # three\nThrottleDelay=250\n"
                                     "ThrottleMaxDelay=100\nLockoutFailures=10\nMaxSessions=12\n",
                                     site));
    EXPECT_TRUE(site.allowRootLogin);
    EXPECT_TRUE(site.allowNoShellLogin);
    EXPECT_EQ(3u, site.throttleFailures);
    // A maximum below the first delay is raised to it.
    EXPECT_EQ(250u, site.throttleMaxDelay);
    EXPECT_EQ(10u, site.lockoutFailures);
    EXPECT_EQ(12u, site.maxSessions);
    for (const char* bad : {"NoSuchSetting=1", "AllowRootLogin=maybe", "MaxSessions=0",
                            "ThrottleFailures=-1", "ThrottleDelay=99999999999", "Nothing"}) {
        SGUISiteSettings fresh;
        EXPECT_EQ(0u,
                  gParseSiteSettings(std::string("MaxPreLogin=5\n") + bad, fresh).find("line 2: "))
            << bad;
        EXPECT_EQ(5u, fresh.maxPreLogin) << bad;
    }
    SGUISiteSettings missing;
    EXPECT_EQ("", gReadSiteSettings("/nonexistent/orxgui-site.cfg", missing));
}

TEST(GuiSite, TheWebConsolesAccountAndSocketMustBeANameAndAnAbsolutePath) {
    SGUISiteSettings site;
    EXPECT_EQ("", site.webAccount);
    EXPECT_EQ("/run/orxgui/web.sock", site.webSocket);
    EXPECT_EQ("", gParseSiteSettings("WebAccount=orx-web_1\nWebSocket=/tmp/o/web.sock\n", site));
    EXPECT_EQ("orx-web_1", site.webAccount);
    EXPECT_EQ("/tmp/o/web.sock", site.webSocket);
    const std::vector<std::string> faults = {
        "WebAccount=-rf",          "WebAccount=a b",
        "WebAccount=a/b",          "WebAccount=" + std::string(33, 'a'),
        "WebSocket=relative.sock", "WebSocket=/",
        "WebSocket=/with space",   "WebSocket=/" + std::string(100, 'x')};
    for (const std::string& bad : faults) {
        SGUISiteSettings fresh;
        EXPECT_NE("", gParseSiteSettings(bad, fresh)) << bad;
    }
}

TEST(GuiSite, AddressesAreReadAsIPAddressesInOneForm) {
    const struct {
        const char* given;
        const char* normal;
    } cases[] = {{"203.0.113.7", "203.0.113.7"},
                 {"2001:DB8:0:0::1", "2001:db8::1"},
                 {"::ffff:198.51.100.9", "198.51.100.9"},
                 {"::1", "::1"},
                 {"203.0.113.7 ", ""},
                 {"203.0.113", ""},
                 {"example.org", ""},
                 {"", ""},
                 {"1.2.3.4\n5.6.7.8", ""},
                 {"fe80::1%eth0", ""}};
    for (const auto& c : cases)
        EXPECT_EQ(c.normal, gNormalizeAddress(c.given)) << c.given;
}

TEST(GuiThrottle, DelaysDoubleUpToTheMaximumPerAddressAndPerName) {
    SGUISiteSettings site;
    site.throttleFailures = 3;
    site.throttleWindow = 60;
    site.throttleDelay = 100;
    site.throttleMaxDelay = 350;
    CGUIThrottle throttle(site);
    const auto t0 = CGUIThrottle::Clock::now();
    std::vector<unsigned int> delays;
    bool announced = false;
    for (int i = 0; i < 6; ++i) {
        const CGUIThrottle::SVerdict verdict = throttle.check("10.0.0.1", "ann", t0);
        delays.push_back(verdict.delay);
        EXPECT_FALSE(announced && verdict.newlyThrottled);
        announced = announced || verdict.newlyThrottled;
        EXPECT_FALSE(verdict.lockedOut);
        throttle.recordFailure("10.0.0.1", "ann", t0);
    }
    EXPECT_EQ((std::vector<unsigned int>{0, 0, 0, 100, 200, 350}), delays);
    EXPECT_TRUE(announced);
    // Another address with another name is not slowed; the same name from elsewhere is.
    EXPECT_EQ(0u, throttle.check("10.0.0.2", "bob", t0).delay);
    EXPECT_EQ(350u, throttle.check("10.0.0.2", "ann", t0).delay);
    // Failures age out of the window.
    EXPECT_EQ(0u, throttle.check("10.0.0.1", "bob", t0 + std::chrono::seconds(61)).delay);
    // A success clears the name, not the address.
    throttle.recordSuccess("ann");
    EXPECT_EQ(0u, throttle.check("10.0.0.2", "ann", t0).delay);
    EXPECT_EQ(350u, throttle.check("10.0.0.1", "bob", t0).delay);
}

TEST(GuiThrottle, LockOutAndTheBoundOnRememberedNames) {
    SGUISiteSettings site;
    site.lockoutFailures = 2;
    site.lockoutTime = 30;
    CGUIThrottle throttle(site);
    const auto t0 = CGUIThrottle::Clock::now();
    throttle.recordFailure("10.0.0.1", "ann", t0);
    EXPECT_FALSE(throttle.check("10.0.0.9", "ann", t0).lockedOut);
    throttle.recordFailure("10.0.0.2", "ann", t0);
    EXPECT_TRUE(throttle.check("10.0.0.9", "ann", t0).lockedOut);
    EXPECT_FALSE(throttle.check("10.0.0.9", "ann", t0 + std::chrono::seconds(31)).lockedOut);

    for (size_t i = 0; i < CGUIThrottle::kMaxEntries; ++i)
        throttle.recordFailure("10.1.0.1", "name" + std::to_string(i),
                               t0 + std::chrono::milliseconds(i));
    EXPECT_EQ(CGUIThrottle::kMaxEntries, throttle.size());
    // The oldest entries went first: "ann" failed before any of the names.
    EXPECT_FALSE(throttle.check("10.0.0.9", "ann", t0).lockedOut);
}

TEST(GuiAccountRules, EachRuleRefusesOnItsOwn) {
    const long today = 20000;
    SGUIAccount fine;
    fine.uid = 1000;
    fine.shell = "/bin/bash";
    fine.lastChange = today - 10;
    fine.maxAge = 99999;
    EXPECT_EQ("", gAccountRefusal(fine, today, false, false));

    SGUIAccount account = fine;
    account.expire = today;
    EXPECT_EQ("the account has expired", gAccountRefusal(account, today, false, false));
    account.expire = today + 1;
    EXPECT_EQ("", gAccountRefusal(account, today, false, false));

    account = fine;
    account.lastChange = 0;
    EXPECT_EQ("the password must be changed first", gAccountRefusal(account, today, false, false));

    account = fine;
    account.lastChange = today - 20;
    account.maxAge = 10;
    account.inactive = 5;
    EXPECT_EQ("the password is past its inactive period",
              gAccountRefusal(account, today, false, false));
    account.inactive = 10;
    EXPECT_EQ("", gAccountRefusal(account, today, false, false));

    account = fine;
    account.uid = 0;
    EXPECT_EQ("user id 0 may not log in", gAccountRefusal(account, today, false, false));
    EXPECT_EQ("", gAccountRefusal(account, today, true, false));

    for (const char* shell : {"/usr/sbin/nologin", "/sbin/nologin", "/bin/false", ""}) {
        account = fine;
        account.shell = shell;
        EXPECT_EQ("the account has no login shell", gAccountRefusal(account, today, false, false))
            << shell;
        EXPECT_EQ("", gAccountRefusal(account, today, false, true)) << shell;
    }
}

TEST(GuiDummyHash, TheMethodPartOfAHashIsEverythingBeforeItsSalt) {
    EXPECT_EQ("$6$", gHashMethod("$6$abcdefgh$hash"));
    EXPECT_EQ("$6$rounds=10000$", gHashMethod("$6$rounds=10000$abcdefgh$hash"));
    EXPECT_EQ("$y$j9T$", gHashMethod("$y$j9T$salt$hash"));
    for (const char* unusable : {"", "!", "*", "x", "!$6$salt$hash", "$6$", "$y$j9T$", "$6$salt"})
        EXPECT_EQ("", gHashMethod(unusable)) << unusable;
}
