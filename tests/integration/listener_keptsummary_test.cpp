// The keys summary kept beside the rings, against a real orxgui (a process per session) and real
// files: a new session answers from it without opening the rings, anything in it that is not
// exactly right is ignored and made again, and a change by any path shows in the next session.
// ctest-labels: threaded
#include "listener_harness.h"
#include "orxcmd_harness.h"
#include "test_account.h"

#include <vorngui/keptsummary.h>

#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace orxtest;
using vornadmin::CAdminConnection;
using vornadmin::SReply;

namespace {

const std::string kKeys = std::string(ORX_TEST_DATA_DIR) + "/fixtures/messages/keys/";

// Tells whether a ring was opened, by anyone, since the watch began or was last asked.
class CRingOpens {
public:
    explicit CRingOpens(const std::vector<std::string>& paths)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        for (const std::string& path : paths)
            EXPECT_LE(0, ::inotify_add_watch(m_fd, path.c_str(), IN_OPEN)) << path;
    }
    ~CRingOpens() { ::close(m_fd); }
    CRingOpens(const CRingOpens&) = delete;
    CRingOpens& operator=(const CRingOpens&) = delete;

    bool any() {
        bool opened = false;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                return opened;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                opened = opened || (event->mask & IN_OPEN) != 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

private:
    int m_fd;
};

class ListenerKeptSummary : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxks");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
        m_daemon = std::make_unique<CListenerProcess>();
        ASSERT_TRUE(m_daemon->start());
        m_pubring = m_user->file(".zaf/pubring.pkr");
        m_secring = m_user->file(".zaf/secring.skr");
        m_kept = m_pubring + ".summary";
    }
    void TearDown() override {
        if (m_daemon && m_daemon->running()) {
            EXPECT_EQ(0, m_daemon->stop());
        }
    }

    std::unique_ptr<CAdminConnection> login() {
        return m_daemon->login(m_user->name(), m_user->password());
    }

    // The summary as a new session answers it.
    SReply summary() {
        auto session = login();
        const SReply reply = request(*session, vornadmin::gKeysSummaryRequest());
        EXPECT_EQ(0, reply.rc) << reply.xml;
        return reply;
    }

    static std::vector<std::string> ids(const SReply& reply) {
        std::vector<std::string> found;
        if (reply.body() != nullptr)
            for (const auto* key : reply.body()->childrenNamed("key"))
                found.push_back(key->get("id"));
        return found;
    }

    void import(const std::string& file) {
        auto session = login();
        ASSERT_EQ(0, request(*session, vornadmin::gKeyImportRequest(readFile(kKeys + file))).rc);
    }

    // Only rings last changed over a second ago are kept: waits (bounded) until they are.
    void waitUntilSettled() {
        ASSERT_TRUE(waitUntil(
            [&] {
                struct stat pub {
                }, sec{};
                return ::stat(m_pubring.c_str(), &pub) == 0 &&
                       ::stat(m_secring.c_str(), &sec) == 0 &&
                       std::max(pub.st_ctim.tv_sec, sec.st_ctim.tv_sec) + 1 < ::time(nullptr);
            },
            10000));
    }

    // Makes the kept file for the rings as they are; returns the summary it holds.
    SReply keep() {
        waitUntilSettled();
        const SReply made = summary();
        vorngui::SKeptSummary kept;
        EXPECT_TRUE(vorngui::gDecodeKeptSummary(readFile(m_kept), kept)) << m_kept;
        return made;
    }

    void writeKept(const std::string& bytes, mode_t mode = 0600) {
        std::ofstream(m_kept, std::ios::binary | std::ios::trunc) << bytes;
        ASSERT_EQ(0, ::chown(m_kept.c_str(), m_user->uid(), m_user->gid()));
        ASSERT_EQ(0, ::chmod(m_kept.c_str(), mode));
    }

    std::unique_ptr<TestAccount> m_user;
    std::unique_ptr<CListenerProcess> m_daemon;
    std::string m_pubring, m_secring, m_kept;
};

} // namespace

TEST_F(ListenerKeptSummary, ANewSessionAnswersFromTheKeptFileWithoutOpeningTheRings) {
    import("alice.pub");
    const SReply made = keep();
    ASSERT_EQ(1u, ids(made).size()) << made.xml;
    struct stat info {};
    ASSERT_EQ(0, ::stat(m_kept.c_str(), &info));
    EXPECT_EQ(m_user->uid(), info.st_uid);
    EXPECT_EQ(0600u, info.st_mode & 0777);

    CRingOpens opens({m_pubring, m_secring});
    EXPECT_EQ(made.xml, summary().xml);
    EXPECT_FALSE(opens.any()) << "a session with a kept summary read the rings";

    // Any other request reads them when it needs them, in the same session.
    auto session = login();
    EXPECT_EQ(made.xml, request(*session, vornadmin::gKeysSummaryRequest()).xml);
    EXPECT_EQ(0, request(*session, vornadmin::gKeyImportRequest(readFile(kKeys + "bob.pub"))).rc);
    EXPECT_TRUE(opens.any());
    EXPECT_EQ(2u, ids(request(*session, vornadmin::gKeysSummaryRequest())).size());

    // Without the file the rings are read (the watch sees it), and the file is made again. The
    // import replaced the ring files: the watch follows the new ones.
    waitUntilSettled();
    ASSERT_EQ(0, ::unlink(m_kept.c_str()));
    CRingOpens newOpens({m_pubring, m_secring});
    const SReply walked = summary();
    EXPECT_TRUE(newOpens.any());
    EXPECT_EQ(2u, ids(walked).size());
    EXPECT_EQ(walked.xml, summary().xml);
    EXPECT_FALSE(newOpens.any());
}

// Each bad file claims the rings hold no key; a session that trusted it would show none.
TEST_F(ListenerKeptSummary, ACorruptForgedForeignOrTruncatedFileIsIgnoredAndMadeAgain) {
    import("alice.pub");
    const SReply made = keep();
    vorngui::SKeptSummary good;
    ASSERT_TRUE(vorngui::gDecodeKeptSummary(readFile(m_kept), good));
    ASSERT_FALSE(good.written.empty());
    vorngui::SKeptSummary empty = good;
    empty.written.clear();
    const std::string emptied = vorngui::gEncodeKeptSummary(empty);

    std::string badSum = emptied;
    badSum[badSum.size() - 1] = static_cast<char>(badSum.back() ^ 1);
    vorngui::SKeptSummary otherRings = empty;
    otherRings.version[otherRings.version.find("pubring") - 2] ^= 1; // a digit of its times
    vorngui::SKeptSummary otherSettings = empty;
    otherSettings.version.replace(otherSettings.version.find("trust"), 7, "trust 3");
    vorngui::SKeptSummary expired = empty;
    expired.validUntil = ::time(nullptr) - 10;
    const struct {
        const char* what;
        std::string bytes;
        mode_t mode;
    } cases[] = {
        {"a wrong sum", badSum, 0600},
        {"another version of the rings", vorngui::gEncodeKeptSummary(otherRings), 0600},
        {"other trust settings", vorngui::gEncodeKeptSummary(otherSettings), 0600},
        {"a time past its validity", vorngui::gEncodeKeptSummary(expired), 0600},
        {"a truncated file", emptied.substr(0, emptied.size() - 1), 0600},
        {"a file others may read", emptied, 0640},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeKept(c.bytes, c.mode);
        EXPECT_EQ(made.xml, summary().xml);
        vorngui::SKeptSummary again;
        EXPECT_TRUE(vorngui::gDecodeKeptSummary(readFile(m_kept), again));
        EXPECT_EQ(good.written, again.written);
    }

    // Another account's file, and a link to a file with the right content, are not read.
    writeKept(emptied);
    ASSERT_EQ(0, ::chown(m_kept.c_str(), 0, 0));
    EXPECT_EQ(made.xml, summary().xml);
    const std::string target = m_user->file("elsewhere.summary");
    writeKept(emptied);
    ASSERT_EQ(0, ::rename(m_kept.c_str(), target.c_str()));
    ASSERT_EQ(0, ::symlink(target.c_str(), m_kept.c_str()));
    ASSERT_EQ(0, ::lchown(m_kept.c_str(), m_user->uid(), m_user->gid()));
    EXPECT_EQ(made.xml, summary().xml);
    struct stat info {};
    ASSERT_EQ(0, ::lstat(m_kept.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode)) << "the link was not replaced by a file of its own";
}

TEST_F(ListenerKeptSummary, AChangeByAnotherPathShowsInTheNextSession) {
    import("alice.pub");
    ASSERT_EQ(1u, ids(keep()).size());

    // Another program of ours (orxcmd, no listener) adds a key.
    COrxInstall install;
    SCmdOptions options;
    options.input = readFile(kKeys + "bob.pub");
    const SCmdResult added = runOrxcmd(*m_user, install, {"--key-add"}, options);
    ASSERT_EQ(0, added.rc) << added.err;
    const std::vector<std::string> both = ids(keep());
    ASSERT_EQ(2u, both.size());

    // Another program rewrites the public ring in place: same file, same size, same
    // modification time, the keys in the other order. Only its change time tells.
    const std::string alice = readFile(kKeys + "alice.pub");
    const std::string bob = readFile(kKeys + "bob.pub");
    {
        ScopedIdentity as(*m_user);
        std::ofstream(m_pubring, std::ios::binary | std::ios::trunc) << alice << bob;
    }
    const std::vector<std::string> inOrder = ids(keep());
    ASSERT_EQ(2u, inOrder.size());
    struct stat before {};
    ASSERT_EQ(0, ::stat(m_pubring.c_str(), &before));
    {
        ScopedIdentity as(*m_user);
        std::fstream ring(m_pubring, std::ios::binary | std::ios::in | std::ios::out);
        ring << bob << alice;
    }
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, m_pubring.c_str(), times, 0));
    struct stat after {};
    ASSERT_EQ(0, ::stat(m_pubring.c_str(), &after));
    ASSERT_EQ(before.st_ino, after.st_ino);
    ASSERT_EQ(before.st_size, after.st_size);
    waitUntilSettled(); // so that only the version, not a change just made, tells
    const std::vector<std::string> swapped = ids(summary());
    ASSERT_EQ(2u, swapped.size());
    EXPECT_EQ(inOrder.front(), swapped.back());
    EXPECT_EQ(inOrder.back(), swapped.front());

    // A change of the trust settings makes another version too.
    waitUntilSettled();
    ASSERT_EQ(2u, ids(summary()).size());
    {
        ScopedIdentity as(*m_user);
        std::ofstream(m_user->file(".zaf/zaf.cfg"), std::ios::app) << "Marginals-Needed=3\n";
    }
    CRingOpens opens({m_pubring});
    EXPECT_EQ(2u, ids(summary()).size());
    EXPECT_TRUE(opens.any()) << "a summary made under other trust settings was used";

    // And a key removed by another session is gone from the next one.
    auto other = login();
    const std::string name =
        swapped.front().rfind("0x", 0) == 0 ? swapped.front() : "0x" + swapped.front();
    ASSERT_EQ(0, request(*other, vornadmin::gKeyRemoveRequest(name)).rc);
    const std::vector<std::string> left = ids(summary());
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(swapped.back(), left.front());
}

// Nothing is kept in a folder that others may change, nor in one the user cannot write: the
// summary is answered all the same, and a file left there from before is not trusted.
TEST_F(ListenerKeptSummary, NoFileIsKeptWhereOthersMayChangeTheFolder) {
    import("alice.pub");
    const SReply made = keep();
    const std::string folder = m_user->file(".zaf");
    vorngui::SKeptSummary empty;
    ASSERT_TRUE(vorngui::gDecodeKeptSummary(readFile(m_kept), empty));
    empty.written.clear();
    for (const mode_t mode : {mode_t(0770), mode_t(0707), mode_t(0500)}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(0, ::chmod(folder.c_str(), 0700));
        writeKept(vorngui::gEncodeKeptSummary(empty));
        ASSERT_EQ(0, ::chmod(folder.c_str(), mode));
        EXPECT_EQ(made.xml, summary().xml);
        EXPECT_EQ(vorngui::gEncodeKeptSummary(empty), readFile(m_kept)) << "written anyway";
    }
    ASSERT_EQ(0, ::chmod(folder.c_str(), 0700));
}
