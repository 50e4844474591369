// A loopback rank service inside the test process that misbehaves in one
// chosen way on every connection: the reply is a list of sends, each after a
// pause, or nothing at all. Connections that send nothing (the client's
// connectivity probe) are closed quietly, except by a refusing server, which
// reads nothing from anyone.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct FaultScript {
    struct Send {
        DWORD pause_ms;  // before this send
        std::string bytes;
    };
    bool refuse = false;  // close at once after accept, nothing read
    bool stall = false;   // after the sends, keep the connection open until the server stops
    std::vector<Send> sends;
};

class FaultServer {
public:
    FaultServer(const char* address, FaultScript script);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    // Connections accepted, probes included.
    size_t accepted() const { return accepted_; }
    // Complete requests read.
    size_t requests();

private:
    void serve();
    void handle(SOCKET s);

    FaultScript script_;
    SOCKET listener_ = INVALID_SOCKET;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> accepted_{0};
    std::mutex lock_;
    size_t requests_ = 0;
    std::vector<SOCKET> open_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};
