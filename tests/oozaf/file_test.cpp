// Tests of file objects: byte and line reading and writing on real files, and the exceptions that
// name the file.
#include "expect_throw.h"
#include "file_fixture.h"

#include <oozaf/filemanager.h>
#include <oozaf/mem.h>
#include <oozaf/throwable.h>

#include <cerrno>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>

using namespace oozaf;

namespace {

class FileTest : public CZAFFileFixture {
protected:
    std::unique_ptr<CZAFTextFile> openText(const std::string& path, int mode) {
        CZAFFile* file = CZAFFileManager::open(path, mode, eFileTypeText);
        auto* text = dynamic_cast<CZAFTextFile*>(file);
        EXPECT_NE(nullptr, text);
        return std::unique_ptr<CZAFTextFile>(text);
    }
};

TEST_F(FileTest, ReadLineHandlesEndsEmptyLinesAndCarriageReturns) {
    const std::string path = put("lines.txt", "first\r\n\nthird\r\nlast");
    auto file = openText(path, eFileOpenRead);
    std::string line = "stale";
    EXPECT_TRUE(file->readLine(line));
    EXPECT_EQ("first\r", line);
    EXPECT_TRUE(file->readLine(line));
    EXPECT_EQ("", line);
    EXPECT_TRUE(file->readLine(line));
    EXPECT_EQ("third\r", line);
    EXPECT_TRUE(file->readLine(line)); // no line feed at the end
    EXPECT_EQ("last", line);
    EXPECT_FALSE(file->readLine(line));
    EXPECT_EQ("", line);

    auto limited = openText(put("long.txt", "12345\n123456\n"), eFileOpenRead);
    EXPECT_TRUE(limited->readLine(line, 5));
    auto e = expectThrow<CZAFFileReadException>([&] { limited->readLine(line, 5); });
    ASSERT_TRUE(e);
    const auto* os = dynamic_cast<const CZAFOSException*>(e->getRoot());
    ASSERT_NE(nullptr, os);
    EXPECT_EQ(EFBIG, os->getErrno());
}

TEST_F(FileTest, BytesReadAndWrittenExactly) {
    const std::string path = m_dir.file("bytes.bin");
    {
        std::unique_ptr<CZAFFile> out(CZAFFileManager::open(
            path, eFileOpenWrite | eFileOpenCreate | eFileOpenTruncate, eFileTypeBinary));
        out->write(std::string("a\0b\n", 4));
        out->write("");
        out->sync();
    }
    EXPECT_EQ(std::string("a\0b\n", 4), get(path));

    std::unique_ptr<CZAFFile> in(CZAFFileManager::open(path, eFileOpenRead, eFileTypeBinary));
    EXPECT_EQ(4u, in->getSize());
    std::string out = "stale";
    EXPECT_EQ(4u, in->read(out, 10));
    EXPECT_EQ(std::string("a\0b\n", 4), out);
    EXPECT_EQ(0u, in->read(out, 10));
    EXPECT_EQ("", out);
    in->readWholeFile(out); // rewinds first
    EXPECT_EQ(4u, out.size());
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { in->read(out, 0); }));

    std::unique_ptr<CZAFFile> empty(
        CZAFFileManager::open(put("empty", ""), eFileOpenRead, eFileTypeBinary));
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { empty->readWholeFile(out); }));
}

TEST_F(FileTest, TextLinesAreWrittenWithLineFeeds) {
    const std::string path = m_dir.file("text.txt");
    {
        auto file = openText(path, eFileOpenWrite | eFileOpenCreate | eFileOpenTruncate);
        file->writeLine("one");
        file->writeLine("");
        file->writeLine("three");
    }
    EXPECT_EQ("one\n\nthree\n", get(path));
}

TEST_F(FileTest, FailuresNameTheFileAndStayReported) {
    const std::string path = put("read-only.txt", "content");
    std::unique_ptr<CZAFFile> file(CZAFFileManager::open(path, eFileOpenRead, eFileTypeBinary));
    auto e = expectThrow<CZAFFileWriteException>([&] { file->write("x"); });
    ASSERT_TRUE(e);
    EXPECT_EQ(path, e->getPath());
    EXPECT_EQ(0u, e->getDetailedMessage().find("Error writing to file " + path));
    // The stream's error flag stays, so even an empty write reports again.
    EXPECT_TRUE(expectThrow<CZAFFileWriteException>([&] { file->write(""); }));

    std::unique_ptr<CZAFFile> dir(
        CZAFFileManager::open(m_dir.path(), eFileOpenRead, eFileTypeText));
    std::string line;
    auto read = expectThrow<CZAFFileReadException>(
        [&] { static_cast<CZAFTextFile*>(dir.get())->readLine(line); });
    ASSERT_TRUE(read);
    EXPECT_EQ(m_dir.path(), read->getPath());
}

} // namespace
