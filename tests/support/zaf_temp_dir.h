// zaf_temp_dir: a private temporary folder (mkdtemp) removed with everything in it at scope end.
#ifndef ORX_TESTS_ZAF_TEMP_DIR_H
#define ORX_TESTS_ZAF_TEMP_DIR_H

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

class ZafTempDir {
public:
    ZafTempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orx-toolkit-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~ZafTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ZafTempDir(const ZafTempDir&) = delete;
    ZafTempDir& operator=(const ZafTempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

#endif
