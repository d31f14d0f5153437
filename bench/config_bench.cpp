// config_bench: reading and updating a generated configuration file of 10,000 lines.
#include <oozaf/throwable.h>
#include <oozaf/vornserverconf.h>

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

using namespace oozaf;

namespace {

const int kLines = 10000;

// A user's file as a long-lived installation may grow it: comments and blank lines, every kind
// of setting once, and many aliases and questions (the settings that may repeat).
std::string generateConfig() {
    static const char* const settings[] = {
        "Armor=on",          "Cipher=aes256",        "Hash=sha256",           "Key-Size=2048",
        "Pager=\"more -s\"", "Comment=\"Vorn # 1\"", "Compress=yes",          "Wipe-Passes=3",
        "Cert-Depth=4",      "Completes-Needed=1",   "Marginals-Needed=2",    "ZAF-Mime=off",
        "Sort=keyid",        "Info=verbose",         "Default-Key=0x0123ABCD"};
    std::string text;
    int lines = 0;
    for (const char* setting : settings) {
        text += setting;
        text += "\n";
        ++lines;
    }
    for (int i = 0; lines < kLines; ++i) {
        switch (i % 4) {
        case 0:
            text += "# note " + std::to_string(i) + " about the settings below\n";
            break;
        case 1:
            text += "ALIAS -a" + std::to_string(i) + " \"--key-list --with-sigs\"\n";
            break;
        case 2:
            text += "Question=\"Question number " + std::to_string(i) + "?\"\n";
            break;
        default:
            text += "\n";
        }
        ++lines;
    }
    return text;
}

class CBenchFolder {
public:
    CBenchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cfgbench-XXXXXX").string();
        if (mkdtemp(&pattern[0]) == nullptr)
            std::abort();
        m_path = pattern;
    }
    ~CBenchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    CBenchFolder(const CBenchFolder&) = delete;
    CBenchFolder& operator=(const CBenchFolder&) = delete;
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string writeConfig(const CBenchFolder& folder) {
    const std::string path = folder.file("zaf.cfg");
    std::ofstream(path, std::ios::binary) << generateConfig();
    return path;
}

void reportFailure(benchmark::State& state, CZAFThrowable* e) {
    CZAFThrowableGuard guard(e);
    state.SkipWithError(e->getDetailedMessage().c_str());
}

void BM_ConfigRead10kLines(benchmark::State& state) {
    CBenchFolder folder;
    const std::string path = writeConfig(folder);
    try {
        for (auto _ : state) {
            CVornServerCfgUserPart part(nullptr);
            CVornServerCfgFile().read(path, part, false);
            benchmark::DoNotOptimize(part.getConfigurationMap().size());
        }
    } catch (CZAFThrowable* e) {
        reportFailure(state, e);
    }
    state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_ConfigRead10kLines)->Unit(benchmark::kMillisecond);

// Each update changes one setting back and forth, so every run comments out a line, appends one
// and replaces the file.
void BM_ConfigUpdate10kLines(benchmark::State& state) {
    CBenchFolder folder;
    const std::string path = writeConfig(folder);
    try {
        CVornServerCfgUserPart part(nullptr);
        CVornServerCfgFile(false).read(path, part, false);
        bool armor = true;
        for (auto _ : state) {
            armor = !armor;
            part.clearValue(eZAFOpArmor);
            part.putValue(eZAFOpArmor, armor);
            CVornServerCfgFile().update(path, part);
        }
    } catch (CZAFThrowable* e) {
        reportFailure(state, e);
    }
    state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_ConfigUpdate10kLines)->Unit(benchmark::kMillisecond);

} // namespace
