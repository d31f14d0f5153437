// boundary: every family of toolkit calls answers a handle it cannot use (null, not a handle at
// all, freed, or of another kind) with kZAFError_InvalidHandle, and the calls that return a value
// rather than a code with their empty value.
#include <zaf/zaf.h>
#include <zaf/zafcmdline.h>
#include <zaf/zafcontext.h>
#include <zaf/zafcrypto.h>
#include <zaf/zafkeyedit.h>
#include <zaf/zafkeys.h>
#include <zaf/zafmessage.h>
#include <zaf/zafrandom.h>
#include <zaf/zafsigcheck.h>
#include <zaf/zafwipe.h>

#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Memory that holds no handle: zero bytes, large and aligned enough for any handle's layout.
alignas(16) unsigned char gForeign[4096];

template <class T> T foreign() { return reinterpret_cast<T>(gForeign); }

using Call = std::function<ZAFError(void*)>;

// Runs every call with every bad handle and names the ones that answer otherwise.
void expectInvalidHandle(const std::vector<std::pair<const char*, Call>>& calls,
                         const std::vector<void*>& badHandles) {
    for (const auto& call : calls)
        for (void* bad : badHandles)
            EXPECT_EQ(kZAFError_InvalidHandle, call.second(bad))
                << call.first << " with handle " << bad;
}

class Boundary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kZAFError_NoErr, ZAFNewContext(&m_context));
        ASSERT_EQ(kZAFError_NoErr, ZAFNewKeyDB(m_context, &m_db));
        m_root = ZAFPeekKeyDBRootKeySet(m_db);
        ASSERT_NE(nullptr, m_root);
        ASSERT_EQ(kZAFError_NoErr,
                  ZAFNewKeyDBObjNumericFilter(m_context, kZAFObjProperty_ObjectType,
                                              kZAFKeyDBObjType_Key, kZAFMatch_Equal, &m_filter));
        ASSERT_EQ(kZAFError_NoErr, ZAFNewGroupSet(m_context, &m_groups));
    }
    void TearDown() override {
        ZAFFreeGroupSet(m_groups);
        ZAFFreeFilter(m_filter);
        ZAFFreeKeyDB(m_db);
        ZAFFreeContext(m_context);
    }

    // A handle of a kind the registry tracks, already freed.
    void* freedHash() {
        ZAFHashContextRef hash = nullptr;
        EXPECT_EQ(kZAFError_NoErr, ZAFNewHashContext(m_context, kZAFHashAlgorithm_SHA256, &hash));
        EXPECT_EQ(kZAFError_NoErr, ZAFFreeHashContext(hash));
        return hash;
    }

    ZAFContextRef m_context = nullptr;
    ZAFKeyDBRef m_db = nullptr;
    ZAFKeySetRef m_root = nullptr;
    ZAFFilterRef m_filter = nullptr;
    ZAFGroupSetRef m_groups = nullptr;
};

TEST_F(Boundary, ContextFileSpecAndPrimitiveCallsRefuseBadHandles) {
    // The registry knows these kinds, so a freed handle and one of another kind are told apart
    // from live ones as well.
    ZAFFileSpecRef spec = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFNewFileSpecFromFullPath(m_context, "/tmp/boundary", &spec));
    uint8_t buffer[64] = {};
    size_t size = sizeof buffer;
    uint32_t word = 0;
    int32_t number = 0;
    const std::vector<void*> bad = {nullptr, gForeign, freedHash(), spec};
    expectInvalidHandle(
        {
            {"ZAFFreeContext", [](void* h) { return ZAFFreeContext(ZAFContextRef(h)); }},
            {"ZAFSetRandSeedFile",
             [&](void* h) { return ZAFSetRandSeedFile(ZAFContextRef(h), spec); }},
            {"ZAFNewFileSpecFromFullPath",
             [&](void* h) {
                 ZAFFileSpecRef out = nullptr;
                 return ZAFNewFileSpecFromFullPath(ZAFContextRef(h), "/tmp/x", &out);
             }},
            {"ZAFContextGetRandomBytes",
             [&](void* h) { return ZAFContextGetRandomBytes(ZAFContextRef(h), buffer, 1); }},
            {"ZAFNewHashContext",
             [](void* h) {
                 ZAFHashContextRef out = nullptr;
                 return ZAFNewHashContext(ZAFContextRef(h), kZAFHashAlgorithm_SHA256, &out);
             }},
            {"ZAFNewBigNum",
             [](void* h) {
                 ZAFBigNumRef out = nullptr;
                 return ZAFNewBigNum(ZAFContextRef(h), 0, &out);
             }},
            {"ZAFCreateDiskWiper",
             [](void* h) {
                 ZAFDiskWiperRef out = nullptr;
                 return ZAFCreateDiskWiper(ZAFContextRef(h), &out, 3);
             }},
            {"ZAFNewKeyDB",
             [](void* h) {
                 ZAFKeyDBRef out = nullptr;
                 return ZAFNewKeyDB(ZAFContextRef(h), &out);
             }},
            {"ZAFOpenKeyDBFile",
             [&](void* h) {
                 ZAFKeyDBRef out = nullptr;
                 return ZAFOpenKeyDBFile(ZAFContextRef(h), 0, spec, nullptr, &out);
             }},
            {"ZAFNewGroupSet",
             [](void* h) {
                 ZAFGroupSetRef out = nullptr;
                 return ZAFNewGroupSet(ZAFContextRef(h), &out);
             }},
            {"ZAFNewOptionList",
             [](void* h) {
                 ZAFOptionListRef out = nullptr;
                 return ZAFNewOptionList(ZAFContextRef(h), &out);
             }},
            {"ZAFNewKeyDBObjNumericFilter",
             [](void* h) {
                 ZAFFilterRef out = nullptr;
                 return ZAFNewKeyDBObjNumericFilter(ZAFContextRef(h), kZAFObjProperty_ObjectType, 1,
                                                    kZAFMatch_Equal, &out);
             }},
            {"ZAFImport",
             [](void* h) {
                 ZAFKeyDBRef out = nullptr;
                 return ZAFImport(ZAFContextRef(h), &out, ZAFOLastOption());
             }},
            {"ZAFExport", [](void* h) { return ZAFExport(ZAFContextRef(h), ZAFOLastOption()); }},
            {"ZAFGenerateKey",
             [](void* h) {
                 ZAFKeyDBObjRef out = nullptr;
                 return ZAFGenerateKey(ZAFContextRef(h), &out, ZAFOLastOption());
             }},
            {"ZAFNewKeyServer",
             [](void* h) {
                 ZAFKeyServerRef out = nullptr;
                 return ZAFNewKeyServer(ZAFContextRef(h), "hkp://127.0.0.1", &out);
             }},
            {"ZAFContinueHash",
             [&](void* h) { return ZAFContinueHash(ZAFHashContextRef(h), buffer, 1); }},
            {"ZAFFinalizeHash",
             [&](void* h) { return ZAFFinalizeHash(ZAFHashContextRef(h), buffer, 32); }},
            {"ZAFFreeHashContext",
             [](void* h) { return ZAFFreeHashContext(ZAFHashContextRef(h)); }},
            {"ZAFContinueHMAC",
             [&](void* h) { return ZAFContinueHMAC(ZAFHMACContextRef(h), buffer, 1); }},
            {"ZAFFreeHMACContext",
             [](void* h) { return ZAFFreeHMACContext(ZAFHMACContextRef(h)); }},
            {"ZAFInitSymmetricCipher",
             [&](void* h) {
                 return ZAFInitSymmetricCipher(ZAFSymmetricCipherContextRef(h), buffer, 16);
             }},
            {"ZAFSymmetricCipherEncrypt",
             [&](void* h) {
                 return ZAFSymmetricCipherEncrypt(ZAFSymmetricCipherContextRef(h), buffer,
                                                  buffer + 32);
             }},
            {"ZAFFreeSymmetricCipherContext",
             [](void* h) {
                 return ZAFFreeSymmetricCipherContext(ZAFSymmetricCipherContextRef(h));
             }},
            {"ZAFBigNumGetSignificantBits",
             [&](void* h) { return ZAFBigNumGetSignificantBits(ZAFBigNumRef(h), &word); }},
            {"ZAFBigNumSetWord", [](void* h) { return ZAFBigNumSetWord(ZAFBigNumRef(h), 1); }},
            {"ZAFFreeBigNum", [](void* h) { return ZAFFreeBigNum(ZAFBigNumRef(h)); }},
            {"ZAFGetDiskWipePattern",
             [&](void* h) { return ZAFGetDiskWipePattern(ZAFDiskWiperRef(h), &number); }},
            {"ZAFDestroyDiskWiper",
             [](void* h) { return ZAFDestroyDiskWiper(ZAFDiskWiperRef(h)); }},
            {"ZAFCommandLineNextFlag",
             [&](void* h) {
                 const char* argument = nullptr;
                 return ZAFCommandLineNextFlag(ZAFCommandLineContextRef(h), &number, &argument);
             }},
            {"ZAFFreeCommandLineContext",
             [](void* h) { return ZAFFreeCommandLineContext(ZAFCommandLineContextRef(h)); }},
        },
        bad);
    expectInvalidHandle({{"ZAFGetFullPathFromFileSpec",
                          [&](void* h) {
                              size = sizeof buffer;
                              return ZAFGetFullPathFromFileSpec(
                                  ZAFFileSpecRef(h), reinterpret_cast<char*>(buffer), &size);
                          }}},
                        {nullptr, gForeign, freedHash(), m_context});
    // The file spec itself is fine, and was only ever used as a handle of another kind.
    EXPECT_EQ(kZAFError_NoErr, ZAFFreeFileSpec(spec));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFreeFileSpec(spec));
    EXPECT_EQ(nullptr, ZAFPeekContextMemoryMgr(nullptr));
    EXPECT_EQ(nullptr, ZAFPeekContextMemoryMgr(foreign<ZAFContextRef>()));
}

TEST_F(Boundary, KeyStoreCallsRefuseBadHandles) {
    // Key store handles carry a mark rather than a registry entry: null and memory that is not a
    // handle are what a caller can hand over by mistake.
    const std::vector<void*> bad = {nullptr, gForeign};
    uint32_t count = 0;
    int32_t number = 0;
    ZAFBoolean flag = 0;
    ZAFTime time = 0;
    size_t size = 0;
    ZAFKeyID keyID{};
    ZAFGroupID group = 0;
    ASSERT_EQ(kZAFError_NoErr, ZAFNewGroup(m_groups, "friends", "", &group));
    const uint8_t digest[32] = {};
    uint8_t signature[512] = {};
    expectInvalidHandle(
        {
            // the database
            {"ZAFFreeKeyDB", [](void* h) { return ZAFFreeKeyDB(ZAFKeyDBRef(h)); }},
            {"ZAFKeyDBRefresh", [](void* h) { return ZAFKeyDBRefresh(ZAFKeyDBRef(h)); }},
            {"ZAFFlushKeyDB", [](void* h) { return ZAFFlushKeyDB(ZAFKeyDBRef(h)); }},
            {"ZAFCountKeysInKeyDB",
             [&](void* h) { return ZAFCountKeysInKeyDB(ZAFKeyDBRef(h), &count); }},
            {"ZAFCopyKeys to",
             [&](void* h) { return ZAFCopyKeys(m_root, ZAFKeyDBRef(h), nullptr); }},
            {"ZAFDeleteKeys from", [&](void* h) { return ZAFDeleteKeys(ZAFKeyDBRef(h), m_root); }},
            {"ZAFFindKeyByKeyID",
             [&](void* h) {
                 ZAFKeyDBObjRef out = nullptr;
                 return ZAFFindKeyByKeyID(ZAFKeyDBRef(h), &keyID, &out);
             }},
            {"ZAFCountKeyDBMergeWarnings",
             [&](void* h) { return ZAFCountKeyDBMergeWarnings(ZAFKeyDBRef(h), &count); }},
            {"ZAFGetImportDropCounts",
             [&](void* h) { return ZAFGetImportDropCounts(ZAFKeyDBRef(h), &count, &count); }},
            {"ZAFNewKeySet",
             [](void* h) {
                 ZAFKeySetRef out = nullptr;
                 return ZAFNewKeySet(ZAFKeyDBRef(h), &out);
             }},
            {"ZAFNewKeyIterFromKeyDB",
             [](void* h) {
                 ZAFKeyIterRef out = nullptr;
                 return ZAFNewKeyIterFromKeyDB(ZAFKeyDBRef(h), &out);
             }},
            {"ZAFCalculateTrust of",
             [&](void* h) { return ZAFCalculateTrust(m_root, ZAFKeyDBRef(h)); }},
            {"ZAFKeyDBChecksComplete",
             [](void* h) {
                 ZAFBoolean complete = 0;
                 return ZAFKeyDBChecksComplete(ZAFKeyDBRef(h), &complete);
             }},
            {"ZAFNewKeySetFromGroup in",
             [&](void* h) {
                 ZAFKeySetRef out = nullptr;
                 return ZAFNewKeySetFromGroup(m_groups, group, ZAFKeyDBRef(h), &out, &count);
             }},
            // key sets
            {"ZAFFreeKeySet", [](void* h) { return ZAFFreeKeySet(ZAFKeySetRef(h)); }},
            {"ZAFAddKeys", [&](void* h) { return ZAFAddKeys(ZAFKeySetRef(h), m_root); }},
            {"ZAFCountKeys", [&](void* h) { return ZAFCountKeys(ZAFKeySetRef(h), &count); }},
            {"ZAFFilterKeySet",
             [&](void* h) {
                 ZAFKeySetRef out = nullptr;
                 return ZAFFilterKeySet(ZAFKeySetRef(h), m_filter, &out);
             }},
            {"ZAFNewKeyIterFromKeySet",
             [](void* h) {
                 ZAFKeyIterRef out = nullptr;
                 return ZAFNewKeyIterFromKeySet(ZAFKeySetRef(h), &out);
             }},
            {"ZAFCalculateTrust",
             [&](void* h) { return ZAFCalculateTrust(ZAFKeySetRef(h), m_db); }},
            {"ZAFCopyKeys", [&](void* h) { return ZAFCopyKeys(ZAFKeySetRef(h), m_db, nullptr); }},
            {"ZAFDeleteKeys", [&](void* h) { return ZAFDeleteKeys(m_db, ZAFKeySetRef(h)); }},
            // filters
            {"ZAFUnionFilters",
             [&](void* h) {
                 ZAFFilterRef out = nullptr;
                 return ZAFUnionFilters(ZAFFilterRef(h), m_filter, &out);
             }},
            {"ZAFIntersectFilters",
             [&](void* h) {
                 ZAFFilterRef out = nullptr;
                 return ZAFIntersectFilters(m_filter, ZAFFilterRef(h), &out);
             }},
            {"ZAFNegateFilter",
             [](void* h) {
                 ZAFFilterRef out = nullptr;
                 return ZAFNegateFilter(ZAFFilterRef(h), &out);
             }},
            {"ZAFFilterKeySet by",
             [&](void* h) {
                 ZAFKeySetRef out = nullptr;
                 return ZAFFilterKeySet(m_root, ZAFFilterRef(h), &out);
             }},
            {"ZAFFreeFilter", [](void* h) { return ZAFFreeFilter(ZAFFilterRef(h)); }},
            // iterators
            {"ZAFKeyIterRewind",
             [](void* h) { return ZAFKeyIterRewind(ZAFKeyIterRef(h), kZAFKeyDBObjType_Key); }},
            {"ZAFKeyIterNextKeyDBObj",
             [](void* h) {
                 ZAFKeyDBObjRef out = nullptr;
                 return ZAFKeyIterNextKeyDBObj(ZAFKeyIterRef(h), kZAFKeyDBObjType_Key, &out);
             }},
            {"ZAFKeyIterPrevKeyDBObj",
             [](void* h) {
                 ZAFKeyDBObjRef out = nullptr;
                 return ZAFKeyIterPrevKeyDBObj(ZAFKeyIterRef(h), kZAFKeyDBObjType_Key, &out);
             }},
            {"ZAFFreeKeyIter", [](void* h) { return ZAFFreeKeyIter(ZAFKeyIterRef(h)); }},
            // key database objects: properties, edits, key contexts
            {"ZAFGetKeyDBObjNumericProperty",
             [&](void* h) {
                 return ZAFGetKeyDBObjNumericProperty(ZAFKeyDBObjRef(h), kZAFObjProperty_ObjectType,
                                                      &number);
             }},
            {"ZAFGetKeyDBObjBooleanProperty",
             [&](void* h) {
                 return ZAFGetKeyDBObjBooleanProperty(ZAFKeyDBObjRef(h), kZAFKeyProperty_IsRevoked,
                                                      &flag);
             }},
            {"ZAFGetKeyDBObjTimeProperty",
             [&](void* h) {
                 return ZAFGetKeyDBObjTimeProperty(ZAFKeyDBObjRef(h), kZAFKeyProperty_Creation,
                                                   &time);
             }},
            {"ZAFGetKeyDBObjDataProperty",
             [&](void* h) {
                 return ZAFGetKeyDBObjDataProperty(ZAFKeyDBObjRef(h), kZAFKeyProperty_Creation,
                                                   nullptr, 0, &size);
             }},
            {"ZAFGetKeyDBObjKey",
             [](void* h) {
                 ZAFKeyDBObjRef out = nullptr;
                 return ZAFGetKeyDBObjKey(ZAFKeyDBObjRef(h), &out);
             }},
            {"ZAFGetPrimaryUserID",
             [](void* h) {
                 ZAFKeyDBObjRef out = nullptr;
                 return ZAFGetPrimaryUserID(ZAFKeyDBObjRef(h), &out);
             }},
            {"ZAFSetKeyOwnerTrust",
             [](void* h) { return ZAFSetKeyOwnerTrust(ZAFKeyDBObjRef(h), 5); }},
            {"ZAFSetKeyDisabled", [](void* h) { return ZAFSetKeyDisabled(ZAFKeyDBObjRef(h), 1); }},
            {"ZAFCountRevocationKeys",
             [&](void* h) { return ZAFCountRevocationKeys(ZAFKeyDBObjRef(h), &count); }},
            {"ZAFGetKeyID", [&](void* h) { return ZAFGetKeyID(ZAFKeyDBObjRef(h), &keyID); }},
            {"ZAFNewSingletonKeySet",
             [](void* h) {
                 ZAFKeySetRef out = nullptr;
                 return ZAFNewSingletonKeySet(ZAFKeyDBObjRef(h), &out);
             }},
            {"ZAFDeleteKeyDBObj",
             [&](void* h) { return ZAFDeleteKeyDBObj(m_db, ZAFKeyDBObjRef(h)); }},
            {"ZAFCheckSignature",
             [&](void* h) { return ZAFCheckSignature(ZAFKeyDBObjRef(h), &flag, &flag); }},
            {"ZAFAddUserID",
             [](void* h) { return ZAFAddUserID(ZAFKeyDBObjRef(h), "Eve", ZAFOLastOption()); }},
            {"ZAFCertifyUserID",
             [](void* h) {
                 return ZAFCertifyUserID(ZAFKeyDBObjRef(h), ZAFKeyDBObjRef(h), ZAFOLastOption());
             }},
            {"ZAFRevoke",
             [](void* h) { return ZAFRevoke(ZAFKeyDBObjRef(h), nullptr, ZAFOLastOption()); }},
            {"ZAFAddRevocationKey",
             [](void* h) {
                 return ZAFAddRevocationKey(ZAFKeyDBObjRef(h), ZAFKeyDBObjRef(h), ZAFOLastOption());
             }},
            {"ZAFNewPrivateKeyContext",
             [](void* h) {
                 ZAFPrivateKeyContextRef out = nullptr;
                 return ZAFNewPrivateKeyContext(ZAFKeyDBObjRef(h), "", 0, &out);
             }},
            {"ZAFNewPublicKeyContext",
             [](void* h) {
                 ZAFPublicKeyContextRef out = nullptr;
                 return ZAFNewPublicKeyContext(ZAFKeyDBObjRef(h), &out);
             }},
            {"ZAFPrivateKeySign",
             [&](void* h) {
                 return ZAFPrivateKeySign(ZAFPrivateKeyContextRef(h), kZAFHashAlgorithm_SHA256,
                                          digest, sizeof digest, signature, sizeof signature,
                                          &size);
             }},
            {"ZAFFreePrivateKeyContext",
             [](void* h) { return ZAFFreePrivateKeyContext(ZAFPrivateKeyContextRef(h)); }},
            {"ZAFPublicKeyVerify",
             [&](void* h) {
                 return ZAFPublicKeyVerify(ZAFPublicKeyContextRef(h), kZAFHashAlgorithm_SHA256,
                                           digest, sizeof digest, signature, 64);
             }},
            {"ZAFFreePublicKeyContext",
             [](void* h) { return ZAFFreePublicKeyContext(ZAFPublicKeyContextRef(h)); }},
            {"ZAFQueryKeyServer",
             [&](void* h) {
                 ZAFKeyDBRef out = nullptr;
                 return ZAFQueryKeyServer(ZAFKeyServerRef(h), m_filter, &out);
             }},
            {"ZAFFreeKeyServer", [](void* h) { return ZAFFreeKeyServer(ZAFKeyServerRef(h)); }},
            // option lists and group sets
            {"ZAFAppendOptionList",
             [](void* h) { return ZAFAppendOptionList(ZAFOptionListRef(h), ZAFOLastOption()); }},
            {"ZAFFreeOptionList", [](void* h) { return ZAFFreeOptionList(ZAFOptionListRef(h)); }},
            {"ZAFCountGroupsInSet",
             [&](void* h) { return ZAFCountGroupsInSet(ZAFGroupSetRef(h), &count); }},
            {"ZAFGetGroupInfo",
             [&](void* h) {
                 ZAFGroupInfo info{};
                 return ZAFGetGroupInfo(ZAFGroupSetRef(h), group, &info);
             }},
            {"ZAFNewGroup",
             [](void* h) {
                 ZAFGroupID out = 0;
                 return ZAFNewGroup(ZAFGroupSetRef(h), "n", "", &out);
             }},
            {"ZAFAddKeyToGroup",
             [&](void* h) { return ZAFAddKeyToGroup(ZAFGroupSetRef(h), group, &keyID); }},
            {"ZAFDeleteGroup", [&](void* h) { return ZAFDeleteGroup(ZAFGroupSetRef(h), group); }},
            {"ZAFNewKeySetFromGroup",
             [&](void* h) {
                 ZAFKeySetRef out = nullptr;
                 return ZAFNewKeySetFromGroup(ZAFGroupSetRef(h), group, m_db, &out, &count);
             }},
            {"ZAFFreeGroupSet", [](void* h) { return ZAFFreeGroupSet(ZAFGroupSetRef(h)); }},
        },
        bad);

    // Calls that return a value answer a bad handle with their empty value.
    for (void* h : bad) {
        EXPECT_EQ(0, ZAFKeyDBIsMutable(ZAFKeyDBRef(h)));
        EXPECT_EQ(0, ZAFKeyDBIsDirty(ZAFKeyDBRef(h)));
        EXPECT_EQ(nullptr, ZAFPeekKeyDBRootKeySet(ZAFKeyDBRef(h)));
        EXPECT_EQ(nullptr, ZAFPeekKeySetKeyDB(ZAFKeySetRef(h)));
        EXPECT_EQ(0, ZAFGroupSetNeedsCommit(ZAFGroupSetRef(h)));
        EXPECT_EQ(0, ZAFPassphraseIsValid(ZAFKeyDBObjRef(h), ""));
        EXPECT_EQ(nullptr, ZAFOKeyDB(ZAFContextRef(h), m_db));
        EXPECT_EQ(nullptr, ZAFOExportKeySet(ZAFContextRef(h), m_root));
    }
    // Bad arguments beside good handles stay bad parameters.
    EXPECT_EQ(kZAFError_BadParams, ZAFCountKeysInKeyDB(m_db, nullptr));
    EXPECT_EQ(kZAFError_BadParams, ZAFCountKeys(m_root, nullptr));
    EXPECT_EQ(kZAFError_BadParams, ZAFNewGroup(m_groups, "", "", &group));
}

TEST_F(Boundary, MessageCallsRefuseBadHandles) {
    ZAFMessageParamsRef params = nullptr;
    ZAFMessageSourceRef source = nullptr;
    ZAFMessageSinkRef sink = nullptr;
    ZAFMessageResultRef result = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFNewMessageParams(m_context, m_db, &params));
    ASSERT_EQ(kZAFError_NoErr, ZAFNewMessageSourceFromBuffer(m_context, "x", 1, &source));
    ASSERT_EQ(kZAFError_NoErr, ZAFNewMessageSinkToBuffer(m_context, 1024, &sink));
    ASSERT_EQ(kZAFError_NoErr, ZAFNewMessageResult(m_context, &result));
    const void* data = nullptr;
    size_t size = 0;
    ZAFMessageInfo info{};
    ZAFMessageSignature signature{};
    ZAFKeyID keyID{};
    const std::vector<void*> bad = {nullptr, gForeign, freedHash()};
    expectInvalidHandle(
        {
            {"ZAFNewMessageSourceFromBuffer",
             [](void* h) {
                 ZAFMessageSourceRef out = nullptr;
                 return ZAFNewMessageSourceFromBuffer(ZAFContextRef(h), "x", 1, &out);
             }},
            {"ZAFNewMessageSinkToBuffer",
             [](void* h) {
                 ZAFMessageSinkRef out = nullptr;
                 return ZAFNewMessageSinkToBuffer(ZAFContextRef(h), 16, &out);
             }},
            {"ZAFNewMessageParams",
             [](void* h) {
                 ZAFMessageParamsRef out = nullptr;
                 return ZAFNewMessageParams(ZAFContextRef(h), nullptr, &out);
             }},
            {"ZAFNewMessageResult",
             [](void* h) {
                 ZAFMessageResultRef out = nullptr;
                 return ZAFNewMessageResult(ZAFContextRef(h), &out);
             }},
            {"ZAFGetMessageSinkData",
             [&](void* h) { return ZAFGetMessageSinkData(ZAFMessageSinkRef(h), &data, &size); }},
            {"ZAFFreeMessageSink",
             [](void* h) { return ZAFFreeMessageSink(ZAFMessageSinkRef(h)); }},
            {"ZAFSetMessageOption",
             [](void* h) {
                 return ZAFSetMessageOption(ZAFMessageParamsRef(h), kZAFMessageOption_Armor, 1);
             }},
            {"ZAFAddMessageRecipientKeyID",
             [&](void* h) { return ZAFAddMessageRecipientKeyID(ZAFMessageParamsRef(h), &keyID); }},
            {"ZAFFreeMessageParams",
             [](void* h) { return ZAFFreeMessageParams(ZAFMessageParamsRef(h)); }},
            {"ZAFEncodeMessage",
             [&](void* h) {
                 return ZAFEncodeMessage(ZAFMessageParamsRef(h), source, sink, result);
             }},
            {"ZAFEncodeMessage from",
             [&](void* h) {
                 return ZAFEncodeMessage(params, ZAFMessageSourceRef(h), sink, result);
             }},
            {"ZAFDecodeMessage from",
             [&](void* h) {
                 return ZAFDecodeMessage(params, ZAFMessageSourceRef(h), nullptr, sink, result);
             }},
            {"ZAFGetMessageInfo",
             [&](void* h) { return ZAFGetMessageInfo(ZAFMessageResultRef(h), &info); }},
            {"ZAFGetMessageSignature",
             [&](void* h) {
                 return ZAFGetMessageSignature(ZAFMessageResultRef(h), 0, &signature);
             }},
            {"ZAFFreeMessageResult",
             [](void* h) { return ZAFFreeMessageResult(ZAFMessageResultRef(h)); }},
            {"ZAFFreeMessageSource",
             [](void* h) { return ZAFFreeMessageSource(ZAFMessageSourceRef(h)); }},
        },
        bad);
    // Key objects carry a mark rather than a registry entry: a freed one cannot be told, so they
    // get null and memory that never was a handle.
    expectInvalidHandle(
        {{"ZAFAddMessageRecipient of a key",
          [&](void* h) { return ZAFAddMessageRecipient(params, ZAFKeyDBObjRef(h)); }}},
        {nullptr, gForeign});
    // Handles of one message kind are not taken for another.
    EXPECT_EQ(kZAFError_InvalidHandle,
              ZAFFreeMessageSink(reinterpret_cast<ZAFMessageSinkRef>(source)));
    EXPECT_EQ(kZAFError_InvalidHandle,
              ZAFFreeMessageParams(reinterpret_cast<ZAFMessageParamsRef>(result)));
    EXPECT_EQ(kZAFError_NoErr, ZAFFreeMessageResult(result));
    EXPECT_EQ(kZAFError_NoErr, ZAFFreeMessageSink(sink));
    EXPECT_EQ(kZAFError_NoErr, ZAFFreeMessageSource(source));
    EXPECT_EQ(kZAFError_NoErr, ZAFFreeMessageParams(params));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFreeMessageParams(params));
}

} // namespace
