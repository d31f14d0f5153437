// sockets: IPv4 TCP listening and connected sockets.
#ifndef OOZAF_SOCKETS_H
#define OOZAF_SOCKETS_H

#include <oozaf/obj.h>

#include <cstdint>

namespace oozaf {

// A socket descriptor that is closed once. Used by one thread at a time; holds no locks.
class CZAFAbstractSocket : public CZAFObj {
public:
    CZAFAbstractSocket() = default;
    explicit CZAFAbstractSocket(int descriptor) : m_descriptor(descriptor) {}
    // Closes the descriptor if still open; a failure is logged, never thrown.
    ~CZAFAbstractSocket() override;
    CZAFAbstractSocket(const CZAFAbstractSocket&) = delete;
    CZAFAbstractSocket& operator=(const CZAFAbstractSocket&) = delete;

    // Closes the descriptor; throws CZAFSocketControlException (1701) when close fails.
    virtual void close();
    virtual bool isClosed() const { return m_closed; }
    int getDescriptor() const { return m_descriptor; }

protected:
    void closeDescriptor();

    int m_descriptor = -1;
    bool m_closed = false;
};

class CZAFSocket;

// A listening socket on all local IPv4 addresses. Every failure throws
// CZAFSocketControlException with its reason (1700 create, 1706 bind, 1705 listen, 1702 accept).
class CZAFServerSocket : public CZAFAbstractSocket {
public:
    CZAFServerSocket();

    // Returns a new connected socket; the caller owns it.
    virtual CZAFSocket* accept();
    // Binds to 0.0.0.0:port (port 0 picks a free port; see getLocalPort).
    virtual void bind(uint16_t port);
    // Listens with a backlog of 5.
    virtual void listen();
    void close() override;

    // The port the socket is bound to, in host order.
    uint16_t getLocalPort() const;

protected:
    int acceptInternal();
};

// A connected socket with single-call read and write.
class CZAFSocket : public CZAFAbstractSocket {
public:
    explicit CZAFSocket(int descriptor) : CZAFAbstractSocket(descriptor) {}

    // One recv: returns the bytes read (0 when the peer closed). Throws CZAFSocketIOException.
    virtual int read(void* buffer, unsigned int length);
    // One send (never raising SIGPIPE): returns the bytes accepted, possibly fewer than asked.
    virtual int write(const void* buffer, unsigned int length);
    virtual void shutdownInput();
    virtual void shutdownOutput();
    // SO_LINGER off, so that close returns at once.
    virtual void setDontLinger();
    // Shuts down both directions (failures are logged as warnings), then closes.
    void close() override;

    // Sends all bytes, looping over partial writes.
    void writeAll(const void* buffer, unsigned int length);
    // Reads exactly `length` bytes; returns false when the peer closes before the first byte and
    // throws CZAFSocketIOException (ECONNRESET) when it closes in the middle.
    bool readAll(void* buffer, unsigned int length);

    // Connects to host:port (an IPv4 dotted address); the caller owns the result.
    static CZAFSocket* connectTo(const char* address, uint16_t port);
    static int getLastError();

protected:
    // Opens a TCP connection to host:port (an IPv4 dotted address) and returns its descriptor.
    // Throws CZAFSocketControlException for a bad address or socket, CZAFSocketIOException when
    // the connection fails.
    static int connectDescriptor(const char* address, uint16_t port);
};

} // namespace oozaf

#endif
