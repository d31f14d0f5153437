// Fuzz target: configuration text through the reader into a part (from memory and from a file,
// following includes), then through write and update in a private folder. Whatever is written
// must read back as the same settings. Run-time failures (CZAFException) are expected; a
// defect (CZAFError) or a crash ends the run.
#include <oozaf/throwable.h>
#include <oozaf/vornserverconf.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace oozaf;

namespace {

// A private folder, made the working directory so that relative includes ("Include zaf.cfg")
// stay inside it. On tmpfs when there is one, as update syncs its files.
const std::string& folder() {
    static const std::string* const path = [] {
        std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/fuzz-cfgfile-XXXXXX"
                                                            : "/tmp/fuzz-cfgfile-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr || chdir(pattern.c_str()) != 0)
            std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(folder(), ignored);
        });
        return new std::string(pattern); // kept until after the exit handler
    }();
    return *path;
}

void store(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Runs `f`; a CZAFException is an accepted outcome and gives false.
template <class F> bool attempt(F&& f) {
    try {
        f();
        return true;
    } catch (CZAFException* e) {
        delete e;
        return false;
    }
}

// The settings of `path` as it stands (includes not followed).
bool readOwn(const std::string& path, CVornServerCfgPart& part) {
    return attempt([&] { CVornServerCfgFile(false).read(path, part, false); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string main = folder() + "/zaf.cfg";
    const std::string out = folder() + "/out.cfg";

    CVornServerCfgUserPart fromText(nullptr);
    attempt([&] { CVornServerCfgFile().readText(text, fromText, false); });
    CVornServerCfgPolicyPart policy(nullptr);
    attempt([&] { CVornServerCfgFile().readText(text, policy, false); });
    CVornServerCfgEnvPart env(nullptr);
    attempt([&] { CVornServerCfgFile().readText(text, env, false); });

    store(main, text);
    CVornServerCfgUserPart fromFile(nullptr);
    attempt([&] { CVornServerCfgFile().read(main, fromFile, false); });

    // Whatever the reader stored (up to a failing line) and write accepts must read back equal.
    if (attempt([&] { CVornServerCfgFile().write(out, false, fromFile); })) {
        CVornServerCfgUserPart back(nullptr);
        if (!readOwn(out, back) || !back.isEqualTo(fromFile))
            std::abort();
    }

    // Update the file to hold its own settings with one change; a successful update must leave
    // a file that reads as exactly those settings.
    CVornServerCfgUserPart wanted(nullptr);
    readOwn(main, wanted);
    if (!wanted.getConfigurationMap().empty())
        wanted.clearValue(wanted.getConfigurationMap().begin()->first);
    wanted.clearValue(eZAFOpWipe);
    wanted.putValue(eZAFOpWipe, size % 2 == 0);
    wanted.addAlias("-fuzz", text.substr(0, 8));
    if (attempt([&] { CVornServerCfgFile(size % 3 != 0).update(main, wanted); })) {
        CVornServerCfgUserPart back(nullptr);
        CVornServerCfgUserPart expected(nullptr);
        expected.merge(wanted);
        const CStringValue empty("");
        for (const CValue* probe = &empty; expected.replaceValue(eZAFOpQuestion, probe, "\"\"");
             probe = &empty) {
        }
        if (!readOwn(main, back) || !back.isEqualTo(expected))
            std::abort();
    }
    return 0;
}
