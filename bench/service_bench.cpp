// service_bench: a new process's open of the bench rings plus its first trust calculation (and
// its first keys summary), in local mode and in service mode with the rings held by orxcache.
// "A new process" is the process-wide check cache emptied before each run.
#include "bench_support.h"
#include "keystore/keystore_internal.h"

#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string ringPath(const std::string& name) {
    return std::string(ORX_SHARED_DIR) + "/bench/" + name;
}

pid_t spawn(const std::vector<std::string>& args, const std::string& errorFile) {
    pid_t pid = fork();
    if (pid == 0) {
        FILE* err = std::freopen(errorFile.c_str(), "w", stderr);
        (void)err;
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// orxsdkd in the foreground on a socket of its own, and orxcache holding one pair of rings.
class CachedRings {
public:
    explicit CachedRings(const std::string& size) {
        char tmpl[] = "/tmp/service_benchXXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return;
        m_dir = tmpl;
        m_socket = m_dir + "/orxsdkd.sock";
        setenv("ORXSDKD_SOCKET", m_socket.c_str(), 1);
        m_daemon = spawn({ORXSDKD_PATH, "--foreground"}, m_dir + "/orxsdkd.log");
        if (!waitFor("orxsdkd.log", "listening on", 10))
            return;
        m_cache = spawn({ORXCACHE_PATH, "--verbose", ringPath("pubring-" + size + ".pkr"),
                         ringPath("secring-" + size + ".skr")},
                        m_dir + "/orxcache.log");
        m_ready = waitFor("orxsdkd.log", "verified", 900, m_cache);
    }
    ~CachedRings() {
        for (pid_t pid : {m_cache, m_daemon}) {
            if (pid > 0) {
                kill(pid, SIGTERM);
                waitpid(pid, nullptr, 0);
            }
        }
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir);
        unsetenv("ORXSDKD_SOCKET");
    }
    bool ready() const { return m_ready; }

private:
    // Polls the file for the text; gives up when `child` ended meanwhile.
    bool waitFor(const std::string& file, const std::string& text, int seconds, pid_t child = -1) {
        for (int i = 0; i < seconds * 20; ++i) {
            if (slurp(m_dir + "/" + file).find(text) != std::string::npos)
                return true;
            if (child > 0 && waitpid(child, nullptr, WNOHANG) == child) {
                m_cache = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::string m_dir, m_socket;
    pid_t m_daemon = -1, m_cache = -1;
    bool m_ready = false;
};

void BM_NewProcessOpenTrust(benchmark::State& state, const char* size, bool service, bool summary) {
    std::unique_ptr<CachedRings> rings;
    if (service) {
        rings = std::make_unique<CachedRings>(size);
        if (!rings->ready()) {
            state.SkipWithError("orxsdkd or orxcache did not start");
            return;
        }
    }
    if (ZAFsdkInit(service ? 0 : kZAFFlags_LocalMode) != kZAFError_NoErr) {
        state.SkipWithError("toolkit did not start");
        return;
    }
    ZAFContextRef ctx = nullptr;
    ZAFNewContext(&ctx);
    for (auto _ : state) {
        state.PauseTiming();
        zaf::clearCachedChecks();
        state.ResumeTiming();
        ZAFFileSpecRef pub = nullptr, sec = nullptr;
        ZAFNewFileSpecFromFullPath(ctx, ringPath("pubring-" + std::string(size) + ".pkr").c_str(),
                                   &pub);
        ZAFNewFileSpecFromFullPath(ctx, ringPath("secring-" + std::string(size) + ".skr").c_str(),
                                   &sec);
        ZAFKeyDBRef db = nullptr;
        ZAFOpenKeyDBFile(ctx, kZAFOpenKeyDBFileOptions_None, pub, sec, &db);
        ZAFFreeFileSpec(pub);
        ZAFFreeFileSpec(sec);
        if (db == nullptr) {
            state.SkipWithError("cannot open rings");
            break;
        }
        ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db);
        if (summary)
            listKeysSummary(db);
        ZAFFreeKeyDB(db);
    }
    uint32_t flags = 0;
    ZAFsdkGetInitFlags(&flags);
    state.counters["service"] = (flags & kZAFFlags_LocalMode) == 0 ? 1 : 0;
    ZAFFreeContext(ctx);
    ZAFsdkCleanup();
}

} // namespace

BENCHMARK_CAPTURE(BM_NewProcessOpenTrust, 1k_local, "1k", false, false)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NewProcessOpenTrust, 1k_service, "1k", true, false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NewProcessOpenTrust, 7k_local, "7k", false, false)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NewProcessOpenTrust, 7k_service, "7k", true, false)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NewProcessOpenTrust, 7k_service_summary, "7k", true, true)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
