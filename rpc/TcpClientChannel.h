// One non-blocking TCP connection that carries one request to the rank server
// and collects the answer up to the end of its header block. Runs only on the
// HTTP client's thread.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <cstdint>
#include <memory>
#include <string>

namespace ZorvanRpc {

class TcpClientChannel {
public:
    // A request and its answer, shared by the waiting caller and the channel.
    struct Message_ {
        explicit Message_(const std::string& text) : request(text) {}
        std::string request;
        std::string answer;
        bool complete = false;
        uint32_t sent = 0;
        char buffer[4096];
    };

    explicit TcpClientChannel(std::shared_ptr<Message_> message);
    TcpClientChannel(const TcpClientChannel&) = delete;
    TcpClientChannel& operator=(const TcpClientChannel&) = delete;
    virtual ~TcpClientChannel();

    // False: the connection is under way (FD_CONNECT follows); true: finished.
    bool connect(const std::string& host, int port);
    // Handles what the socket event reports; true: finished, close the channel.
    bool on_network_event();

    // Closes the socket, then its event.
    void close();
    bool is_open() const { return socket_ != 0; }
    HANDLE socket_event() const { return event_; }
    const std::shared_ptr<Message_>& message() const { return message_; }

private:
    bool start_sending();
    bool send_pending();
    bool receive();

    SOCKET socket_ = 0;
    HANDLE event_ = nullptr;
    std::shared_ptr<Message_> message_;
};

// Raises the calling thread's WinSock error as an HRESULT.
[[noreturn]] void throw_wsa_error();

} // namespace ZorvanRpc
