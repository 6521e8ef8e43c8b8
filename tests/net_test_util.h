// Loopback set-ups shared by every network test: listeners on 127.0.0.x
// and ::1, a port that refuses (bound, not listening), a listener whose
// backlog is full (connects to it time out), socketpairs, a repeating signal
// timer, and descriptor counting through /proc/self/fd.  Every wait here is
// bounded; traffic never leaves the loopback interface.
#ifndef KITE_TESTS_NET_TEST_UTIL_H
#define KITE_TESTS_NET_TEST_UTIL_H

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace kite_test {

// Fills *addr for ip:port (IPv4 or IPv6 text); returns its length, 0 when
// the text is no IP.
inline socklen_t LoopbackAddr(const std::string &ip, int port,
                              sockaddr_storage *addr)
{
    memset(addr, 0, sizeof(*addr));
    auto *v4 = reinterpret_cast<sockaddr_in *>(addr);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(addr);
    if (inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons((uint16_t)port);
        return sizeof(*v4);
    }
    if (inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons((uint16_t)port);
        return sizeof(*v6);
    }
    return 0;
}

// The IP text and port of a socket address.
inline std::string AddrIp(const sockaddr_storage &addr, int *port = nullptr)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET) {
        auto &v4 = reinterpret_cast<const sockaddr_in &>(addr);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof(text));
        if (port != nullptr) *port = ntohs(v4.sin_port);
    } else {
        auto &v6 = reinterpret_cast<const sockaddr_in6 &>(addr);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof(text));
        if (port != nullptr) *port = ntohs(v6.sin6_port);
    }
    return text;
}

// A TCP socket bound to ip on an ephemeral port; listening unless
// listen_backlog is negative, so that it refuses connects (a port that
// nobody else can take while the object lives).
class LoopbackSocket {
 public:
    explicit LoopbackSocket(const std::string &ip = "127.0.0.1",
                            int listen_backlog = 128)
        : ip_(ip)
    {
        sockaddr_storage addr;
        socklen_t len = LoopbackAddr(ip, 0, &addr);
        fd_ = len == 0 ? -1
                       : socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 || bind(fd_, (sockaddr *)&addr, len) != 0 ||
            (listen_backlog >= 0 && listen(fd_, listen_backlog) != 0) ||
            getsockname(fd_, (sockaddr *)&addr, &len) != 0) {
            Close();
            return;
        }
        AddrIp(addr, &port_);
    }
    ~LoopbackSocket() { Close(); }
    LoopbackSocket(const LoopbackSocket &) = delete;
    LoopbackSocket &operator=(const LoopbackSocket &) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int port() const { return port_; }
    const std::string &ip() const { return ip_; }
    std::string address() const
    {
        return ip_.find(':') == std::string::npos
                   ? ip_ + ":" + std::to_string(port_)
                   : "[" + ip_ + "]:" + std::to_string(port_);
    }

    // Accepts one connection within timeout_ms; -1 when none came.  The
    // peer's address goes to *peer when given.
    int Accept(int timeout_ms = 5000, sockaddr_storage *peer = nullptr) const
    {
        pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) != 1) return -1;
        sockaddr_storage addr;
        socklen_t len = sizeof(addr);
        int fd = accept4(fd_, (sockaddr *)&addr, &len, SOCK_CLOEXEC);
        if (fd >= 0 && peer != nullptr) *peer = addr;
        return fd;
    }

    // Connections waiting to be accepted (drains them, closing each).
    int DrainPending() const
    {
        int count = 0;
        for (int fd; (fd = Accept(0)) >= 0; count++) close(fd);
        return count;
    }

    void Close()
    {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

 private:
    std::string ip_;
    int fd_ = -1;
    int port_ = 0;
};

// A listener whose accept queue is full: further SYNs are dropped, so a
// connect to it waits until its time-out.  The queued connections are held
// until the object dies.
class FullBacklogListener {
 public:
    FullBacklogListener() : listener_("127.0.0.1", 0)
    {
        for (int i = 0; i < 64 && listener_.ok(); i++) {
            sockaddr_storage addr;
            socklen_t len = LoopbackAddr("127.0.0.1", listener_.port(), &addr);
            int fd =
                socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            fillers_.push_back(fd);
            if (connect(fd, (sockaddr *)&addr, len) == 0) continue;
            pollfd pfd = {fd, POLLOUT, 0};
            if (errno == EINPROGRESS && poll(&pfd, 1, 200) == 0) {
                full_ = true;  // this SYN was dropped: the queue is full
                return;
            }
        }
    }
    ~FullBacklogListener()
    {
        for (int fd : fillers_) close(fd);
    }
    bool ok() const { return full_; }
    int port() const { return listener_.port(); }

 private:
    LoopbackSocket listener_;
    std::vector<int> fillers_;
    bool full_ = false;
};

// Both ends of a stream socketpair; the first is made non-blocking when
// asked.  Ends still open are closed with the object.
struct SocketPair {
    int fds[2] = {-1, -1};
    explicit SocketPair(bool nonblocking_first = true)
    {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0 &&
            nonblocking_first) {
            fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
        }
    }
    ~SocketPair()
    {
        CloseEnd(0);
        CloseEnd(1);
    }
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;
    void CloseEnd(int i)
    {
        if (fds[i] >= 0) close(fds[i]);
        fds[i] = -1;
    }
};

// Writes all of data to a blocking descriptor; false on failure.
inline bool WriteAll(int fd, const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= (size_t)n;
    }
    return true;
}

// Reads exactly size bytes, waiting at most timeout_ms for each part.
inline bool ReadAll(int fd, void *data, size_t size, int timeout_ms = 5000)
{
    char *p = static_cast<char *>(data);
    while (size > 0) {
        pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready != 1) return false;
        ssize_t n = read(fd, p, size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        p += n;
        size -= (size_t)n;
    }
    return true;
}

// Open descriptors of this process.
inline int CountOpenFds()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') count++;
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

// True when a socket can be bound to ::1 on this host.
inline bool HasIpv6Loopback()
{
    LoopbackSocket probe("::1");
    return probe.ok();
}

// Delivers SIGALRM every period_us microseconds to a handler that does
// nothing and is installed without SA_RESTART, so that blocking calls of
// the process are interrupted with EINTR while the object lives.
class SignalTimer {
 public:
    explicit SignalTimer(long period_us)
    {
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = [](int) { ticks_++; };
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &old_action_);
        itimerval timer = {{0, period_us}, {0, period_us}};
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    ~SignalTimer()
    {
        itimerval off = {{0, 0}, {0, 0}};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old_action_, nullptr);
    }
    SignalTimer(const SignalTimer &) = delete;
    SignalTimer &operator=(const SignalTimer &) = delete;
    static int ticks() { return ticks_; }

 private:
    static inline std::atomic<int> ticks_{0};
    struct sigaction old_action_;
};

}  // namespace kite_test

#endif
