// Tests of the packet layer on its own: header lengths at every encoding boundary, both header
// formats, partial body lengths, and that every cut or overlong input is refused without a read
// past its end (the ring tests only ever meet well-formed rings).
#include "packets/packets.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>

using namespace zaf::rfc4880;

namespace {

bool read(const std::string& bytes, RawPacket& out, std::string& scratch, size_t offset = 0) {
    // A copy of exactly the bytes given, so that the sanitizer sees any read past them.
    const std::string copy(bytes);
    const bool ok = readPacket(reinterpret_cast<const uint8_t*>(copy.data()), copy.size(), offset,
                               out, scratch);
    if (ok && !out.partial)
        scratch.assign(out.body); // the view pointed into the copy
    return ok;
}

// A new-format length field as the standard writes it.
std::string newLength(size_t length) {
    std::string header;
    writeHeader(header, 2, length, true);
    return header.substr(1);
}

} // namespace

TEST(ToolkitPackets, HeadersRoundTripAtEveryLengthBoundary) {
    const struct {
        size_t length;
        bool newFormat;
        size_t headerBytes;
    } cases[] = {
        {0, false, 2},     {255, false, 2}, {256, false, 3},   {65535, false, 3},
        {65536, false, 5}, {0, true, 2},    {191, true, 2},    {192, true, 3},
        {8383, true, 3},   {8384, true, 6}, {100000, true, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + (c.newFormat ? " new" : " old"));
        std::string bytes;
        writePacket(bytes, kTagUserID, std::string(c.length, 'u'), c.newFormat);
        ASSERT_EQ(c.headerBytes + c.length, bytes.size());
        RawPacket packet;
        std::string scratch;
        ASSERT_TRUE(read(bytes, packet, scratch));
        EXPECT_EQ(kTagUserID, packet.tag);
        EXPECT_EQ(c.newFormat, packet.newFormat);
        EXPECT_FALSE(packet.partial);
        EXPECT_EQ(bytes.size(), packet.total);
        EXPECT_EQ(std::string(c.length, 'u'), scratch);
        // Every cut of the packet is refused.
        for (size_t cut = 0; cut < bytes.size(); cut += 1 + cut / 7)
            EXPECT_FALSE(read(bytes.substr(0, cut), packet, scratch)) << cut;
    }
    // Tags above 15 do not fit the old format's header and always get the new one.
    std::string attribute;
    writePacket(attribute, kTagUserAttribute, "x", false);
    EXPECT_EQ(std::string("\xD1\x01x", 3), attribute);
}

TEST(ToolkitPackets, MalformedHeadersAreRefused) {
    RawPacket packet;
    std::string scratch;
    // No packet bit, and the old format's indeterminate length.
    EXPECT_FALSE(read(std::string("\x34\x01x", 3), packet, scratch));
    EXPECT_FALSE(read(std::string("\xB7\x01x", 3), packet, scratch));
    // A body larger than the bound, announced by either format with the bytes there or not.
    const uint32_t tooLong = static_cast<uint32_t>(kMaxPacketBody + 1);
    std::string header("\xCD\xFF", 2);
    for (int s = 24; s >= 0; s -= 8)
        header.push_back(static_cast<char>(tooLong >> s));
    EXPECT_FALSE(read(header + std::string(tooLong, 'u'), packet, scratch));
    EXPECT_FALSE(read(std::string("\xB6\xFF\xFF\xFF\xFF", 5), packet, scratch));
    // An offset at or past the end.
    EXPECT_FALSE(read(std::string("\xB4\x00", 2), packet, scratch, 2));
}

TEST(ToolkitPackets, PartialLengthsOnlyForDataPacketsAndJoined) {
    const std::string first(512, 'a');
    const std::string last(300, 'b');
    // A literal data packet (tag 11): one chunk of 2^9 bytes, then the rest with a plain length.
    const std::string body = std::string(1, '\xE9') + first + newLength(last.size()) + last;
    RawPacket packet;
    std::string scratch;
    ASSERT_TRUE(read(std::string(1, '\xCB') + body, packet, scratch));
    EXPECT_TRUE(packet.partial);
    EXPECT_EQ(11u, packet.tag);
    EXPECT_EQ(first + last, scratch);
    EXPECT_EQ(1 + body.size(), packet.total);
    // Key material may not use partial lengths.
    EXPECT_FALSE(read(std::string(1, '\xCD') + body, packet, scratch));
    // The first chunk must hold at least 512 bytes.
    EXPECT_FALSE(read(std::string("\xCB\xE8", 2) + std::string(256, 'a') + newLength(1) + "b",
                      packet, scratch));
    // A chunk sequence that stops before its last chunk.
    EXPECT_FALSE(read(std::string("\xCB\xE9", 2) + first, packet, scratch));
    // A stored packet that uses partial lengths has no body for the ring code.
    EXPECT_TRUE(rawBody(std::string(1, '\xCB') + body).empty());
}

TEST(ToolkitPackets, MpisAndSubpacketAreasStayInsideTheirBody) {
    Mpi mpi;
    size_t pos = 0;
    // 9 bits need two bytes.
    EXPECT_TRUE(readMpi(std::string("\x00\x09\x01\xFF", 4), pos, mpi));
    EXPECT_EQ(4u, pos);
    EXPECT_EQ(9u, mpi.bits);
    EXPECT_EQ(2u, mpi.bytes.size());
    // One byte short: refused, and the position stays.
    pos = 0;
    EXPECT_FALSE(readMpi(std::string("\x00\x11\x01\xFF", 4), pos, mpi));
    EXPECT_EQ(0u, pos);
    EXPECT_FALSE(readMpi(std::string("\x00", 1), pos, mpi));

    // A v4 signature whose hashed area holds a creation time and whose unhashed area holds the
    // issuer, each subpacket written with the longest (five-byte) length form once.
    auto signature = [](const std::string& hashed, const std::string& unhashed) {
        std::string body("\x04\x13\x01\x08", 4);
        body.push_back(static_cast<char>(hashed.size() >> 8));
        body.push_back(static_cast<char>(hashed.size()));
        body += hashed;
        body.push_back(static_cast<char>(unhashed.size() >> 8));
        body.push_back(static_cast<char>(unhashed.size()));
        body += unhashed;
        return body + std::string("\x12\x34\x00\x01\x01", 5);
    };
    std::string hashed;
    appendSubpacket(hashed, 2, std::string("\x60\x00\x00\x00", 4));
    const std::string unhashed = std::string("\xFF\x00\x00\x00\x09\x10", 6) + "ABCDEFGH";
    SigInfo info;
    ASSERT_TRUE(parseSignature(signature(hashed, unhashed), info));
    EXPECT_EQ(0x60000000u, info.created);
    EXPECT_TRUE(info.hasIssuer);
    EXPECT_EQ("ABCDEFGH", std::string(reinterpret_cast<const char*>(info.issuer), 8));
    EXPECT_EQ(1u, info.mpis.size());
    // A subpacket of length 0, one longer than its area, and cut length fields.
    for (const std::string& bad : {std::string(1, '\0'), std::string("\x05\x02\x00", 3),
                                   std::string("\xC0", 1), std::string("\xFF\x00\x00", 3)}) {
        EXPECT_FALSE(parseSignature(signature(hashed + bad, unhashed), info));
        EXPECT_FALSE(parseSignature(signature(hashed, unhashed + bad), info));
    }
    // Every cut of the signature is refused.
    const std::string whole = signature(hashed, unhashed);
    for (size_t cut = 0; cut < whole.size(); ++cut)
        EXPECT_FALSE(parseSignature(whole.substr(0, cut), info)) << cut;
}
