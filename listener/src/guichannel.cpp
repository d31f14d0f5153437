// guichannel: the messages between the privileged process and a connection's processes.
#include <oozaf/util.h>
#include <vorngui/guichannel.h>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vorngui {

namespace {

void putBigEndian(std::string& out, uint64_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

uint64_t getBigEndian(const std::string& in, std::size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
    return value;
}

[[noreturn]] void fail(const std::string& text) { throw new CGUIChannelException(text); }

std::string errorText(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

} // namespace

CGUIMessage::CGUIMessage(eGUIMessage type) { m_bytes.push_back(static_cast<char>(type)); }

CGUIMessage::~CGUIMessage() { oozaf::CZAFUtil::wipe(m_bytes); }

CGUIMessage::CGUIMessage(CGUIMessage&& other) noexcept
    : m_bytes(std::move(other.m_bytes)), m_read(other.m_read) {
    other.m_bytes.clear();
}

CGUIMessage CGUIMessage::decode(const std::string& bytes) {
    if (bytes.empty())
        fail("an empty message");
    if (bytes.size() > kMaxBytes)
        fail("a message of " + std::to_string(bytes.size()) + " bytes");
    const auto type = static_cast<unsigned char>(bytes[0]);
    if (type < static_cast<unsigned char>(eGUIMessage::eLoginSetup) ||
        type > static_cast<unsigned char>(eGUIMessage::eSessionSetup))
        fail("a message of unknown type " + std::to_string(type));
    CGUIMessage message;
    message.m_bytes = bytes;
    return message;
}

CGUIMessage& CGUIMessage::add(const std::string& text) {
    if (m_bytes.size() + 4 + text.size() > kMaxBytes)
        fail("a message would exceed " + std::to_string(kMaxBytes) + " bytes");
    putBigEndian(m_bytes, text.size(), 4);
    m_bytes += text;
    return *this;
}

CGUIMessage& CGUIMessage::add(uint64_t number) {
    std::string field;
    putBigEndian(field, number, 8);
    return add(field);
}

std::string CGUIMessage::text(std::size_t maxLength) {
    if (m_bytes.size() - m_read < 4)
        fail("a field is missing");
    const uint64_t length = getBigEndian(m_bytes, m_read, 4);
    if (length > m_bytes.size() - m_read - 4)
        fail("a field runs past the end of its message");
    if (length > maxLength)
        fail("a field of " + std::to_string(length) + " bytes where at most " +
             std::to_string(maxLength) + " belong");
    std::string field = m_bytes.substr(m_read + 4, static_cast<std::size_t>(length));
    m_read += 4 + static_cast<std::size_t>(length);
    return field;
}

uint64_t CGUIMessage::number(uint64_t maximum) {
    const std::string field = text(8);
    if (field.size() != 8)
        fail("a number field of " + std::to_string(field.size()) + " bytes");
    const uint64_t value = getBigEndian(field, 0, 8);
    if (value > maximum)
        fail("the number " + std::to_string(value) + " is above " + std::to_string(maximum));
    return value;
}

void CGUIMessage::expectEnd() const {
    if (m_read != m_bytes.size())
        fail("a message with " + std::to_string(m_bytes.size() - m_read) + " bytes too many");
}

// ---- the channel ----

CGUIChannel::~CGUIChannel() { close(); }

void CGUIChannel::close() {
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
        m_descriptor = -1;
    }
}

void CGUIChannel::send(const CGUIMessage& message, int passed) {
    iovec part{const_cast<char*>(message.bytes().data()), message.bytes().size()};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {0};
    if (passed >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* entry = CMSG_FIRSTHDR(&header);
        entry->cmsg_level = SOL_SOCKET;
        entry->cmsg_type = SCM_RIGHTS;
        entry->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(entry), &passed, sizeof(int));
    }
    for (;;) {
        const ssize_t sent = ::sendmsg(m_descriptor, &header, MSG_NOSIGNAL);
        if (sent >= 0)
            return;
        if (errno != EINTR)
            fail(errorText("sending failed", errno));
    }
}

bool CGUIChannel::receive(std::string& bytes, int milliseconds, int* passed) {
    if (passed != nullptr)
        *passed = -1;
    pollfd entry{m_descriptor, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, milliseconds);
        if (ready > 0)
            break;
        if (ready == 0)
            fail("no message within " + std::to_string(milliseconds) + " ms");
        if (errno != EINTR)
            fail(errorText("waiting failed", errno));
    }
    bytes.assign(CGUIMessage::kMaxBytes + 1, '\0');
    iovec part{&bytes[0], bytes.size()};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {0};
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t got = -1;
    do
        got = ::recvmsg(m_descriptor, &header, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    // An end that closed before reading what it was sent resets the connection: closed too.
    if (got < 0 && errno == ECONNRESET) {
        bytes.clear();
        return false;
    }
    if (got < 0)
        fail(errorText("receiving failed", errno));
    // Every descriptor that came is taken first, so that none stays open whatever follows.
    int received = -1;
    bool extra = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int descriptor = -1;
            std::memcpy(&descriptor, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (received < 0 && passed != nullptr) {
                received = descriptor;
            } else {
                ::close(descriptor);
                extra = true;
            }
        }
    }
    auto refuse = [&](const std::string& why) {
        if (received >= 0)
            ::close(received);
        oozaf::CZAFUtil::wipe(bytes);
        fail(why);
    };
    if ((header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0)
        refuse("a message longer than " + std::to_string(CGUIMessage::kMaxBytes) + " bytes");
    if (extra)
        refuse("descriptors that were not asked for");
    if (got == 0) {
        bytes.clear();
        if (received >= 0)
            ::close(received);
        return false;
    }
    bytes.resize(static_cast<std::size_t>(got));
    if (passed != nullptr)
        *passed = received;
    return true;
}

bool CGUIChannel::exchange(const CGUIMessage& request, eGUIMessage answer, std::string& bytes,
                           int* passed) {
    send(request);
    if (!receive(bytes, -1, passed))
        return false;
    if (bytes.empty() ||
        static_cast<unsigned char>(bytes[0]) != static_cast<unsigned char>(answer)) {
        if (passed != nullptr && *passed >= 0) {
            ::close(*passed);
            *passed = -1;
        }
        fail("an answer of an unexpected type");
    }
    return true;
}

// ---- setups ----

namespace {

// Bounds of the setup fields (a user name, a path, the armoured host key).
constexpr std::size_t kMaxName = 4096;
constexpr std::size_t kMaxKeyText = 32 * 1024;
constexpr uint64_t kMaxId = 0xFFFFFFFFu;
constexpr std::size_t kMaxGroupCount = 4096;

} // namespace

CGUIMessage SGUILoginSetup::encode() const {
    CGUIMessage message(eGUIMessage::eLoginSetup);
    message.add(uint64_t(secure ? 1 : 0))
        .add(uint64_t(web ? 1 : 0))
        .add(uint64_t(loginTimeout))
        .add(uint64_t(maxLoginFrame))
        .add(uint64_t(logLevel))
        .add(peerAddress)
        .add(hostKeyText)
        .add(hostKeyFingerprint)
        .add(hostKeyID)
        .add(uint64_t(uid))
        .add(uint64_t(gid))
        .add(emptyFolder);
    return message;
}

SGUILoginSetup SGUILoginSetup::decode(const std::string& bytes) {
    CGUIMessage message = CGUIMessage::decode(bytes);
    if (message.getType() != eGUIMessage::eLoginSetup)
        fail("a setup of another kind");
    SGUILoginSetup setup;
    setup.secure = message.number(1) != 0;
    setup.web = message.number(1) != 0;
    setup.loginTimeout = static_cast<unsigned int>(message.number(0xFFFFFFFFu));
    setup.maxLoginFrame = static_cast<uint32_t>(message.number(0xFFFFFFFFu));
    setup.logLevel = static_cast<int>(message.number(4));
    setup.peerAddress = message.text(kMaxName);
    setup.hostKeyText = message.text(kMaxKeyText);
    setup.hostKeyFingerprint = message.text(kMaxName);
    setup.hostKeyID = message.text(8);
    setup.uid = static_cast<uid_t>(message.number(kMaxId));
    setup.gid = static_cast<gid_t>(message.number(kMaxId));
    setup.emptyFolder = message.text(kMaxName);
    message.expectEnd();
    return setup;
}

CGUIMessage SGUISessionSetup::encode() const {
    CGUIMessage message(eGUIMessage::eSessionSetup);
    std::string groupList;
    for (const gid_t group : groups)
        putBigEndian(groupList, group, 4);
    message.add(username)
        .add(uint64_t(uid))
        .add(uint64_t(gid))
        .add(groupList)
        .add(clientAddress)
        .add(uint64_t(local ? 1 : 0))
        .add(uint64_t(logLevel))
        .add(uint64_t(idleTimeout))
        .add(uint64_t(maxFrame));
    return message;
}

SGUISessionSetup SGUISessionSetup::decode(const std::string& bytes) {
    CGUIMessage message = CGUIMessage::decode(bytes);
    if (message.getType() != eGUIMessage::eSessionSetup)
        fail("a setup of another kind");
    SGUISessionSetup setup;
    setup.username = message.text(kMaxName);
    setup.uid = static_cast<uid_t>(message.number(kMaxId));
    setup.gid = static_cast<gid_t>(message.number(kMaxId));
    const std::string groupList = message.text(kMaxGroupCount * 4);
    if (groupList.size() % 4 != 0)
        fail("a group list of " + std::to_string(groupList.size()) + " bytes");
    for (std::size_t at = 0; at < groupList.size(); at += 4)
        setup.groups.push_back(static_cast<gid_t>(getBigEndian(groupList, at, 4)));
    setup.clientAddress = message.text(kMaxName);
    setup.local = message.number(1) != 0;
    setup.logLevel = static_cast<int>(message.number(4));
    setup.idleTimeout = static_cast<unsigned int>(message.number(0xFFFFFFFFu));
    setup.maxFrame = static_cast<uint32_t>(message.number(0xFFFFFFFFu));
    message.expectEnd();
    return setup;
}

} // namespace vorngui
