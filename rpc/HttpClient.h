// Carries complete request texts to the rank server on a thread of its own and
// brings back the raw bytes of the answer up to the end of its header block.
#pragma once
#include "rpc/TcpClientChannel.h"
#include "vpk/handle.h"
#include "vpk/thread.h"
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ZorvanRpc {

// Posted to the client's thread: close every connection, release every caller.
const UINT WM_HTTP_STOP = WM_USER + 1;

class HttpClient : private vpk::thread {
public:
    HttpClient();
    ~HttpClient() override;

    // Starts the client's thread (multithreaded apartment, above normal).
    void start();
    // Starts the thread unless it runs; safe from any number of threads at
    // once (every tab's worker finds the client stopped at the same moment).
    void ensure_running();
    // WM_HTTP_STOP, then shutdown with 1000 ms; nothing when the thread does
    // not run. Every caller is released with false, even when the thread had
    // to be killed.
    void stop();
    using vpk::thread::is_running;
    using vpk::thread::shutdown;

    // Queues the request and waits until nothing is queued or in flight, or
    // until the time-out. True: the answer holds what arrived for it.
    bool transact(const std::string& request, DWORD timeout_ms, std::string& answer);

    const std::string& host_name() const { return host_name_; }

protected:
    void on_start() override;
    int run() override;
    void on_stop() override;

private:
    typedef std::shared_ptr<TcpClientChannel::Message_> message_ptr;
    typedef std::shared_ptr<TcpClientChannel> channel_ptr;
    // A wait this long without any event closes every channel.
    static const DWORD kIdleMs = 10000;

    bool enqueue(const message_ptr& message);
    bool pump_messages();
    void process_queue();
    void close_channel(const channel_ptr& channel);
    void close_all_channels();
    DWORD close_expired_channels();
    void drop_queue();
    bool release_if_idle_locked();
    void release_all();

    int queue_limit_;
    int channel_limit_;
    std::list<message_ptr> queue_;
    std::string host_name_;
    int port_;
    std::vector<HANDLE> wait_handles_;
    std::map<HANDLE, channel_ptr> channels_by_event_;
    std::vector<channel_ptr> open_channels_;
    vpk::unique_event drained_;
    vpk::unique_event pending_;
    vpk::critical_section queue_lock_;
    vpk::critical_section start_lock_;  // start, stop and the check between them
};

}  // namespace ZorvanRpc
