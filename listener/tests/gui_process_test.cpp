// Tests of what the daemon and a connection's processes tell each other (messages, setups,
// descriptors on the channel) and of the identity a session process takes for good.
#include "expect_throw.h"
#include "test_account.h"

#include <vorngui/guichannel.h>
#include <vorngui/guiprocess.h>

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace vorngui;

namespace {

std::string field(const std::string& bytes) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((bytes.size() >> shift) & 0xFF));
    return out + bytes;
}

// A connected pair of channel ends.
struct ChannelPair {
    ChannelPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair failed");
        a = std::make_unique<CGUIChannel>(fds[0]);
        b = std::make_unique<CGUIChannel>(fds[1]);
    }
    std::unique_ptr<CGUIChannel> a;
    std::unique_ptr<CGUIChannel> b;
};

std::string refusal(const std::function<void()>& f) {
    auto e = expectThrow<CGUIChannelException>(f);
    return e ? e->getMessage() : std::string("<nothing thrown>");
}

} // namespace

TEST(GuiChannel, MessagesReadBackTheirFieldsAndMalformedOnesAreRefused) {
    CGUIMessage sent(eGUIMessage::eAuth);
    sent.add("alice").add(std::string("pa\0ss", 5)).add(uint64_t(1) << 40).add("");
    CGUIMessage got = CGUIMessage::decode(sent.bytes());
    EXPECT_EQ(eGUIMessage::eAuth, got.getType());
    EXPECT_EQ("alice", got.text(5));
    EXPECT_EQ(std::string("pa\0ss", 5), got.text(64));
    EXPECT_EQ(uint64_t(1) << 40, got.number(UINT64_MAX));
    EXPECT_EQ("", got.text(0));
    got.expectEnd();

    const std::string sign(1, '\x02');
    const struct {
        const char* name;
        std::string bytes;
        const char* expected;
    } cases[] = {
        {"empty", "", "an empty message"},
        {"type 0", std::string(1, '\0'), "unknown type 0"},
        {"type 7", std::string(1, '\x07'), "unknown type 7"},
        {"too long", sign + std::string(CGUIMessage::kMaxBytes, 'x'), "a message of 65537 bytes"},
        {"no field", sign, "a field is missing"},
        {"cut length", sign + std::string(3, '\0'), "a field is missing"},
        {"past the end", sign + field("abc").substr(0, 6), "runs past the end"},
        {"too long a field", sign + field(std::string(21, 'd')), "a field of 21 bytes"},
        {"short number", sign + field("1234567"), "a number field of 7 bytes"},
        {"number too big", sign + field(std::string(7, '\0') + "\x05"), "above 4"},
        {"left over", sign + field("") + "x", "bytes too many"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = refusal([&] {
            CGUIMessage m = CGUIMessage::decode(c.bytes);
            const std::string name = c.name;
            if (name == "short number" || name == "number too big")
                m.number(4);
            else if (name == "left over")
                static_cast<void>(m.text(20)), m.expectEnd();
            else
                m.text(20);
        });
        EXPECT_NE(std::string::npos, message.find(c.expected)) << message;
    }
    // A message is built no larger than a receiver takes.
    CGUIMessage big(eGUIMessage::eSign);
    EXPECT_TRUE(expectThrow<CGUIChannelException>(
        [&] { big.add(std::string(CGUIMessage::kMaxBytes, 'x')); }));
}

TEST(GuiChannel, ADescriptorRidesAlongAndOnlyWhereOneIsAskedFor) {
    ChannelPair pair;
    int pipeEnds[2];
    ASSERT_EQ(0, ::pipe2(pipeEnds, O_CLOEXEC));
    CGUIMessage verdict(eGUIMessage::eVerdict);
    verdict.add(uint64_t(0)).add("");
    pair.a->send(verdict, pipeEnds[1]);
    ::close(pipeEnds[1]);
    std::string bytes;
    int passed = -1;
    ASSERT_TRUE(pair.b->receive(bytes, 5000, &passed));
    EXPECT_EQ(verdict.bytes(), bytes);
    ASSERT_GE(passed, 0);
    ASSERT_EQ(1, ::write(passed, "x", 1));
    ::close(passed);
    char byte = 0;
    EXPECT_EQ(1, ::read(pipeEnds[0], &byte, 1));
    // A descriptor nobody asked for refuses its message, and is closed at once: nobody holds
    // the write end any more.
    int again[2];
    ASSERT_EQ(0, ::pipe2(again, O_CLOEXEC));
    pair.a->send(verdict, again[1]);
    ::close(again[1]);
    EXPECT_NE(std::string::npos,
              refusal([&] { pair.b->receive(bytes, 5000); }).find("not asked for"));
    EXPECT_EQ(0, ::read(again[0], &byte, 1)) << "the unasked descriptor is still open";
    ::close(again[0]);
    EXPECT_EQ(0, ::read(pipeEnds[0], &byte, 1));
    ::close(pipeEnds[0]);

    // An exchange checks the answer's type; silence is a time-out; a closed end is told.
    CGUIMessage sign(eGUIMessage::eSign);
    sign.add(std::string(20, 'd'));
    pair.b->send(sign);
    EXPECT_NE(std::string::npos, refusal([&] {
                                     pair.a->exchange(sign, eGUIMessage::eSignature, bytes);
                                 }).find("unexpected type"));
    EXPECT_NE(std::string::npos, refusal([&] { pair.a->receive(bytes, 50); }).find("within 50"));
    const std::string tooLong(CGUIMessage::kMaxBytes + 10, '\x03');
    ASSERT_EQ(static_cast<ssize_t>(tooLong.size()),
              ::send(pair.b->getDescriptor(), tooLong.data(), tooLong.size(), 0));
    EXPECT_NE(std::string::npos, refusal([&] { pair.a->receive(bytes, 5000); }).find("longer"));
    pair.b.reset();
    EXPECT_FALSE(pair.a->receive(bytes, 5000));
}

TEST(GuiChannel, SetupsReadBackWhatWasSentAndRefuseBrokenGroupLists) {
    SGUILoginSetup login;
    login.secure = false;
    login.web = true;
    login.loginTimeout = 1234;
    login.maxLoginFrame = 777;
    login.logLevel = 4;
    login.peerAddress = "web socket";
    login.hostKeyText = "-----BEGIN-----";
    login.hostKeyFingerprint = "ABCD EF01";
    login.hostKeyID = "12345678";
    login.uid = 65534;
    login.gid = 65533;
    login.emptyFolder = "/tmp/orxgui-empty.x";
    const SGUILoginSetup readLogin = SGUILoginSetup::decode(login.encode().bytes());
    EXPECT_EQ(login.secure, readLogin.secure);
    EXPECT_EQ(login.web, readLogin.web);
    EXPECT_EQ(login.loginTimeout, readLogin.loginTimeout);
    EXPECT_EQ(login.maxLoginFrame, readLogin.maxLoginFrame);
    EXPECT_EQ(login.logLevel, readLogin.logLevel);
    EXPECT_EQ(login.peerAddress, readLogin.peerAddress);
    EXPECT_EQ(login.hostKeyText, readLogin.hostKeyText);
    EXPECT_EQ(login.hostKeyFingerprint, readLogin.hostKeyFingerprint);
    EXPECT_EQ(login.hostKeyID, readLogin.hostKeyID);
    EXPECT_EQ(login.uid, readLogin.uid);
    EXPECT_EQ(login.gid, readLogin.gid);
    EXPECT_EQ(login.emptyFolder, readLogin.emptyFolder);

    SGUISessionSetup session;
    session.username = "alice";
    session.uid = 1001;
    session.gid = 1002;
    session.groups = {1002, 27, 4000000000u};
    session.clientAddress = "203.0.113.7 (web)";
    session.local = true;
    session.idleTimeout = 0;
    session.maxFrame = 65536;
    const SGUISessionSetup readSession = SGUISessionSetup::decode(session.encode().bytes());
    EXPECT_EQ(session.username, readSession.username);
    EXPECT_EQ(session.uid, readSession.uid);
    EXPECT_EQ(session.gid, readSession.gid);
    EXPECT_EQ(session.groups, readSession.groups);
    EXPECT_EQ(session.clientAddress, readSession.clientAddress);
    EXPECT_TRUE(readSession.local);
    EXPECT_EQ(0u, readSession.idleTimeout);
    EXPECT_EQ(65536u, readSession.maxFrame);

    // Each setup is only read as its own kind, and a group list must be whole.
    EXPECT_TRUE(expectThrow<CGUIChannelException>(
        [&] { SGUISessionSetup::decode(login.encode().bytes()); }));
    CGUIMessage broken(eGUIMessage::eSessionSetup);
    broken.add("alice").add(uint64_t(1)).add(uint64_t(1)).add("12345");
    EXPECT_NE(std::string::npos,
              refusal([&] { SGUISessionSetup::decode(broken.bytes()); }).find("group list"));
}

// What a session process does to itself, tried from inside a process that did it.
TEST(GuiIdentity, AProcessThatTookAUsersIdsCannotTakeRootsBack) {
    std::unique_ptr<TestAccount> user = TestAccount::create("orxpi");
    if (!user)
        GTEST_SKIP() << TestAccount::skipReason();
    const std::vector<gid_t> groups = {user->gid()};

    // What the old identity switch did, only the effective ids: the check sees root behind it.
    const pid_t halfway = ::fork();
    ASSERT_GE(halfway, 0);
    if (halfway == 0) {
        if (::setgroups(1, groups.data()) != 0 || ::setegid(user->gid()) != 0 ||
            ::seteuid(user->uid()) != 0)
            ::_exit(10);
        const std::string problem = gCheckIdentity(user->uid(), user->gid(), groups);
        ::_exit(problem.find("user ids") == 0 ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(halfway, ::waitpid(halfway, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Each failed expectation ends the child with its own status.
        try {
            gTakeIdentity(user->uid(), user->gid(), groups);
        } catch (CZAFThrowable* e) {
            delete e;
            ::_exit(20);
        }
        if (::setresuid(0, 0, 0) == 0 || errno != EPERM)
            ::_exit(21);
        if (::seteuid(0) == 0 || ::setuid(0) == 0)
            ::_exit(22);
        if (::setegid(0) == 0 || ::setresgid(0, 0, 0) == 0)
            ::_exit(23);
        const gid_t root = 0;
        if (::setgroups(1, &root) == 0)
            ::_exit(24);
        if (::open("/etc/shadow", O_RDONLY | O_CLOEXEC) >= 0 || errno != EACCES)
            ::_exit(25);
        if (!gCheckIdentity(user->uid(), user->gid(), groups).empty())
            ::_exit(26);
        // The same checks refuse ids the process does not hold.
        if (gCheckIdentity(user->uid() + 1, user->gid(), groups).empty() ||
            gCheckIdentity(user->uid(), user->gid(), {user->gid(), 0}).empty())
            ::_exit(27);
        ::_exit(0);
    }
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(0, WEXITSTATUS(status));
}
