// vornserver_bench: the server facade on the 7k bench rings: construction, the keys summary walk,
// trust calculation, key look-up, import and export of one key, and reading a transaction log of
// 100,000 lines. The rings are copied into the personal directory of a throw-away account (the
// benchmarks need root to make one), so no real home is touched.
#include "../tests/support/test_account.h"

#include <oozaf/keydb.h>
#include <oozaf/keyobjects.h>
#include <oozaf/throwable.h>
#include <oozaf/vornserver.h>
#include <zaf/zaf.h>

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace oozaf;

namespace {

const int kLogLines = 100000;

// The account, its rings and the installation directory, made once and kept until exit.
class CBenchHome {
public:
    static CBenchHome* get() {
        static std::unique_ptr<CBenchHome> home = make();
        return home.get();
    }

    const TestAccount& account() const { return *m_account; }
    std::string personal(const std::string& name) const { return m_account->file(".zaf/" + name); }

private:
    static std::unique_ptr<CBenchHome> make() {
        std::unique_ptr<TestAccount> account = TestAccount::create("orxb");
        if (!account)
            return nullptr;
        ZAFsdkInit(kZAFFlags_LocalMode);
        std::unique_ptr<CBenchHome> home(new CBenchHome(std::move(account)));
        home->prepare();
        return home;
    }

    explicit CBenchHome(std::unique_ptr<TestAccount> account) : m_account(std::move(account)) {}

    void prepare() {
        namespace fs = std::filesystem;
        const std::string bench = std::string(ORX_SHARED_DIR) + "/bench/";
        const fs::path source =
            fs::path(__FILE__).parent_path().parent_path() / "conf" / "zaf-template.cfg";
        m_install = m_account->home() + "/install";
        fs::create_directories(m_install);
        if (fs::exists(source))
            fs::copy_file(source, m_install + "/zaf-template.cfg");
        else
            std::ofstream(m_install + "/zaf-template.cfg") << "# template\n";
        setenv("ORXDIR", m_install.c_str(), 1);
        // No site files: the benchmark measures the facade, not a host's configuration.
        CVornServer::setSiteDirectory(m_account->home() + "/site");

        fs::create_directories(personal(""));
        fs::copy_file(bench + "pubring-7k.pkr", personal("pubring.pkr"));
        fs::copy_file(bench + "secring-7k.skr", personal("secring.skr"));
        // The corpus is read-only; the copies must take the facade's saves.
        fs::permissions(personal("pubring.pkr"), fs::perms::owner_read | fs::perms::owner_write);
        fs::permissions(personal("secring.skr"), fs::perms::owner_read | fs::perms::owner_write);
        std::ofstream cfg(personal("zaf.cfg"));
        cfg << "Log-File=" << personal("tx.log") << "\n";
        cfg.close();
        std::ofstream log(personal("tx.log"));
        for (int i = 0; i < kLogLines; ++i)
            log << "2024-03-01 10:00:00." << i % 1000 << "\t2024-03-01 10:00:01.0\tuser" << i % 50
                << "\tencrypt\t--encrypt file" << i << ".txt -r 0x1234ABCD\t" << i % 3 << "\n";
        log.close();
        TestAccount::run({"/bin/chown", "-R", m_account->name() + ":", m_account->home()});
    }

    std::unique_ptr<TestAccount> m_account;
    std::string m_install;
};

// Runs a benchmark body as the bench account with an open server.
template <class F> void withServer(benchmark::State& state, F&& body) {
    CBenchHome* home = CBenchHome::get();
    if (home == nullptr) {
        state.SkipWithError("needs root to create a throw-away account");
        return;
    }
    ScopedIdentity as(home->account());
    try {
        std::unique_ptr<CVornServer> server(new CVornServer());
        body(*server);
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        state.SkipWithError(e->getDetailedMessage().c_str());
    }
}

void BM_ServerOpen7k(benchmark::State& state) {
    withServer(state, [&](CVornServer&) {
        for (auto _ : state) {
            std::unique_ptr<CVornServer> server(new CVornServer());
            benchmark::DoNotOptimize(server.get());
            state.PauseTiming();
            server.reset();
            state.ResumeTiming();
        }
    });
}

// Reads what the keys summary shows of every key, user ID, signature and subkey.
void BM_KeyListWalk7k(benchmark::State& state) {
    withServer(state, [&](CVornServer& server) {
        std::size_t objects = 0;
        for (auto _ : state) {
            std::unique_ptr<CZAFKeySet> keys(server.keyList());
            std::unique_ptr<CZAFIterator> walk(keys->getIterator());
            std::unique_ptr<CZAFIterator> inner(server.getKeyDB()->getIterator());
            CZAFDatabaseObject* object = nullptr;
            std::vector<std::string> pieces;
            while (walk->next(kZAFKeyDBObjType_Key, object) == 0) {
                std::unique_ptr<CZAFKey> key(static_cast<CZAFKey*>(object));
                std::string text = key->getKeyIDString_Short() + key->getKeyIDString_Long();
                text += std::to_string(key->getAlg() + key->getSize() + key->getTrust() +
                                       key->getValidity());
                text += key->isDisabled() ? "y" : "n";
                text += key->isRevoked() || key->isExpired() || key->isRevocable() ||
                                key->isSecretShared() || key->isSecret() ||
                                key->hasUnverifiedRevocation()
                            ? "y"
                            : "n";
                try {
                    text += std::to_string(key->getCipher());
                } catch (CZAFThrowable* e) {
                    delete e;
                }
                text += key->getCreationTime().formatYMD(false);
                text += key->getExpirationTime().formatYMD(false);
                CZAFKey::formatFingerprint(key->getFingerprint(), eFingerprintViewHex, pieces);
                const std::string primary = key->getPrimaryUserIDName();
                inner->seek(key.get());
                CZAFDatabaseObject* child = nullptr;
                while (inner->next(kZAFKeyDBObjType_UserID, child) == 0) {
                    std::unique_ptr<CZAFUserID> userID(static_cast<CZAFUserID*>(child));
                    text += userID->getName() + std::to_string(userID->getType());
                    CZAFDatabaseObject* sig = nullptr;
                    while (inner->next(kZAFKeyDBObjType_Signature, sig) == 0) {
                        std::unique_ptr<CZAFSignature> signature(static_cast<CZAFSignature*>(sig));
                        text += signature->getSignerID(false);
                        text += signature->getCreationTime().formatYMD(false);
                        text += signature->isVerified() ? "v" : "-";
                        ++objects;
                    }
                    ++objects;
                }
                inner->seek(key.get());
                while (inner->next(kZAFKeyDBObjType_SubKey, child) == 0) {
                    std::unique_ptr<CZAFSubKey> subkey(static_cast<CZAFSubKey*>(child));
                    text += subkey->getSubkeyIDString_Short() +
                            subkey->getCreationTime().formatYMD(false);
                    ++objects;
                }
                for (const std::string& id : key->getRevokers())
                    text += id;
                for (const std::string& id : key->getADKs())
                    text += id;
                benchmark::DoNotOptimize(text);
                ++objects;
            }
        }
        state.counters["objects"] = static_cast<double>(objects) / state.iterations();
    });
}

void BM_CalculateTrust7k(benchmark::State& state) {
    withServer(state, [&](CVornServer& server) {
        for (auto _ : state) {
            std::unique_ptr<CZAFKeySet> keys(server.keyList());
            keys->calculateTrust();
        }
    });
}

void BM_GetKeyByID7k(benchmark::State& state) {
    withServer(state, [&](CVornServer& server) {
        // The last key of the ring: a look-up walks every key before it.
        std::string last;
        {
            std::unique_ptr<CZAFKeySet> keys(server.keyList());
            std::unique_ptr<CZAFIterator> walk(keys->getIterator());
            CZAFDatabaseObject* object = nullptr;
            while (walk->next(kZAFKeyDBObjType_Key, object) == 0) {
                std::unique_ptr<CZAFDatabaseObject> owned(object);
                last = static_cast<CZAFKey*>(object)->getKeyIDString_Short();
            }
        }
        for (auto _ : state) {
            std::unique_ptr<CZAFKey> key(server.getKeyByID(last));
            benchmark::DoNotOptimize(key.get());
        }
    });
}

// One new key (made once, outside the ring) imported into the 7k ring and saved; its removal,
// which saves the ring again, is not timed.
void BM_ImportOneKey7k(benchmark::State& state, bool known) {
    withServer(state, [&](CVornServer& server) {
        std::string armored;
        {
            // A key from a second, empty key store of the same account.
            std::ofstream(CBenchHome::get()->account().file("zaf.env"))
                << "ZAFPATH=" << CBenchHome::get()->account().file("spare") << "\n";
            std::unique_ptr<CVornServer> spare(new CVornServer());
            std::filesystem::remove(CBenchHome::get()->account().file("zaf.env"));
            spare->generateKeyPair("Bench Import", "", eKeyTypeRSA,
                                   oozaf::kZAFCipherAlgorithm_AES128, 1024, "", false, CZAFTime());
            std::unique_ptr<CZAFKeySet> keys(spare->keyList());
            std::unique_ptr<CZAFIterator> walk(keys->getIterator());
            CZAFDatabaseObject* object = nullptr;
            walk->next(kZAFKeyDBObjType_Key, object);
            std::unique_ptr<CZAFKey> key(static_cast<CZAFKey*>(object));
            const std::string path = CBenchHome::get()->account().file("import.asc");
            spare->exportKey(key.get(), path, true, oozaf::kZAFExportFormat_Complete, false, true);
            std::ifstream in(path, std::ios::binary);
            armored.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        const auto* data = reinterpret_cast<const unsigned char*>(armored.data());
        const auto length = static_cast<uint32_t>(armored.size());
        int status = 0;
        if (known)
            server.importKeyFromBuffer(data, length, false, false, status);
        for (auto _ : state) {
            server.importKeyFromBuffer(data, length, false, false, status);
            if (status != (known ? 2 : 0)) {
                state.SkipWithError("unexpected import status");
                break;
            }
            if (known)
                continue;
            state.PauseTiming();
            std::unique_ptr<CZAFKeySet> keys(server.getKeyDB()->getMatchingKeySet(
                "Bench Import", CZAFKeyDB::kMatchLocalOnly, nullptr, nullptr));
            std::unique_ptr<CZAFIterator> walk(keys->getIterator());
            CZAFDatabaseObject* object = nullptr;
            walk->next(kZAFKeyDBObjType_Key, object);
            walk.reset();
            keys.reset();
            CZAFKey* key = static_cast<CZAFKey*>(object);
            server.removeKey(key);
            state.ResumeTiming();
        }
        if (known) {
            std::unique_ptr<CZAFKeySet> keys(server.getKeyDB()->getMatchingKeySet(
                "Bench Import", CZAFKeyDB::kMatchLocalOnly, nullptr, nullptr));
            std::unique_ptr<CZAFIterator> walk(keys->getIterator());
            CZAFDatabaseObject* object = nullptr;
            walk->next(kZAFKeyDBObjType_Key, object);
            walk.reset();
            keys.reset();
            CZAFKey* key = static_cast<CZAFKey*>(object);
            server.removeKey(key);
        }
    });
}

void BM_ExportOneKey7k(benchmark::State& state, bool armored) {
    withServer(state, [&](CVornServer& server) {
        std::unique_ptr<CZAFKeySet> keys(server.keyList());
        std::unique_ptr<CZAFIterator> walk(keys->getIterator());
        CZAFDatabaseObject* object = nullptr;
        walk->next(kZAFKeyDBObjType_Key, object);
        std::unique_ptr<CZAFKey> key(static_cast<CZAFKey*>(object));
        const std::string path = CBenchHome::get()->personal("export.out");
        for (auto _ : state)
            server.exportKey(key.get(), path, true, oozaf::kZAFExportFormat_Complete, false,
                             armored);
    });
}

void BM_ReadLog100k(benchmark::State& state) {
    withServer(state, [&](CVornServer& server) {
        std::vector<SVornLogEntry> entries;
        for (auto _ : state) {
            server.getLog(entries);
            benchmark::DoNotOptimize(entries.data());
        }
        state.counters["lines"] = static_cast<double>(entries.size());
    });
}

} // namespace

BENCHMARK(BM_ServerOpen7k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KeyListWalk7k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CalculateTrust7k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetKeyByID7k)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ImportOneKey7k, new_key, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ImportOneKey7k, known_key, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExportOneKey7k, binary, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExportOneKey7k, armored, true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadLog100k)->Unit(benchmark::kMillisecond);
