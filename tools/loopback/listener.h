#pragma once
// The accepting half of the loopback HTTP servers (the stand-in and the
// tests' scripted server): a socket on 127.0.0.1, one thread per connection
// within a bound, an optional lifetime, and a stop that wakes every
// connection blocked in a read or write and joins its thread.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <thread>

#include "tools/loopback/http.h"

namespace lumigrab::loopback {

struct ListenerLimits {
    int port = 0;                 // 0: any free port
    std::size_t maxOpen = 64;     // connections served at once
    std::size_t maxAccepted = std::numeric_limits<std::size_t>::max();  // over the whole life
    // When maxOpen are open: false leaves newcomers waiting in the backlog,
    // true accepts each and hands it to the `refuse` call instead.
    bool refuseWhenFull = false;
    // Receive and send time-outs on every connection.
    std::chrono::milliseconds idleTimeout{10000};
    // Accepting ends after this long; zero: only stop() ends it.
    std::chrono::milliseconds lifetime{0};
};

class Listener {
public:
    // Runs on the connection's own thread; the listener closes the socket
    // after it returns.
    using Serve = std::function<void(int fd)>;
    // A connection over the bound (refuseWhenFull); closed after the call.
    using Refuse = std::function<void(int fd)>;
    // Called once when accepting ends (stop() or the lifetime), before the
    // open connections are woken, so handlers can see that they must end.
    using Ending = std::function<void()>;

    // Listens at once; throws std::runtime_error when it cannot. Accepting
    // starts with start().
    explicit Listener(ListenerLimits limits);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    void start(Serve serve, Refuse refuse = {}, Ending ending = {});
    // Ends accepting, wakes and joins every connection; safe to call again.
    void stop();

    int port() const { return port_; }
    bool finished() const { return finished_; }
    std::size_t accepted() const { return accepted_; }

private:
    struct Connection {
        std::thread thread;
        int fd = -1;
        bool done = false;
    };

    void acceptLoop();
    void reapFinished();
    void closeAll();

    ListenerLimits limits_;
    UniqueFd listenFd_;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    int port_ = 0;
    Serve serve_;
    Refuse refuse_;
    Ending ending_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    std::atomic<std::size_t> accepted_{0};
    std::mutex stopCallMutex_;
    std::thread acceptThread_;

    std::mutex connectionsMutex_;
    std::list<Connection> connections_;
    std::size_t open_ = 0;
};

}  // namespace lumigrab::loopback
