// admin_test_server: a listener stand-in for the client tests. It accepts one connection on a
// loopback port, sends the first byte (and runs the server half of the secure handshake when
// asked), then hands the connected socket to a script the test supplies, on its own thread.
#ifndef ORX_ADMIN_TEST_SERVER_H
#define ORX_ADMIN_TEST_SERVER_H

#include <oozaf/secsocket.h>
#include <oozaf/sockets.h>
#include <oozaf/throwable.h>
#include <zaf/zaf.h>

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>

class AdminTestServer {
public:
    using Script = std::function<void(oozaf::CZAFSocket& socket)>;

    // `firstByte` < 0 sends nothing; 1 also runs the server handshake (unkeyed on both sides).
    AdminTestServer(int firstByte, Script script) {
        if (firstByte == 1)
            m_listener.reset(new oozaf::CZAFSecServerSocket());
        else
            m_listener.reset(new oozaf::CZAFServerSocket());
        m_listener->bind(0);
        m_listener->listen();
        m_port = m_listener->getLocalPort();
        m_thread = std::thread([this, firstByte, script] { serve(firstByte, script); });
    }
    ~AdminTestServer() { join(); }
    AdminTestServer(const AdminTestServer&) = delete;
    AdminTestServer& operator=(const AdminTestServer&) = delete;

    uint16_t port() const { return m_port; }
    // Waits for the script to finish; returns what it threw (empty when nothing).
    std::string join() {
        if (m_thread.joinable())
            m_thread.join();
        return m_failure;
    }

    // Reads one request frame; empty when the peer closed first.
    static std::string readFrame(oozaf::CZAFSocket& socket) {
        unsigned char header[4];
        if (!readAll(socket, header, 4))
            return std::string();
        uint32_t length = (uint32_t(header[0]) << 24) | (uint32_t(header[1]) << 16) |
                          (uint32_t(header[2]) << 8) | header[3];
        std::string payload(length, '\0');
        if (length != 0 && !readAll(socket, reinterpret_cast<unsigned char*>(&payload[0]), length))
            return std::string();
        return payload;
    }
    static void writeFrame(oozaf::CZAFSocket& socket, const std::string& payload) {
        std::string frame = lengthOf(uint32_t(payload.size())) + payload;
        writeAll(socket, frame);
    }
    static std::string lengthOf(uint32_t n) {
        return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    }
    static void writeAll(oozaf::CZAFSocket& socket, const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size())
            done += size_t(socket.write(bytes.data() + done, unsigned(bytes.size() - done)));
    }
    // Waits (bounded) until the peer descriptor `fd` has no unread bytes queued.
    static bool drained(int fd) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int queued = 0;
            if (::ioctl(fd, FIONREAD, &queued) == 0 && queued == 0)
                return true;
            std::this_thread::yield();
        }
        return false;
    }

private:
    // False when the peer closed before the first byte (the secure channel reports that as a
    // failure, a plain socket as an empty read).
    static bool readAll(oozaf::CZAFSocket& socket, unsigned char* buffer, size_t length) {
        size_t done = 0;
        while (done < length) {
            int count = 0;
            try {
                count = socket.read(buffer + done, unsigned(length - done));
            } catch (oozaf::CZAFSecSocketException* e) {
                if (done != 0 || e->getMessage() != "Incoming connection closed prematurely")
                    throw;
                delete e;
            }
            if (count == 0)
                return false;
            done += size_t(count);
        }
        return true;
    }

    void serve(int firstByte, const Script& script) {
        try {
            std::unique_ptr<oozaf::CZAFSocket> socket(m_listener->accept());
            timeval limit{10, 0};
            setsockopt(socket->getDescriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            setsockopt(socket->getDescriptor(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            if (firstByte >= 0) {
                unsigned char byte = static_cast<unsigned char>(firstByte);
                socket->oozaf::CZAFSocket::write(&byte, 1);
            }
            if (firstByte == 1) {
                ZAFContextRef context = nullptr;
                ZAFNewContext(&context);
                auto* secure = static_cast<oozaf::CZAFSecSocket*>(socket.get());
                try {
                    secure->serverHandshake(nullptr, context, nullptr, nullptr, "");
                } catch (...) {
                    ZAFFreeContext(context);
                    throw;
                }
                ZAFFreeContext(context);
            }
            script(*socket);
        } catch (oozaf::CZAFThrowable* e) {
            oozaf::CZAFThrowableGuard guard(e);
            m_failure = e->getDetailedMessage();
        }
    }

    std::unique_ptr<oozaf::CZAFServerSocket> m_listener;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::string m_failure;
};

#endif
