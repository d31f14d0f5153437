// key_fixture: a test base for the key model wrappers: the toolkit started in local mode, a
// private temporary folder with copies of real key rings, a context, small generated keys, a
// captured log and a check that no library object is left allocated.
#ifndef ORX_TESTS_KEY_FIXTURE_H
#define ORX_TESTS_KEY_FIXTURE_H

#include "expect_throw.h"
#include "zaf_temp_dir.h"

#include <oozaf/keydb.h>
#include <oozaf/keyobjects.h>
#include <oozaf/logger.h>
#include <oozaf/mem.h>
#include <zaf/zaf.h>

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

class CKeyFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(0, ZAFsdkInit(kZAFFlags_LocalMode)); }
    static void TearDownTestSuite() { ZAFsdkCleanup(); }

    void SetUp() override {
        m_blocks = oozaf::gObjMemoryManager().getBlockCount();
        m_logger = std::make_unique<oozaf::CZAFLogger>();
        m_logger->setLog(m_log);
        m_logger->setLogLevel(oozaf::CZAFLogger::eLogWarning);
        oozaf::gSetOOZAFLogger(m_logger.get());
        m_context.reset(new oozaf::CZAFContext());
    }
    void TearDown() override {
        m_keyDB.reset();
        m_context.reset();
        oozaf::gSetOOZAFLogger(nullptr);
        m_logger.reset();
        EXPECT_EQ(m_blocks, oozaf::gObjMemoryManager().getBlockCount());
    }

    // Copies a ring of /work/shared/bench (for example "pubring-1k.pkr") into the temporary
    // folder under `as` and returns the copy's path.
    std::string copyBenchRing(const std::string& name, const std::string& as) {
        const std::string target = m_dir.file(as);
        std::filesystem::copy_file(std::string(ORX_SHARED_DIR) + "/bench/" + name, target,
                                   std::filesystem::copy_options::overwrite_existing);
        return target;
    }

    // Opens the first 1000 bench keys; `withSecrets` adds their secret ring, else an empty one.
    oozaf::CZAFKeyDB& openBench1k(bool withSecrets = true) {
        const std::string pub = copyBenchRing("pubring-1k.pkr", "pubring.pkr");
        std::string sec = m_dir.file("secring.skr");
        if (withSecrets)
            copyBenchRing("secring-1k.skr", "secring.skr");
        else
            std::ofstream(sec, std::ios::binary).flush();
        m_keyDB.reset(new oozaf::CZAFKeyDB(*m_context, kZAFOpenKeyDBFileOptions_Mutable, pub, sec));
        return *m_keyDB;
    }

    // Opens (creating them) empty rings in the temporary folder.
    oozaf::CZAFKeyDB& openEmpty() {
        m_keyDB.reset(new oozaf::CZAFKeyDB(
            *m_context, kZAFOpenKeyDBFileOptions_Mutable | kZAFOpenKeyDBFileOptions_Create,
            m_dir.file("pubring.pkr"), m_dir.file("secring.skr")));
        return *m_keyDB;
    }

    // Generates a small key into the open database (RSA 1024 with an unprotected secret unless
    // told otherwise). The result is the caller's.
    std::unique_ptr<oozaf::CZAFKey> generate(const std::string& name,
                                             oozaf::eKeyType type = oozaf::eKeyTypeRSA,
                                             const std::string& passphrase = "",
                                             unsigned int days = 0) {
        return std::unique_ptr<oozaf::CZAFKey>(oozaf::CZAFKey::generateKey(
            *m_context, *m_keyDB, name, passphrase, type, oozaf::kZAFCipherAlgorithm_AES128, 1024,
            false, nullptr, false, days, true));
    }

    // The current version of a key (edits replace keys in their database).
    std::unique_ptr<oozaf::CZAFKey> reload(const oozaf::CZAFKey& key) {
        return std::unique_ptr<oozaf::CZAFKey>(m_keyDB->getKeyByID(key.getKeyIDString_Short()));
    }

    // The wrappers of every object of `type` below `key` (user IDs, subkeys), or every key of the
    // database when `key` is null.
    template <class T>
    std::vector<std::unique_ptr<T>> objects(const oozaf::CZAFKey* key, int32_t type) {
        std::vector<std::unique_ptr<T>> out;
        std::unique_ptr<oozaf::CZAFIterator> iter(m_keyDB->getIterator());
        if (key != nullptr)
            iter->seek(key);
        for (;;) {
            oozaf::CZAFDatabaseObject* object = nullptr;
            ZAFError err = iter->next(type, object);
            if (err != 0) {
                EXPECT_EQ(kZAFError_EndOfIteration, err);
                break;
            }
            out.emplace_back(dynamic_cast<T*>(object));
            EXPECT_TRUE(out.back() != nullptr);
        }
        return out;
    }

    // The short key IDs of a key set, in its order.
    static std::vector<std::string> ids(const oozaf::CZAFKeySet& set) {
        std::vector<std::string> out;
        std::unique_ptr<oozaf::CZAFIterator> iter(set.getIterator());
        oozaf::CZAFDatabaseObject* object = nullptr;
        while (iter->next(kZAFKeyDBObjType_Key, object) == 0) {
            std::unique_ptr<oozaf::CZAFDatabaseObject> owned(object);
            out.push_back(static_cast<oozaf::CZAFKey*>(object)->getKeyIDString_Short());
        }
        return out;
    }

    std::string logText() const { return m_log.str(); }

    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

    ZafTempDir m_dir;
    std::unique_ptr<oozaf::CZAFContext> m_context;
    std::unique_ptr<oozaf::CZAFKeyDB> m_keyDB;

private:
    std::ostringstream m_log;
    std::unique_ptr<oozaf::CZAFLogger> m_logger;
    std::size_t m_blocks = 0;
};

#endif
