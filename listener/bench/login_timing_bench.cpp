// login_timing_bench: how long a refused login takes for an unknown user name against an
// existing account with a wrong password, for accounts hashed with SHA-512 ("$6$") and with
// yescrypt ("$y$"). The unknown name is checked against the dummy hash the daemon chooses at
// start-up from the shadow file's most common method, so for each method the bench first makes
// that method the most common one (with throw-away accounts) and chooses again.
//
// Needs root (accounts, the shadow file). Each benchmark is one refused password check through
// the session's own code path (look-ups, hash, refusal); compare the medians.
//
//   login_timing_bench [Google Benchmark options, e.g. --benchmark_repetitions=15]
#include "test_account.h"

#include <xercesc/util/PlatformUtils.hpp>

#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#include <vorngui/gui.h>
#include <vorngui/guiauth.h>
#include <vorngui/guiexceptions.h>

using namespace vorngui;

namespace {

struct SMethod {
    const char* label;
    const char* chpasswd;
    std::vector<std::unique_ptr<TestAccount>> accounts;
};

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
    xercesc::XMLPlatformUtils::Initialize();
    benchmark::Initialize(&argc, argv);
    SMethod methods[] = {{"sha512", "SHA512", {}}, {"yescrypt", "YESCRYPT", {}}};
    for (SMethod& method : methods) {
        // Enough accounts of this method to outnumber every other hash in the shadow file.
        for (int i = 0; i < 12; ++i) {
            method.accounts.push_back(TestAccount::create("orxtb"));
            const TestAccount& account = *method.accounts.back();
            TestAccount::run({"/usr/sbin/chpasswd", "-c", method.chpasswd},
                             account.name() + ":" + account.password() + "\n");
        }
        const std::string chosen = gChooseDummyHash();
        std::fprintf(stderr, "%s: dummy hash method %s\n", method.label, chosen.c_str());
        const std::string existing = method.accounts.front()->name();
        benchmark::RegisterBenchmark(
            (std::string("RefusedLogin/") + method.label + "/existing").c_str(),
            [existing](benchmark::State& state) { refuse(state, existing); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(
            (std::string("RefusedLogin/") + method.label + "/unknown").c_str(),
            [](benchmark::State& state) { refuse(state, "orx-no-such-user"); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RunSpecifiedBenchmarks();
        benchmark::ClearRegisteredBenchmarks();
        method.accounts.clear();
    }
    benchmark::Shutdown();
    xercesc::XMLPlatformUtils::Terminate();
    return 0;
}
