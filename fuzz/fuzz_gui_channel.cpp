// Fuzz target for the messages the listener's daemon reads from a connection's processes (a
// login process parses the network's bytes, so what it sends is hostile): a handshake digest to
// sign, a login to decide, and the setups. A message either reads as its kind says, in which
// case building it again from what was read gives the same bytes, or is refused with
// CGUIChannelException; anything else ends the run.
#include "fuzz_support.h"

#include <vorngui/guichannel.h>

#include <cstddef>
#include <cstdint>
#include <string>

using namespace vorngui;

namespace {

using orxfuzz::require;

void readMessage(const std::string& bytes) {
    CGUIMessage message = CGUIMessage::decode(bytes);
    require(message.getType() >= eGUIMessage::eLoginSetup &&
            message.getType() <= eGUIMessage::eSessionSetup);
    switch (message.getType()) {
    case eGUIMessage::eSign: {
        const std::string digest = message.text(20);
        message.expectEnd();
        CGUIMessage again(eGUIMessage::eSign);
        again.add(digest);
        require(again.bytes() == bytes);
        break;
    }
    case eGUIMessage::eAuth: {
        const std::string user = message.text(1024);
        const std::string password = message.text(1025);
        const std::string domain = message.text(1024);
        const std::string address = message.text(64);
        message.expectEnd();
        CGUIMessage again(eGUIMessage::eAuth);
        again.add(user).add(password).add(domain).add(address);
        require(again.bytes() == bytes);
        break;
    }
    case eGUIMessage::eVerdict: {
        const uint64_t rc = message.number(7);
        const std::string text = message.text(CGUIMessage::kMaxBytes);
        message.expectEnd();
        CGUIMessage again(eGUIMessage::eVerdict);
        again.add(rc).add(text);
        require(again.bytes() == bytes);
        break;
    }
    case eGUIMessage::eLoginSetup: {
        const SGUILoginSetup setup = SGUILoginSetup::decode(bytes);
        require(setup.encode().bytes() == bytes);
        break;
    }
    case eGUIMessage::eSessionSetup: {
        const SGUISessionSetup setup = SGUISessionSetup::decode(bytes);
        require(setup.encode().bytes() == bytes);
        break;
    }
    case eGUIMessage::eSignature:
        message.text(4096);
        message.expectEnd();
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > CGUIMessage::kMaxBytes + 16)
        return 0;
    try {
        readMessage(std::string(reinterpret_cast<const char*>(data), size));
    } catch (CGUIChannelException* e) {
        delete e;
    }
    return 0;
}
