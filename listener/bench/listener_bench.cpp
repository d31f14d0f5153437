// listener_bench: requests per second and latency (median, 99th percentile) of a real orxgui on
// loopback, secure and plain: keys-summary on the 1k and 7k bench corpora, get-cmdline-options;
// then, over the secure channel on the 7k corpus, the key requests: key-gen of an RSA 2048 pair
// (alone, and with the entropy exchange before it as orxadmin does it), key-export of one key
// (armoured and binary) and key-add of one key (new to the rings, and already held).
//
// Last, many consoles at once (50 by default), each its own user with a copy of the 1k corpus
// and its own loopback address: each logs in (timed from connecting to the login reply), then
// imports a key its rings lack and removes it again (each a timed mutation), for a few rounds.
//
// Needs root (it makes a throw-away account whose home holds a copy of the corpus, like the
// integration tests). One session sends requests one after the other; the time of a request is
// from sending its frame to having read the whole reply, which is checked but not parsed while
// the clock runs.
//
//   listener_bench [requests per measurement, default 50] [key-gen pairs, default 20]
//                  [concurrent consoles, default 50] [rounds, default 3]
// Given a number of consoles, only the concurrent measurement runs (none when it is 0).
#include "listener_harness.h"
#include "test_account.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <sys/random.h>
#include <thread>
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

void print(const char* corpus, const char* channel, const char* request, const SFigures& f) {
    std::printf("%-9s %-8s %-22s %10.2f %12.2f %12.2f %12zu\n", corpus, channel, request,
                f.perSecond, f.median, f.p99, f.replyBytes);
    std::fflush(stdout);
}

// The figures of a series of timed requests (milliseconds each).
SFigures figures(const std::vector<double>& times, size_t replyBytes) {
    double total = 0;
    for (double t : times)
        total += t;
    return {times.size() * 1000.0 / total, percentile(times, 0.5), percentile(times, 0.99),
            replyBytes};
}

// Sends one request and reads its reply, adding the time taken to `*milliseconds` when given;
// the reply is parsed after the clock stops. Any failure ends the program.
vornadmin::SReply exchange(vornadmin::CAdminConnection& connection,
                           const vornadmin::SXmlElement& command, double* milliseconds = nullptr,
                           size_t* replyBytes = nullptr) {
    const std::string request = vornadmin::gWriteXml(command);
    std::string reply;
    const auto t0 = std::chrono::steady_clock::now();
    connection.sendFrame(request);
    const bool read = connection.readFrame(reply);
    const double spent =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (milliseconds != nullptr)
        *milliseconds += spent;
    if (replyBytes != nullptr)
        *replyBytes = reply.size();
    vornadmin::SReply parsed;
    if (read)
        parsed = vornadmin::gParseReply(reply);
    if (!read || !parsed.ok()) {
        std::fprintf(stderr, "request '%s' failed: %s\n", command.get("type").c_str(),
                     reply.substr(0, 300).c_str());
        std::exit(1);
    }
    return parsed;
}

// Random bytes from the operating system, as orxadmin supplies them.
std::string osRandom(size_t count) {
    std::string bytes(count, '\0');
    size_t done = 0;
    while (done < count) {
        const ssize_t got = ::getrandom(&bytes[done], count - done, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            throw std::runtime_error("no random bytes from the operating system");
        done += static_cast<size_t>(got);
    }
    return bytes;
}

// The key requests on the 7k corpus over the secure channel; `pairs` key pairs are generated.
void measureKeyRequests(vornadmin::CAdminConnection& connection, unsigned int count,
                        unsigned int pairs) {
    const char* corpus = "7k";
    const char* channel = "secure";
    using namespace vornadmin;

    // Key generation as orxadmin does it: ask what entropy the pair needs, supply that many
    // bytes of the system's random source when it is not zero, then generate.
    std::vector<double> withEntropy, alone;
    size_t genBytes = 0;
    uint32_t neededMax = 0;
    for (unsigned int i = 0; i < pairs; ++i) {
        double whole = 0;
        const SReply needed = exchange(connection, gEntropyPairRequest("RSA", 2048), &whole);
        const uint32_t bytes = gEntropyReport(needed, "needed");
        neededMax = std::max(neededMax, bytes);
        if (bytes > 0) {
            std::string entropy = osRandom(bytes);
            exchange(connection, gEntropySupplyRequest(entropy, bytes), &whole);
        }
        SKeyGenParams params;
        params.name = "Bench Pair " + std::to_string(i) + " <bench@example.org>";
        params.passphrase = "bench pass phrase";
        params.size = 2048;
        double generation = 0;
        exchange(connection, gKeyGenRequest(params), &generation, &genBytes);
        alone.push_back(generation);
        withEntropy.push_back(whole + generation);
    }
    print(corpus, channel, "key-gen RSA 2048", figures(alone, genBytes));
    print(corpus, channel, "entropy + key-gen", figures(withEntropy, genBytes));
    std::printf("# entropy asked for before a pair: at most %u bytes\n", neededMax);

    // A corpus key to export, and the first generated pair to import again.
    const SReply summary = exchange(connection, gKeysSummaryRequest());
    std::string corpusKey, benchKey;
    for (const SXmlElement& key : summary.body()->children) {
        const std::string name = key.children.empty() || key.children[0].children.empty()
                                     ? std::string()
                                     : key.children[0].children[0].get("name");
        if (name.rfind("Bench Pair 0 ", 0) == 0)
            benchKey = key.get("id");
        else if (corpusKey.empty() && name.rfind("Bench Pair ", 0) != 0)
            corpusKey = key.get("id");
    }
    if (corpusKey.empty() || benchKey.empty()) {
        std::fprintf(stderr, "no corpus key or generated key in the summary\n");
        std::exit(1);
    }

    for (bool armor : {true, false}) {
        SExportParams params;
        params.id = corpusKey;
        params.armor = armor;
        std::vector<double> times;
        size_t replyBytes = 0;
        exchange(connection, gKeyExportRequest(params));
        for (unsigned int i = 0; i < count; ++i) {
            double t = 0;
            exchange(connection, gKeyExportRequest(params), &t, &replyBytes);
            times.push_back(t);
        }
        print(corpus, channel, armor ? "key-export armored" : "key-export binary",
              figures(times, replyBytes));
    }

    // key-add of a key the rings do not hold: the generated pair's public key, removed again
    // (untimed) after each import.
    SExportParams params;
    params.id = benchKey;
    params.armor = false;
    const std::string bytes = gExportedKey(exchange(connection, gKeyExportRequest(params)));
    exchange(connection, gKeyRemoveRequest(benchKey));
    for (bool held : {false, true}) {
        std::vector<double> times;
        size_t replyBytes = 0;
        if (held)
            exchange(connection, gKeyImportRequest(bytes));
        for (unsigned int i = 0; i < count; ++i) {
            double t = 0;
            const SReply added = exchange(connection, gKeyImportRequest(bytes), &t, &replyBytes);
            times.push_back(t);
            if (gImportStatus(added) != (held ? 2 : 0)) {
                std::fprintf(stderr, "unexpected import status: %s\n", added.xml.c_str());
                std::exit(1);
            }
            if (!held)
                exchange(connection, gKeyRemoveRequest(benchKey));
        }
        print(corpus, channel, held ? "key-add held key" : "key-add new key",
              figures(times, replyBytes));
    }
}

void installCorpus(const TestAccount& user, const std::string& size) {
    const std::string dir = user.file(".zaf");
    std::filesystem::create_directories(dir);
    const std::string bench = std::string(ORX_SHARED_DIR) + "/bench/";
    std::filesystem::copy_file(bench + "pubring-" + size + ".pkr", dir + "/pubring.pkr",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(bench + "secring-" + size + ".skr", dir + "/secring.skr",
                               std::filesystem::copy_options::overwrite_existing);
    // The corpus files are read-only; the owner must be able to rewrite its copies.
    for (const char* name : {"/pubring.pkr", "/secring.skr"})
        std::filesystem::permissions(dir + name, std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_write);
    for (const char* name : {"", "/pubring.pkr", "/secring.skr"})
        if (::chown((dir + name).c_str(), user.uid(), user.gid()) != 0)
            throw std::runtime_error("chown failed");
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// `consoles` users log in at once, each from its own loopback address; per round each console
// connects, logs in, then imports a key of the corpus its rings lack and removes it again
// `mutations` times, and closes.
void measureConcurrentConsoles(unsigned int consoles, unsigned int rounds, unsigned int mutations) {
    using namespace vornadmin;
    std::vector<std::unique_ptr<TestAccount>> users;
    for (unsigned int i = 0; i < consoles; ++i) {
        users.push_back(TestAccount::create("orxcc"));
        installCorpus(*users.back(), "1k");
    }
    SListenerOptions settings;
    settings.info = "verbose";
    CListenerProcess daemon(settings);
    if (!daemon.start())
        std::exit(1);

    // The key every console adds and removes: one of the corpus, exported once.
    std::string keyID, keyBytes;
    {
        auto connection = daemon.connect();
        if (connection->login(users[0]->name(), users[0]->password()).rc != 0)
            std::exit(1);
        const SReply summary = exchange(*connection, gKeysSummaryRequest());
        keyID = summary.body()->children.at(0).get("id");
        SExportParams params;
        params.id = keyID;
        params.armor = false;
        keyBytes = gExportedKey(exchange(*connection, gKeyExportRequest(params)));
    }

    std::mutex lock;
    std::vector<double> logins, mutationTimes;
    std::atomic<int> failures{0};
    std::atomic<unsigned int> ready{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (unsigned int c = 0; c < consoles; ++c) {
        workers.emplace_back([&, c] {
            std::vector<double> myLogins, myMutations;
            const std::string source = "127.0.1." + std::to_string(1 + c);
            const std::string add = gWriteXml(gKeyImportRequest(keyBytes));
            const std::string remove = gWriteXml(gKeyRemoveRequest(keyID));
            // All consoles start together.
            ++ready;
            while (ready.load() < consoles)
                std::this_thread::yield();
            try {
                for (unsigned int r = 0; r < rounds; ++r) {
                    const auto t0 = std::chrono::steady_clock::now();
                    auto connection = daemon.connect(600000, source);
                    if (connection->login(users[c]->name(), users[c]->password()).rc != 0) {
                        ++failures;
                        return;
                    }
                    myLogins.push_back(millisecondsSince(t0));
                    std::string reply;
                    if (r == 0) {
                        connection->sendFrame(remove);
                        connection->readFrame(reply);
                    }
                    for (unsigned int m = 0; m < mutations; ++m) {
                        for (const std::string* frame : {&add, &remove}) {
                            const auto t1 = std::chrono::steady_clock::now();
                            connection->sendFrame(*frame);
                            const bool got = connection->readFrame(reply);
                            myMutations.push_back(millisecondsSince(t1));
                            if (!got || reply.find("rc=\"0\"") == std::string::npos) {
                                std::fprintf(stderr, "mutation failed: %s\n",
                                             reply.substr(0, 300).c_str());
                                ++failures;
                            }
                        }
                    }
                }
            } catch (oozaf::CZAFThrowable* e) {
                std::fprintf(stderr, "console %u: %s\n", c, e->getDetailedMessage().c_str());
                delete e;
                ++failures;
            }
            std::lock_guard<std::mutex> hold(lock);
            logins.insert(logins.end(), myLogins.begin(), myLogins.end());
            mutationTimes.insert(mutationTimes.end(), myMutations.begin(), myMutations.end());
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (failures.load() != 0 || logins.empty() || mutationTimes.empty()) {
        std::fprintf(stderr, "%d consoles failed\n", failures.load());
        std::exit(1);
    }
    std::printf("# %u consoles at once, %u rounds of a login and %u key-add + key-remove pairs "
                "each (1k rings, one user per console), %.1f s in all\n",
                consoles, rounds, mutations, seconds);
    std::printf("%-9s %-8s %-22s %10s %12.2f %12.2f %12.2f (max)\n", "1k x50", "secure", "login",
                "", percentile(logins, 0.5), percentile(logins, 0.99),
                *std::max_element(logins.begin(), logins.end()));
    std::printf("%-9s %-8s %-22s %10.1f %12.2f %12.2f %12.2f (max)\n", "1k x50", "secure",
                "key-add / key-remove", mutationTimes.size() / seconds,
                percentile(mutationTimes, 0.5), percentile(mutationTimes, 0.99),
                *std::max_element(mutationTimes.begin(), mutationTimes.end()));
    std::fflush(stdout);
    daemon.stop();
}

} // namespace

int main(int argc, char** argv) {
    const unsigned int count = argc > 1 ? static_cast<unsigned int>(std::atoi(argv[1])) : 50;
    const unsigned int pairs = argc > 2 ? static_cast<unsigned int>(std::atoi(argv[2])) : 20;
    const int consoles = argc > 3 ? std::atoi(argv[3]) : 50;
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
    if (count < 1 || count > 100000 || pairs < 1 || pairs > 10000 || consoles < 0 ||
        consoles > 250 || rounds < 1 || rounds > 1000) {
        std::fprintf(stderr, "usage: listener_bench [requests 1..100000] [key pairs 1..10000] "
                             "[consoles 0..250] [rounds 1..1000]\n");
        return 2;
    }
    std::unique_ptr<TestAccount> user = TestAccount::create("orxbn");
    if (!user) {
        std::printf("listener_bench: %s\n", TestAccount::skipReason().c_str());
        return 0;
    }
    const std::string summary = vornadmin::gWriteXml(vornadmin::gKeysSummaryRequest());
    const std::string options = vornadmin::gWriteXml(vornadmin::gCmdlineOptionsRequest());
    std::printf("%-9s %-8s %-22s %10s %12s %12s %12s\n", "corpus", "channel", "request", "req/s",
                "median ms", "p99 ms", "reply bytes");
    if (consoles > 0)
        measureConcurrentConsoles(static_cast<unsigned int>(consoles),
                                  static_cast<unsigned int>(rounds), 3);
    if (argc > 3 && consoles > 0)
        return 0;
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

    // The key requests change the rings: a fresh copy of the 7k corpus.
    installCorpus(*user, "7k");
    SListenerOptions settings;
    settings.info = "verbose";
    CListenerProcess daemon(settings);
    if (!daemon.start())
        return 1;
    auto connection = daemon.connect();
    if (connection->login(user->name(), user->password()).rc != 0)
        return 1;
    try {
        measureKeyRequests(*connection, count, pairs);
    } catch (oozaf::CZAFThrowable* e) {
        std::fprintf(stderr, "listener_bench: %s\n", e->getDetailedMessage().c_str());
        delete e;
        return 1;
    }
    connection.reset();
    daemon.stop();
    return 0;
}
