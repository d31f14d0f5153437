// login_timing_bench: how long a refused login takes for an unknown user name against an
// existing account with a wrong password, for accounts hashed with SHA-512 ("$6$") and with
// yescrypt ("$y$"). The unknown name is checked against the dummy hash the daemon chooses at
// start-up from the shadow file's most common method, so for each method the bench first makes
// that method the most common one (with throw-away accounts) and chooses again.
//
// Needs root (accounts, the shadow file). Each benchmark is one refused password check through
// the session's own code path (look-ups, hash, refusal); compare the medians.
//
//   login_timing_bench [sha512|yescrypt] [Google Benchmark options, e.g.
//                      --benchmark_repetitions=15]
// Without a method it runs itself once per method (one process each: the benchmark library
// runs its benchmarks once per process).
#include "test_account.h"

#include <vorngui/gui.h>
#include <vorngui/guiauth.h>
#include <vorngui/guiexceptions.h>

#include <xercesc/util/PlatformUtils.hpp>

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <memory>
#include <shadow.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace vorngui;

namespace {

struct SMethod {
    const char* label;
    const char* chpasswd;
    const char* prefix;
    std::vector<std::unique_ptr<TestAccount>> accounts;
};

// How many accounts of the shadow file use the most common method other than `method`.
size_t strongestRival(const std::string& prefix) {
    std::map<std::string, size_t> counts;
    setspent();
    while (spwd* entry = getspent()) {
        const std::string method = gHashMethod(entry->sp_pwdp != nullptr ? entry->sp_pwdp : "");
        if (!method.empty() && method.compare(0, prefix.size(), prefix) != 0)
            ++counts[method];
    }
    endspent();
    size_t most = 0;
    for (const auto& count : counts)
        most = std::max(most, count.second);
    return most;
}

void refuse(benchmark::State& state, const std::string& name) {
    CGUIClient client(nullptr);
    for (auto _ : state) {
        try {
            client.setSecurityCredentials(name, "not the password", "");
            state.SkipWithError("a wrong password was accepted");
            return;
        } catch (CGUIAuthenticationException* e) {
            delete e;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (geteuid() != 0) {
        std::fprintf(stderr, "login_timing_bench needs root\n");
        return 1;
    }
    SMethod methods[] = {{"sha512", "SHA512", "$6$", {}}, {"yescrypt", "YESCRYPT", "$y$", {}}};
    SMethod* method = nullptr;
    for (SMethod& candidate : methods)
        if (argc > 1 && std::string(argv[1]) == candidate.label)
            method = &candidate;
    if (method == nullptr) {
        int status = 0;
        for (SMethod& each : methods) {
            std::vector<char*> args{argv[0], const_cast<char*>(each.label)};
            for (int i = 1; i < argc; ++i)
                args.push_back(argv[i]);
            args.push_back(nullptr);
            const pid_t child = fork();
            if (child == 0) {
                execv("/proc/self/exe", args.data());
                _exit(127);
            }
            int result = 0;
            waitpid(child, &result, 0);
            status |= result;
        }
        return status == 0 ? 0 : 1;
    }
    argv[1] = argv[0];
    ++argv;
    --argc;
    xercesc::XMLPlatformUtils::Initialize();
    benchmark::Initialize(&argc, argv);
    // Enough accounts of this method to outnumber every other hash in the shadow file.
    const size_t needed = strongestRival(method->prefix) + 2;
    for (size_t i = 0; i < needed; ++i) {
        method->accounts.push_back(TestAccount::create("orxtb"));
        const TestAccount& account = *method->accounts.back();
        TestAccount::run({"/usr/sbin/chpasswd", "-c", method->chpasswd},
                         account.name() + ":" + account.password() + "\n");
    }
    const std::string chosen = gChooseDummyHash();
    std::printf("%s: %zu accounts made, dummy hash method %s\n", method->label, needed,
                chosen.c_str());
    std::fflush(stdout);
    const std::string existing = method->accounts.front()->name();
    benchmark::RegisterBenchmark(
        (std::string("RefusedLogin/") + method->label + "/existing").c_str(),
        [existing](benchmark::State& state) { refuse(state, existing); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(
        (std::string("RefusedLogin/") + method->label + "/unknown").c_str(),
        [](benchmark::State& state) { refuse(state, "orx-no-such-user"); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    method->accounts.clear();
    xercesc::XMLPlatformUtils::Terminate();
    return 0;
}
