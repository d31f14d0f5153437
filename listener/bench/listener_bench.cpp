// listener_bench: requests per second and latency (median, 99th percentile) of a real orxgui on
// loopback, secure and plain: keys-summary on the 1k and 7k bench corpora, get-cmdline-options.
//
// Needs root (it makes a throw-away account whose home holds a copy of the corpus, like the
// integration tests). One session sends requests one after the other; the time of a request is
// from sending its frame to having read the whole reply, which is checked but not parsed.
//
//   listener_bench [requests per measurement, default 50]
#include "listener_harness.h"
#include "test_account.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using namespace orxtest;

namespace {

struct SFigures {
    double perSecond = 0;
    double median = 0;
    double p99 = 0;
    size_t replyBytes = 0;
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

SFigures measure(vornadmin::CAdminConnection& connection, const std::string& request,
                 unsigned int count) {
    std::string reply;
    // Two requests first: the first summary fills the signature cache of the key database.
    for (int i = 0; i < 2; ++i) {
        connection.sendFrame(request);
        connection.readFrame(reply);
    }
    std::vector<double> times;
    const auto start = std::chrono::steady_clock::now();
    for (unsigned int i = 0; i < count; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        connection.sendFrame(request);
        if (!connection.readFrame(reply) || reply.find("rc=\"0\"") == std::string::npos) {
            std::fprintf(stderr, "request failed: %s\n", reply.substr(0, 300).c_str());
            std::exit(1);
        }
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {count / seconds, percentile(times, 0.5), percentile(times, 0.99), reply.size()};
}

void installCorpus(const TestAccount& user, const std::string& size) {
    const std::string dir = user.file(".zaf");
    std::filesystem::create_directories(dir);
    const std::string bench = std::string(ORX_SHARED_DIR) + "/bench/";
    std::filesystem::copy_file(bench + "pubring-" + size + ".pkr", dir + "/pubring.pkr",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(bench + "secring-" + size + ".skr", dir + "/secring.skr",
                               std::filesystem::copy_options::overwrite_existing);
    for (const char* name : {"", "/pubring.pkr", "/secring.skr"})
        if (::chown((dir + name).c_str(), user.uid(), user.gid()) != 0)
            throw std::runtime_error("chown failed");
}

} // namespace

int main(int argc, char** argv) {
    const unsigned int count = argc > 1 ? static_cast<unsigned int>(std::atoi(argv[1])) : 50;
    std::unique_ptr<TestAccount> user = TestAccount::create("orxbn");
    if (!user) {
        std::printf("listener_bench: %s\n", TestAccount::skipReason().c_str());
        return 0;
    }
    const std::string summary = vornadmin::gWriteXml(vornadmin::gKeysSummaryRequest());
    const std::string options = vornadmin::gWriteXml(vornadmin::gCmdlineOptionsRequest());
    std::printf("%-9s %-8s %-22s %10s %12s %12s %12s\n", "corpus", "channel", "request", "req/s",
                "median ms", "p99 ms", "reply bytes");
    for (const char* corpus : {"1k", "7k"}) {
        installCorpus(*user, corpus);
        for (bool secure : {true, false}) {
            SListenerOptions settings;
            settings.secure = secure;
            settings.info = "verbose";
            CListenerProcess daemon(settings);
            if (!daemon.start())
                return 1;
            auto connection = daemon.connect();
            if (connection->login(user->name(), user->password()).rc != 0)
                return 1;
            const char* channel = secure ? "secure" : "plain";
            const SFigures keys = measure(*connection, summary, count);
            std::printf("%-9s %-8s %-22s %10.1f %12.2f %12.2f %12zu\n", corpus, channel,
                        "keys-summary", keys.perSecond, keys.median, keys.p99, keys.replyBytes);
            const SFigures switches = measure(*connection, options, count * 20);
            std::printf("%-9s %-8s %-22s %10.1f %12.3f %12.3f %12zu\n", corpus, channel,
                        "get-cmdline-options", switches.perSecond, switches.median, switches.p99,
                        switches.replyBytes);
            std::fflush(stdout);
            connection.reset();
            daemon.stop();
        }
    }
    return 0;
}
