// Files that are not files, through orxcmd run as a throw-away account: a FIFO, a device, a
// folder, a dangling link, a planted link and an over-large file in the place of a ring, the
// groups file, the seed, the configuration file, an included file, and the photo of
// --add-photoid. Each run ends at once with its exit code and one line that names the file.
#include "bounded_call.h"
#include "odd_files.h"
#include "orxcmd_harness.h"

#include <gtest/gtest.h>
#include <map>

using namespace orxtest;

namespace {

class OrxcmdUserFiles : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxcu");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
    }
    // Runs orxcmd, which must end at once (a FIFO at `odd` is opened as a writer when it does
    // not, so the test itself never hangs).
    SCmdResult runPromptly(const std::string& odd, const std::vector<std::string>& args,
                           const SCmdOptions& options = {}) {
        SCmdResult result;
        COrxcmdProcess process(*m_user, m_install, args, options);
        EXPECT_TRUE(returnsWithin(
            60, [&] { result = process.wait(); }, fifoWriter(odd)))
            << "orxcmd waited on " << odd;
        return result;
    }
    void writeAsUser(const std::string& relative, const std::string& content) {
        ScopedIdentity as(*m_user);
        std::ofstream(m_user->file(relative), std::ios::binary) << content;
    }
    // Places `kind` at `path` as the account (the device node as root).
    void place(OddFile kind, const std::string& path, uint64_t bound, const std::string& target) {
        if (kind == OddFile::Device) {
            ASSERT_TRUE(placeOddFile(kind, path, bound, target));
            return;
        }
        ScopedIdentity as(*m_user);
        ASSERT_TRUE(placeOddFile(kind, path, bound, target)) << nameOf(kind);
    }
    static SCmdOptions passphrase() {
        SCmdOptions options;
        options.passphrases = "pw\n";
        return options;
    }
    void generate() {
        const SCmdResult r =
            runOrxcmd(*m_user, m_install,
                      {"--key-gen", "--key-type", "RSA", "--key-size", "1024", "--userid",
                       "Ann <ann@example.org>", "--passphrase-fd", "3"},
                      passphrase());
        ASSERT_EQ(0, r.rc) << r.err;
    }
    static std::string oneLine(const std::string& text) {
        return text.find('\n') == text.size() - 1 ? text : "more than one line: " + text;
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
};

TEST_F(OrxcmdUserFiles, KeyFilesAndConfigurationThatAreNoFilesEndTheRunAtOnce) {
    generate();
    writeAsUser("good.cfg", "Armor=on\n");
    struct SPlace {
        const char* what;
        std::string path;
        uint64_t bound;
        std::string conf; // the user's configuration: the line that names the odd file
        std::map<OddFile, std::string> said;
    };
    const std::string odd = m_user->file("odd");
    const std::map<OddFile, std::string> byToolkit = {
        {OddFile::Fifo, "Not a regular file"},   {OddFile::Device, "Not a regular file"},
        {OddFile::Folder, "Not a regular file"}, {OddFile::DanglingLink, "symbolic link"},
        {OddFile::PlantedLink, "symbolic link"}, {OddFile::TooLarge, "larger than"},
    };
    const std::vector<SPlace> places = {
        {"public ring", odd, 512u << 20, "Pubring=" + odd + "\n", byToolkit},
        {"secret ring", odd, 512u << 20, "Secring=" + odd + "\n", byToolkit},
        {"groups file", odd, 8u << 20, "GroupsFile=" + odd + "\n", byToolkit},
        {"seed file", odd, 64u << 10, "Randseed=" + odd + "\n", byToolkit},
        {"included file",
         odd,
         4u << 20,
         "Include " + odd + "\n",
         {{OddFile::Fifo, "is a FIFO, not a regular file"},
          {OddFile::Device, "is a character device, not a regular file"},
          {OddFile::Folder, "must not be a directory"},
          {OddFile::DanglingLink, "No such file"},
          {OddFile::TooLarge, "is larger than 4194304 bytes"}}},
    };
    for (const SPlace& p : places) {
        for (OddFile kind : allOddFiles()) {
            SCOPED_TRACE(std::string(p.what) + " is " + nameOf(kind));
            writeAsUser(".zaf/zaf.cfg", p.conf);
            place(kind, p.path, p.bound, m_user->file("good.cfg"));
            const SCmdResult r = runPromptly(p.path, {"--key-list"});
            auto said = p.said.find(kind);
            if (said == p.said.end()) { // a configuration file may be a link the user made
                EXPECT_EQ(0, r.rc) << r.err;
            } else {
                EXPECT_EQ(10, r.rc) << r.err; // the configuration or the rings cannot be opened
                EXPECT_NE(std::string::npos, r.err.find(said->second)) << r.err;
                EXPECT_EQ(r.err, oneLine(r.err));
            }
            EXPECT_EQ("Armor=on\n", slurp(m_user->file("good.cfg")));
            EXPECT_FALSE(std::filesystem::exists(p.path + ".nowhere"));
            std::filesystem::remove_all(p.path);
        }
    }
    // The user's own configuration file, where orxcmd looks for it.
    const std::string conf = m_user->file(".zaf/zaf.cfg");
    for (OddFile kind : {OddFile::Fifo, OddFile::Device, OddFile::Folder, OddFile::TooLarge}) {
        SCOPED_TRACE(std::string("zaf.cfg is ") + nameOf(kind));
        place(kind, conf, 4u << 20, "");
        const SCmdResult r = runPromptly(conf, {"--key-list"});
        EXPECT_EQ(10, r.rc) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("Refused to open file " + conf)) << r.err;
        std::filesystem::remove_all(conf);
    }
}

TEST_F(OrxcmdUserFiles, APhotoMustBeARegularFileWithinTheBound) {
    generate();
    std::string jpeg = "\xFF\xD8\xFF\xE0";
    jpeg += std::string(300, 'j') + "\xFF\xD9";
    writeAsUser("me.jpg", jpeg);
    const std::string photo = m_user->file("photo.jpg");
    // A link the user names is followed: to a photo it works, to a FIFO it does not.
    const std::map<OddFile, std::pair<int, std::string>> expected = {
        {OddFile::Fifo, {8, "is a FIFO, not a regular file"}},
        {OddFile::Device, {8, "is a character device, not a regular file"}},
        {OddFile::Folder, {8, "is a folder, not a regular file"}},
        {OddFile::DanglingLink, {7, "No such file"}},
        {OddFile::PlantedLink, {0, ""}},
        {OddFile::TooLarge, {8, "is larger than 1048576 bytes"}},
    };
    for (OddFile kind : allOddFiles()) {
        SCOPED_TRACE(nameOf(kind));
        place(kind, photo, 1u << 20, m_user->file("me.jpg"));
        const SCmdResult r = runPromptly(
            photo, {"--add-photoid", "Ann", photo, "--passphrase-fd", "3"}, passphrase());
        EXPECT_EQ(expected.at(kind).first, r.rc) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(expected.at(kind).second)) << r.err;
        if (r.rc == 0) {
            ASSERT_EQ(0, runOrxcmd(*m_user, m_install, {"--remove-photoid", "Ann"}).rc);
        }
        std::filesystem::remove_all(photo);
    }
    // A FIFO behind a link is refused as well.
    const std::string fifo = m_user->file("fifo");
    place(OddFile::Fifo, fifo, 0, "");
    place(OddFile::PlantedLink, photo, 0, fifo);
    const SCmdResult r =
        runPromptly(fifo, {"--add-photoid", "Ann", photo, "--passphrase-fd", "3"}, passphrase());
    EXPECT_EQ(8, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("is a FIFO")) << r.err;
}

} // namespace
