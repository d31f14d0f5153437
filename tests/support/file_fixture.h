// file_fixture: a test base with a private temporary folder, file helpers and a leak check.
#ifndef ORX_TESTS_FILE_FIXTURE_H
#define ORX_TESTS_FILE_FIXTURE_H

#include "zaf_temp_dir.h"

#include <oozaf/mem.h>

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

// Checks after each test that no library object is left allocated.
class CZAFFileFixture : public ::testing::Test {
protected:
    void SetUp() override { m_blocks = oozaf::gObjMemoryManager().getBlockCount(); }
    void TearDown() override { EXPECT_EQ(m_blocks, oozaf::gObjMemoryManager().getBlockCount()); }

    // Writes `content` to `name` in the temporary folder and returns its path.
    std::string put(const std::string& name, const std::string& content) {
        const std::string path = m_dir.file(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    static std::string get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

    ZafTempDir m_dir;

private:
    std::size_t m_blocks = 0;
};

#endif
