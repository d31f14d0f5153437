// Messages large enough for the hasher to move to its own thread, both ways: what one thread
// writes while the other hashes must come out the same.
// ctest-labels: threaded
#include "message_test_util.h"

using namespace msgtest;

namespace {

TEST(MessageThreads, LargeMessagesRoundTripWithTheHashesOnASecondThread) {
    Keys keys({3, 4});
    Answers answers = keys.answers();
    // Larger than the point where the hasher moves to its thread.
    std::string plain(5u << 20, '\0');
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = char((i * 2654435761u) >> 13);
    Params p(keys.ctx(), keys.db());
    ASSERT_EQ(0, ZAFAddMessageRecipient(p, keys.key(4)));
    ASSERT_EQ(0, ZAFAddMessageSigner(p, keys.key(4)));
    ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Armor, 1));
    ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Compression, 2));
    ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_CompressLevel, 1));
    std::string msg = encode(keys.ctx(), p, plain);
    Decoded d = decode(keys.ctx(), p, msg);
    ASSERT_EQ(0, d.rc);
    EXPECT_TRUE(plain == d.output);
    EXPECT_EQ(kZAFSigStatus_Good, d.signatures[0].status);
    // Detached over the same data, by the EdDSA key.
    Params s(keys.ctx(), keys.db());
    ZAFSetMessagePassphraseCallback(s, answer, &answers);
    ASSERT_EQ(0, ZAFAddMessageSigner(s, keys.key(3)));
    ASSERT_EQ(0, ZAFSetMessageOption(s, kZAFMessageOption_Detached, 1));
    std::string sig = encode(keys.ctx(), s, plain);
    EXPECT_EQ(0, decode(keys.ctx(), s, sig, &plain).rc);
    plain[plain.size() / 2] ^= 1;
    EXPECT_EQ(kZAFError_BadSignature, decode(keys.ctx(), s, sig, &plain).rc);
}

} // namespace
