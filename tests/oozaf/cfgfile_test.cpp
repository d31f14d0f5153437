// Tests of the configuration file format: reading (line forms, errors with their reasons and line
// numbers, includes and their bounds), writing (round trips) and the in-place update.
#include "expect_throw.h"
#include "file_fixture.h"

#include <oozaf/filemanager.h>
#include <oozaf/mem.h>
#include <oozaf/throwable.h>
#include <oozaf/vornserverconf.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace oozaf;

namespace {

class CfgFileTest : public CZAFFileFixture {
protected:
    // The names in the temporary folder, to see that nothing was left behind.
    std::vector<std::string> listDir() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Reads `text` into a fresh part and expects the parse failure `reason` on line `line`.
    void expectFailure(const std::string& text, eReason reason, unsigned int line) {
        CVornServerCfgUserPart part(nullptr);
        CVornServerCfgFile reader;
        auto e = expectThrow<CZAFPropertiesParsingException>(
            [&] { reader.readText(text, part, false); });
        ASSERT_TRUE(e) << text;
        EXPECT_EQ(reason, e->getReason()) << text << "\n" << e->getDetailedMessage();
        EXPECT_EQ(line, e->getLineNumber()) << text;
    }
};

std::string stringOf(const CVornServerCfgPart& part, eZAFOp op) {
    std::string out;
    EXPECT_TRUE(part.getValue(op, out)) << gNameFromOp(op);
    return out;
}

TEST_F(CfgFileTest, ReadsEveryFormOfLine) {
    CVornServerCfgUserPart part(nullptr);
    CVornServerCfgFile().read(std::string(ORX_TEST_DATA_DIR) + "/config/all-forms.cfg", part,
                              false);
    bool flag = false;
    EXPECT_TRUE(part.getValue(eZAFOpArmor, flag) && flag);
    EXPECT_EQ(nullptr, part.getValues(eZAFOpCompress)); // "Compress=" is ignored
    EXPECT_TRUE(part.getValue(eZAFOpMime, flag) && flag);
    EXPECT_TRUE(part.getValue(eZAFOpMimeParse, flag) && !flag);
    EXPECT_EQ("a = b # not a comment", stringOf(part, eZAFOpComment));
    EXPECT_EQ("more-s", stringOf(part, eZAFOpPager)); // unquoted white space is dropped
    int number = 0;
    EXPECT_TRUE(part.getValue(eZAFOpKeySize, number));
    EXPECT_EQ(2, number); // leading digits count
    EXPECT_TRUE(part.getValue(eZAFOpCipher, number));
    EXPECT_EQ(kZAFCipherAlgorithm_Twofish, number);
    EXPECT_EQ("0xABCDEF01", stringOf(part, eZAFOpDefaultKey));
    std::string target;
    EXPECT_TRUE(part.getAliasTarget("-x", target));
    EXPECT_EQ("--key-list --with-sigs", target);
    EXPECT_TRUE(part.getAliasTarget("-eq", target));
    EXPECT_EQ("a=b", target); // an "=" in an alias word stays readable
    const CValueList* questions = part.getValues(eZAFOpQuestion);
    ASSERT_NE(nullptr, questions);
    ASSERT_EQ(2u, questions->size()); // two empty questions, both kept
    EXPECT_EQ("\"\"", questions->front()->stringValue());
}

TEST_F(CfgFileTest, CommentsQuotesAndWhiteSpace) {
    CVornServerCfgUserPart part(nullptr);
    CVornServerCfgFile reader;
    reader.readText("# only comments\n\n   \t\n  # and blanks\n", part, false);
    EXPECT_TRUE(part.getConfigurationMap().empty());
    EXPECT_TRUE(part.getAliases().empty());

    reader.readText("Comment=\"a # b\"\nPager=a # b\n", part, false);
    EXPECT_EQ("a # b", stringOf(part, eZAFOpComment));
    EXPECT_EQ("a", stringOf(part, eZAFOpPager));

    // A trailing comment after "=" leaves an empty value, which is ignored like "Armor=".
    CVornServerCfgUserPart empty(nullptr);
    reader.readText("Armor= # decided later\nWipe =\t\n", empty, false);
    EXPECT_TRUE(empty.getConfigurationMap().empty());

    // Two pairs of quotes lose only one pair when stored.
    CVornServerCfgUserPart twice(nullptr);
    reader.readText("Pubring=\"\"/tmp/ring\"\"\n", twice, false);
    EXPECT_EQ("\"/tmp/ring\"", stringOf(twice, eZAFOpPubRing));
}

// A file saved with CRLF line ends reads exactly as its LF form: every form of line, blank
// lines, quoted values, ALIAS with a quoted target, Include and source with and without quotes;
// and such a file can be updated in place.
TEST_F(CfgFileTest, CrlfLineEndsReadLikeLineFeeds) {
    const std::string forms = get(std::string(ORX_TEST_DATA_DIR) + "/config/all-forms.cfg");
    ASSERT_FALSE(forms.empty());
    auto writeFiles = [&](const std::string& tag, const std::string& end) {
        std::string text;
        for (char c : forms)
            text += c == '\n' ? end : std::string(1, c);
        const std::string spaced = put(tag + " spaced.cfg", "Wipe=off" + end + end + "# x" + end);
        const std::string plain = put(tag + "-plain.cfg", end + "Hash=SHA256" + end);
        text += end + "Include \"" + spaced + "\"" + end + "source " + plain + end +
                "ALIAS -s \"--sign --armor\"" + end + "ALIAS -t --textmode" + end;
        return put(tag + "-main.cfg", text);
    };
    CVornServerCfgUserPart lf(nullptr);
    CVornServerCfgFile().read(writeFiles("lf", "\n"), lf, false);
    const std::string crlfMain = writeFiles("crlf", "\r\n");
    CVornServerCfgUserPart crlf(nullptr);
    CVornServerCfgFile().read(crlfMain, crlf, false);
    EXPECT_TRUE(crlf.isEqualTo(lf));
    bool wipe = true;
    EXPECT_TRUE(crlf.getValue(eZAFOpWipe, wipe) && !wipe);
    int hash = 0;
    EXPECT_TRUE(crlf.getValue(eZAFOpHash, hash));
    EXPECT_EQ(kZAFHashAlgorithm_SHA256, hash);
    std::string target;
    EXPECT_TRUE(crlf.getAliasTarget("-s", target));
    EXPECT_EQ("--sign --armor", target);
    EXPECT_TRUE(crlf.getAliasTarget("-t", target));
    EXPECT_EQ("--textmode", target);
    EXPECT_EQ("a = b # not a comment", stringOf(crlf, eZAFOpComment));

    CVornServerCfgUserPart text(nullptr);
    CVornServerCfgFile().readText("Armor\r\n\r\nComment=\"x y\"\r\n", text, false);
    EXPECT_EQ("x y", stringOf(text, eZAFOpComment));

    // An update keeps the CRLF lines it leaves alone and the result reads back.
    CVornServerCfgUserPart own(nullptr);
    CVornServerCfgFile(false).read(crlfMain, own, false);
    own.clearValue(eZAFOpArmor);
    own.putValue(eZAFOpArmor, false);
    CVornServerCfgFile().update(crlfMain, own);
    EXPECT_NE(std::string::npos, get(crlfMain).find("\nCipher=twofish\r\n"));
    CVornServerCfgUserPart updated(nullptr);
    CVornServerCfgFile(false).read(crlfMain, updated, false);
    EXPECT_TRUE(updated.isEqualTo(own));
}

TEST_F(CfgFileTest, MalformedLinesCarryTheirReasonAndLine) {
    expectFailure("=on", eReasonNameMissing, 1);
    expectFailure("# fine\nComment=\"open", eReasonQuoteMismatch, 2);
    expectFailure("Armor\nA=b=c", eReasonTooManyDelimiters, 2);
    expectFailure("Comment\"=\"", eReasonNoDelimiter, 1);
    expectFailure("Comment\"=x\"=", eReasonValueMissing, 1);
    expectFailure("Alias -kl", eReasonAliasFormat, 1);
    expectFailure("ALIAS=-kl:--key-list", eReasonAliasFormat, 1);
    expectFailure("ALIAS \"\" --key-list", eReasonAliasFormat, 1); // no code
    expectFailure("\n\nInclude=other.cfg", eReasonIncludeFormat, 3);
    expectFailure("source a b", eReasonIncludeFormat, 1);
    expectFailure("ALIAS --key-list x", eReasonAliasReserved, 1);
    expectFailure("ALIAS x y", eReasonAliasCode, 1);
    expectFailure("Armor=on\n\n\nArmor=off", eReasonParse, 4);
    expectFailure("Key-Size=abc", eReasonParse, 1);
    expectFailure("ADK-Key=0x1234", eReasonKeyIDFormat, 1);
}

TEST_F(CfgFileTest, InputNeverReachesInternalErrors) {
    // Commands, unknown names and words the tables lack are faults of the file, not defects.
    expectFailure("sda=on", eReasonParse, 1);
    expectFailure("Cipher=serpent", eReasonParse, 1);
    expectFailure("In-clude=/etc/passwd", eReasonIncludeFormat, 1);
    expectFailure("A-lias=nocolon", eReasonAliasFormat, 1);

    CVornServerCfgUserPart part(nullptr);
    CVornServerCfgFile reader;
    auto e = expectThrow<CZAFPropertiesParsingException>(
        [&] { reader.readText("Armor=yes\nWipe=maybe\n", part, false); });
    ASSERT_TRUE(e);
    EXPECT_EQ(eReasonParse, e->getReason());
    EXPECT_EQ(2u, e->getLineNumber());
    EXPECT_NE(nullptr, dynamic_cast<const CZAFNoSuchBooleanError*>(e->getRoot()));
    bool armor = false;
    EXPECT_TRUE(part.getValue(eZAFOpArmor, armor)); // lines before the failure stay applied

    auto unknown = expectThrow<CZAFPropertiesParsingException>(
        [&] { reader.readText("\nArmour=on\n", part, false); });
    ASSERT_TRUE(unknown);
    EXPECT_EQ(2u, unknown->getLineNumber());
    const auto* cause = dynamic_cast<const CZAFNoSuchDirectiveError*>(unknown->getRoot());
    ASSERT_NE(nullptr, cause);
    EXPECT_EQ("Armour", cause->getValue());
}

TEST_F(CfgFileTest, CheckLineTable) {
    struct {
        const char* line;
        eReason reason; // eReasonNone: passes
    } const cases[] = {
        {"", eReasonNone},
        {"a=b", eReasonNone},
        {"a=\"b=c\"", eReasonNone},
        {"a=\"\"", eReasonNone},
        {"a", eReasonNoDelimiter},
        {"\"a=b\"", eReasonNoDelimiter},
        {"a=b=c", eReasonTooManyDelimiters},
        {"=b", eReasonNameMissing},
        {"a=", eReasonValueMissing},
        {"a=\"b", eReasonQuoteMismatch},
        {"a=b\"c\"\"", eReasonQuoteMismatch},
    };
    CVornServerCfgFile reader;
    for (const auto& c : cases) {
        if (c.reason == eReasonNone) {
            reader.checkLine(c.line);
            continue;
        }
        auto e = expectThrow<CZAFPropertiesParsingException>([&] { reader.checkLine(c.line); });
        ASSERT_TRUE(e) << c.line;
        EXPECT_EQ(c.reason, e->getReason()) << c.line;
    }
}

TEST_F(CfgFileTest, IncludesReadIntoTheSamePartAndReportTheOuterLine) {
    const std::string extra = put("extra.cfg", "Armor=on\nsource " + m_dir.file("deeper.cfg"));
    put("deeper.cfg", "Wipe\n");
    const std::string main =
        put("main.cfg", "Comment=main\n  include   \"" + extra + "\"   # note\n");
    CVornServerCfgUserPart part(nullptr);
    CVornServerCfgFile().read(main, part, false);
    bool flag = false;
    EXPECT_TRUE(part.getValue(eZAFOpArmor, flag) && flag);
    EXPECT_TRUE(part.getValue(eZAFOpWipe, flag) && flag);

    // Not following includes reads the file as it stands.
    CVornServerCfgUserPart own(nullptr);
    CVornServerCfgFile(false).read(main, own, false);
    EXPECT_EQ(nullptr, own.getValues(eZAFOpArmor));
    EXPECT_EQ("main", stringOf(own, eZAFOpComment));

    // An error on line 3 of an included file is reported at the include's line 7.
    const std::string bad = put("bad.cfg", "Armor=on\nWipe=on\nCipher=\"x\n");
    const std::string outer = put("outer.cfg", "\n\n\n\n\n\nInclude " + bad + "\n");
    auto e = expectThrow<CZAFPropertiesParsingException>([&] {
        CVornServerCfgUserPart p(nullptr);
        CVornServerCfgFile().read(outer, p, false);
    });
    ASSERT_TRUE(e);
    EXPECT_EQ(eReasonQuoteMismatch, e->getReason());
    EXPECT_EQ(7u, e->getLineNumber());

    // The one-value rule spans the including and the included file.
    const std::string twice = put("twice.cfg", "Armor=off\nInclude " + extra + "\n");
    auto repeated = expectThrow<CZAFPropertiesParsingException>([&] {
        CVornServerCfgUserPart p(nullptr);
        CVornServerCfgFile().read(twice, p, false);
    });
    ASSERT_TRUE(repeated);
    EXPECT_NE(std::string::npos, repeated->getInfo().find("'Armor' appears more than once"));

    // A file name with a blank, quoted.
    const std::string spaced = put("with blank.cfg", "Wipe=off\n");
    CVornServerCfgUserPart p(nullptr);
    CVornServerCfgFile().readText("Include \"" + spaced + "\"", p, false);
    EXPECT_TRUE(p.getValue(eZAFOpWipe, flag) && !flag);
}

TEST_F(CfgFileTest, MissingFilesAreIOErrors) {
    CVornServerCfgUserPart part(nullptr);
    auto e = expectThrow<CZAFPropertiesIOException>(
        [&] { CVornServerCfgFile().read(m_dir.file("nowhere.cfg"), part, false); });
    ASSERT_TRUE(e);
    EXPECT_NE(nullptr, dynamic_cast<const CZAFFileOpenException*>(e->getRoot()));

    const std::string main = put("main.cfg", "Armor\nInclude " + m_dir.file("gone.cfg") + "\n");
    auto nested = expectThrow<CZAFPropertiesIOException>(
        [&] { CVornServerCfgFile().read(main, part, false); });
    EXPECT_TRUE(nested);
}

TEST_F(CfgFileTest, IncludeLoopsAndDepthAreRefusedNamingTheFile) {
    const std::string self = m_dir.file("self.cfg");
    put("self.cfg", "Armor=on\nInclude " + self + "\n");
    CVornServerCfgUserPart part(nullptr);
    auto loop = expectThrow<CZAFPropertiesParsingException>(
        [&] { CVornServerCfgFile().read(self, part, false); });
    ASSERT_TRUE(loop);
    EXPECT_EQ(eReasonParse, loop->getReason());
    EXPECT_EQ(self, loop->getPath());
    EXPECT_EQ(2u, loop->getLineNumber());

    // a -> b -> a, with b reached through another spelling of its path.
    put("a.cfg", "Include " + m_dir.path() + "/./b.cfg\n");
    put("b.cfg", "\nsource " + m_dir.file("a.cfg") + "\n");
    auto cycle = expectThrow<CZAFPropertiesParsingException>([&] {
        CVornServerCfgUserPart p(nullptr);
        CVornServerCfgFile().read(m_dir.file("a.cfg"), p, false);
    });
    ASSERT_TRUE(cycle);
    EXPECT_EQ(m_dir.file("a.cfg"), cycle->getPath());

    // A chain of distinct files: 16 levels below the outermost file read, 17 do not.
    auto chain = [&](unsigned int levels) {
        for (unsigned int i = 0; i <= levels; ++i) {
            const std::string body =
                i < levels ? "Include " + m_dir.file("c" + std::to_string(i + 1)) : "Armor=on";
            put("c" + std::to_string(i), body + "\n");
        }
        return m_dir.file("c0");
    };
    CVornServerCfgUserPart deep(nullptr);
    CVornServerCfgFile().read(chain(CVornServerCfgFile::kMaxIncludeDepth), deep, false);
    EXPECT_NE(nullptr, deep.getValues(eZAFOpArmor));
    auto tooDeep = expectThrow<CZAFPropertiesParsingException>([&] {
        CVornServerCfgUserPart p(nullptr);
        CVornServerCfgFile().read(chain(CVornServerCfgFile::kMaxIncludeDepth + 1), p, false);
    });
    ASSERT_TRUE(tooDeep);
    EXPECT_EQ(m_dir.file("c17"), tooDeep->getPath());

    // A directory is not included.
    auto directory = expectThrow<CZAFPropertiesParsingException>([&] {
        CVornServerCfgUserPart p(nullptr);
        CVornServerCfgFile().readText("Include " + m_dir.path(), p, false);
    });
    ASSERT_TRUE(directory);
    EXPECT_EQ(m_dir.path(), directory->getPath());
}

// The null device reads as an empty file; every other device and a FIFO (with a writer or
// without) are refused at once, without the reader ever waiting for another process.
TEST_F(CfgFileTest, OnlyTheNullDeviceIsReadAsAFileAndNothingWaits) {
    bool flag = false;
    CVornServerCfgUserPart part(nullptr);
    CVornServerCfgFile().readText("Armor\nInclude /dev/null\nWipe=off\n", part, false);
    EXPECT_TRUE(part.getValue(eZAFOpWipe, flag) && !flag);

    const std::string fifo = m_dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC); // one that never writes
    ASSERT_GE(writer, 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        auto refused = expectThrow<CZAFPropertiesIOException>([&] {
            CVornServerCfgUserPart p(nullptr);
            CVornServerCfgFile().readText("Armor=on\nsource " + path + "\n", p, false);
        });
        ASSERT_TRUE(refused);
        const auto* cause = dynamic_cast<const CZAFFileRefusedException*>(refused->getRoot());
        ASSERT_NE(nullptr, cause);
        EXPECT_NE(std::string::npos, cause->getExplanation().find("not a regular file"));
    }
    close(writer);
}

TEST_F(CfgFileTest, OversizedFilesAreRefused) {
    const std::string big = put("big.cfg", std::string(CVornServerCfgFile::kMaxFileSize + 10, '#'));
    CVornServerCfgUserPart part(nullptr);
    auto e = expectThrow<CZAFPropertiesIOException>(
        [&] { CVornServerCfgFile().read(big, part, false); });
    ASSERT_TRUE(e);
    const auto* cause = dynamic_cast<const CZAFFileRefusedException*>(e->getRoot());
    ASSERT_NE(nullptr, cause);
    EXPECT_EQ("is larger than " + std::to_string(CVornServerCfgFile::kMaxFileSize) + " bytes",
              cause->getExplanation());

    const std::string lines =
        put("lines.cfg", std::string(CVornServerCfgFile::kMaxLines + 1, '\n'));
    auto many = expectThrow<CZAFPropertiesIOException>(
        [&] { CVornServerCfgFile().read(lines, part, false); });
    EXPECT_TRUE(many);
}

TEST_F(CfgFileTest, WritesSettingsByNameAndQuotesWhereNeeded) {
    CVornServerCfgUserPart part(nullptr);
    part.putValue(eZAFOpComment, "a b");
    part.putValue(eZAFOpArmor, true);
    part.putValue(eZAFOpCipher, static_cast<int>(kZAFCipherAlgorithm_AES256));
    part.putValue(eZAFOpPager, "less#1");
    part.putValue(eZAFOpQuestion, "");
    part.addAlias("-x", "--key-list --with-sigs");
    part.addAlias("-y", "k=v");
    const std::string path = m_dir.file("written.cfg");
    CVornServerCfgFile writer;
    writer.write(path, false, part);
    EXPECT_EQ("ALIAS -x \"--key-list --with-sigs\"\n"
              "ALIAS -y \"k=v\"\n"
              "Armor=yes\n"
              "Question=\"\"\n"
              "Comment=\"a b\"\n"
              "Pager=\"less#1\"\n"
              "Cipher=AES256\n",
              get(path));

    // Appending separates the new settings from the old content by an empty line.
    CVornServerCfgUserPart more(nullptr);
    more.putValue(eZAFOpWipe, false);
    writer.write(path, true, more);
    EXPECT_EQ("Cipher=AES256\n\nWipe=no\n", get(path).substr(get(path).size() - 23));

    // A text that cannot be read back is refused before the file is touched.
    const std::string before = get(path);
    CVornServerCfgUserPart bad(nullptr);
    bad.putValue(eZAFOpComment, "say \"hi");
    auto e = expectThrow<CZAFPropertiesParsingException>([&] { writer.write(path, false, bad); });
    ASSERT_TRUE(e);
    EXPECT_EQ(eReasonQuotePlacement, e->getReason());
    EXPECT_EQ(before, get(path));
}

// Builds a random part whose values are of the kinds their operations take. `alphabet` gives the
// characters of texts.
class CPartGenerator {
public:
    CPartGenerator(unsigned int seed, std::string alphabet)
        : m_random(seed), m_alphabet(std::move(alphabet)) {
        for (unsigned int i = 0; i < gOpsCount(); ++i) {
            const SZAFOpStruct& row = gOps[i];
            if (row.directive == nullptr || row.argType == eArgTypeNone ||
                row.op == eZAFOpInclude1 || row.op == eZAFOpInclude2 ||
                (row.argType & eArgTypeDate) != 0)
                continue;
            m_ops.push_back(row.op);
        }
    }

    void fill(CVornServerCfgPart& part) {
        const std::size_t settings = pick(12);
        for (std::size_t i = 0; i < settings; ++i) {
            const eZAFOp op = m_ops[pick(m_ops.size())];
            const int32_t type = gCfgArgTypeFromOp(op);
            const std::size_t count = (type & eArgTypeMulti) ? 1 + pick(7) : 1;
            for (std::size_t n = 0; n < count; ++n)
                part.putValue(op, makeValue(op, type));
        }
        const std::size_t aliases = pick(4);
        for (std::size_t i = 0; i < aliases; ++i) {
            try {
                part.addAlias("-" + text(1), text(0));
            } catch (CZAFPropertiesParsingException* e) {
                delete e; // a reserved code; skip it
            }
        }
    }

private:
    std::size_t pick(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(m_random);
    }
    std::string text(std::size_t minimum) {
        std::string out;
        const std::size_t length = minimum + pick(14);
        for (std::size_t i = 0; i < length; ++i)
            out += m_alphabet[pick(m_alphabet.size())];
        return out;
    }
    const CValue* makeValue(eZAFOp op, int32_t type) {
        if (type & eArgTypeBool)
            return new CBoolValue(pick(2) == 1);
        if (type & eArgTypeInt)
            return new CIntValue(static_cast<int>(pick(2000001)) - 1000000);
        if (type & eArgTypeEnum) {
            for (;;) {
                const int candidate = static_cast<int>(pick(300));
                std::string name;
                if (gEnumToArg(op, candidate, name))
                    return new CIntValue(candidate);
            }
        }
        if (type & eArgTypeKeyID) {
            static const char hex[] = "0123456789abcdefABCDEF";
            std::string id = pick(2) ? "0x" : "";
            const std::size_t digits = pick(2) ? 8 : 16;
            for (std::size_t i = 0; i < digits; ++i)
                id += hex[pick(sizeof hex - 1)];
            return new CStringValue(id);
        }
        // Strings; an empty question is written in its two-quote form, so questions get text.
        return new CStringValue(text(op == eZAFOpQuestion ? 1 : 0));
    }

    std::mt19937 m_random;
    std::string m_alphabet;
    std::vector<eZAFOp> m_ops;
};

TEST_F(CfgFileTest, WrittenPartsReadBackEqual) {
    // Texts without double quotes, line feeds or ":" can always be written.
    CPartGenerator generator(20240607u, "ab-/._:=# \t\r\f\v'\\,xyz019");
    const std::string path = m_dir.file("round.cfg");
    CVornServerCfgFile file;
    for (int i = 0; i < 300; ++i) {
        CVornServerCfgUserPart part(nullptr);
        generator.fill(part);
        // Alias codes holding ":" cannot be split from their targets; drop those.
        std::vector<std::string> colonCodes;
        for (const auto& alias : part.getAliases())
            if (alias.first.find(':') != std::string::npos)
                colonCodes.push_back(alias.first);
        for (const std::string& code : colonCodes)
            part.clearAlias(code);

        CVornServerCfgUserPart back(nullptr);
        try {
            file.write(path, false, part);
            file.read(path, back, false);
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
            FAIL() << "part " << i << ":\n" << part << e->getDetailedMessage();
        }
        ASSERT_TRUE(back.isEqualTo(part)) << "part " << i << ":\n"
                                          << part << "file:\n"
                                          << get(path);
    }
}

TEST_F(CfgFileTest, WriteEitherRefusesOrRoundTripsAnyText) {
    CPartGenerator generator(77u, "a\"b =#\n\t:-x");
    const std::string path = m_dir.file("any.cfg");
    CVornServerCfgFile file;
    int written = 0;
    for (int i = 0; i < 300; ++i) {
        CVornServerCfgUserPart part(nullptr);
        generator.fill(part);
        try {
            file.write(path, false, part);
        } catch (CZAFPropertiesParsingException* e) {
            delete e;
            continue;
        }
        ++written;
        CVornServerCfgUserPart back(nullptr);
        file.read(path, back, false);
        ASSERT_TRUE(back.isEqualTo(part)) << part << "file:\n" << get(path);
    }
    EXPECT_GT(written, 20);
}

TEST_F(CfgFileTest, UpdateKeepsLayoutAndAppendsChanges) {
    const std::string original = get(std::string(ORX_TEST_DATA_DIR) + "/config/user-layout.cfg");
    const std::string path = put("zaf.cfg", original);
    CVornServerCfgUserPart own(nullptr);
    CVornServerCfgFile(false).read(path, own, false);

    // Change the cipher by case only (kept), drop the comment, change the armor, add a wipe,
    // retarget -ks, drop -kl, add a question.
    CVornServerCfgUserPart wanted(nullptr);
    wanted.merge(own);
    const CValue* comment = wanted.getValue(eZAFOpComment);
    ASSERT_TRUE(wanted.clearValue(eZAFOpComment, comment));
    EXPECT_EQ(nullptr, comment);
    wanted.clearValue(eZAFOpArmor);
    wanted.putValue(eZAFOpArmor, false);
    wanted.putValue(eZAFOpWipe, true);
    wanted.clearAlias("-kl");
    wanted.addAlias("-ks", "--key-sign");
    wanted.putValue(eZAFOpQuestion, "");

    // The include names a file that is not there; this reader leaves includes alone.
    CVornServerCfgFile(false).update(path, wanted);
    EXPECT_EQ("# A user's configuration as a person keeps it.\n"
              "# Comments and blank lines must survive an update.\n"
              "\n"
              "#Armor=on\n"
              "Pager = \"more -s\"      # the pager keeps its blank inside the quotes\n"
              "Cipher = aes256\n"
              "#Comment=\"Vorn # Server\"\n"
              "\n"
              "#ALIAS -kl --key-list\n"
              "ALIAS -ks \"--key-sign --yes\"\n"
              "Include extra.cfg\n"
              "Key-Size=2048\n"
              "Question=\"Who goes there?\"\n"
              "Question=Why\n"
              "ALIAS -ks --key-sign\n"
              "Wipe=yes\n"
              "Armor=no\n"
              "Question=\"\"\n",
              get(path));

    // Updating with what the file now holds changes nothing.
    CVornServerCfgUserPart now(nullptr);
    CVornServerCfgFile(false).read(path, now, false);
    const std::string updated = get(path);
    CVornServerCfgFile(false).update(path, now);
    EXPECT_EQ(updated, get(path));
    EXPECT_EQ((std::vector<std::string>{"zaf.cfg"}), listDir());
}

TEST_F(CfgFileTest, UpdateComparesTextsExactlyAndWordsIgnoringCase) {
    const std::string path =
        put("zaf.cfg", "Armor=on\nPubring=/home/A/pubring.pkr\nCipher=aes128\n");
    CVornServerCfgUserPart part(nullptr);
    part.putValue(eZAFOpArmor, true);
    part.putValue(eZAFOpPubRing, "/home/a/pubring.pkr");
    part.putValue(eZAFOpCipher, static_cast<int>(kZAFCipherAlgorithm_AES128));
    CVornServerCfgFile().update(path, part);
    EXPECT_EQ("#Armor=on\n#Pubring=/home/A/pubring.pkr\nCipher=aes128\nArmor=yes\n"
              "Pubring=/home/a/pubring.pkr\n",
              get(path));
}

TEST_F(CfgFileTest, UpdateEmptiesAFileWithAnEmptyPartAndCreatesMissingFiles) {
    const std::string path = put("zaf.cfg", "Armor=on\n# note\nInclude other.cfg\n");
    CVornServerCfgUserPart none(nullptr);
    CVornServerCfgFile(false).update(path, none); // the include is not read, only kept
    EXPECT_EQ("#Armor=on\n# note\nInclude other.cfg\n", get(path));

    const std::string fresh = m_dir.file("fresh.cfg");
    CVornServerCfgUserPart part(nullptr);
    part.putValue(eZAFOpKeySize, 4096);
    CVornServerCfgFile().update(fresh, part);
    EXPECT_EQ("Key-Size=4096\n", get(fresh));
}

TEST_F(CfgFileTest, UpdateValidatesBeforeWriting) {
    const std::string original = "Armor=on\n";
    const std::string path = put("zaf.cfg", original);
    const std::string notADirectory = put("plain-file", "x");
    CVornServerCfgUserPart part(nullptr);
    part.putValue(eZAFOpTmp, notADirectory);
    auto e = expectThrow<CZAFPropertiesParsingException>(
        [&] { CVornServerCfgFile().update(path, part); });
    ASSERT_TRUE(e);
    EXPECT_EQ(eReasonNotADirectory, e->getReason());
    EXPECT_EQ(notADirectory, e->getPath());
    EXPECT_EQ(original, get(path));

    // A line the table does not know stops the update with its line number.
    put("zaf.cfg", "Armor=on\nFrobnicate=1\n");
    CVornServerCfgUserPart any(nullptr);
    auto unknown = expectThrow<CZAFPropertiesParsingException>(
        [&] { CVornServerCfgFile().update(path, any); });
    ASSERT_TRUE(unknown);
    EXPECT_EQ(2u, unknown->getLineNumber());
    EXPECT_EQ("Armor=on\nFrobnicate=1\n", get(path));
}

TEST_F(CfgFileTest, UpdateRefusesAResultThatWouldNotRead) {
    // The included file sets Armor; setting it in the including file too would make the whole
    // unreadable, so the update is refused and the file stays as it was.
    const std::string extra = put("extra.cfg", "Armor=on\n");
    const std::string original = "Include " + extra + "\nWipe=on\n";
    const std::string path = put("zaf.cfg", original);
    CVornServerCfgUserPart part(nullptr);
    part.putValue(eZAFOpWipe, true);
    part.putValue(eZAFOpArmor, false);
    auto e = expectThrow<CZAFPropertiesParsingException>(
        [&] { CVornServerCfgFile().update(path, part); });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos, e->getInfo().find("appears more than once"));
    EXPECT_EQ(original, get(path));
    EXPECT_EQ((std::vector<std::string>{"extra.cfg", "zaf.cfg"}), listDir());
}

// Fails where the new content would replace the old file.
class CFailingReplace final : public CVornServerCfgFile {
protected:
    void replaceFile(const std::string&, const std::string& target) override {
        throw new CZAFFileAccessException(target, EIO);
    }
};

TEST_F(CfgFileTest, AnInterruptedUpdateLeavesTheOldFileIntact) {
    const std::string original = "# keep me\nArmor=on\nComment=old\n";
    const std::string path = put("zaf.cfg", original);
    CVornServerCfgUserPart part(nullptr);
    part.putValue(eZAFOpComment, "new");
    auto e = expectThrow<CZAFPropertiesIOException>([&] { CFailingReplace().update(path, part); });
    ASSERT_TRUE(e);
    EXPECT_NE(nullptr, dynamic_cast<const CZAFFileAccessException*>(e->getRoot()));
    EXPECT_EQ(original, get(path));
    EXPECT_EQ((std::vector<std::string>{"zaf.cfg"}), listDir()); // no temporary file left
}

TEST_F(CfgFileTest, UpdateKeepsPermissionsAndSymbolicLinks) {
    const std::string real = put("real.cfg", "Armor=on\n");
    ASSERT_EQ(0, chmod(real.c_str(), 0640));
    const std::string link = m_dir.file("zaf.cfg");
    ASSERT_EQ(0, symlink(real.c_str(), link.c_str()));
    CVornServerCfgUserPart part(nullptr);
    part.putValue(eZAFOpArmor, false);
    CVornServerCfgFile().update(link, part);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ("#Armor=on\nArmor=no\n", get(real));
    struct stat info {};
    ASSERT_EQ(0, stat(real.c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 07777);
}

TEST_F(CfgFileTest, UpdateOfAnUnwritableValueChangesNothing) {
    const std::string path = put("zaf.cfg", "Comment=old\n");
    CVornServerCfgUserPart part(nullptr);
    part.putValue(eZAFOpComment, "line\nbreak");
    auto e = expectThrow<CZAFPropertiesParsingException>(
        [&] { CVornServerCfgFile().update(path, part); });
    ASSERT_TRUE(e);
    EXPECT_EQ("Comment=old\n", get(path));
}

} // namespace
