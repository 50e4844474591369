#include "rpc/HttpClient.h"
#include "rpc/LookupTrace.h"
#include "settings/ServiceSettings.h"
#include "vpk/com_exception.h"
#include "vpk/text.h"
#include <wininet.h>

namespace ZorvanRpc {

namespace {

void set_event(HANDLE e)
{
    if (!SetEvent(e)) vpk::throw_last_error();
}

void reset_event(HANDLE e)
{
    if (!ResetEvent(e)) vpk::throw_last_error();
}

}  // namespace

HttpClient::HttpClient() : queue_limit_(10), channel_limit_(4), port_(80)
{
    // Taken once: a changed host needs the library to be loaded again.
    ServiceSettings settings;
    settings.Load();
    host_name_ = vpk::to_thread_code_page(settings.HTTPRpcHost);
    drained_.reset(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    if (!drained_) vpk::throw_last_error();
    pending_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!pending_) vpk::throw_last_error();
    WSADATA data;
    if (const int rc = WSAStartup(0x0202, &data)) {
        SetLastError(static_cast<DWORD>(rc));
        vpk::throw_last_error();
    }
}

HttpClient::~HttpClient()
{
    try {
        stop();
    } catch (...) {
        // The thread base kills a thread that is still held.
    }
    WSACleanup();
}

void HttpClient::start()
{
    vpk::thread::start(THREAD_PRIORITY_ABOVE_NORMAL, false);
}

void HttpClient::ensure_running()
{
    vpk::critical_section_lock hold(start_lock_);
    if (!is_running()) start();
}

void HttpClient::stop()
{
    // Decided under the lock that starts the thread: two tabs closing at once
    // on their own threads both ask, and only the first has a thread to stop.
    vpk::critical_section_lock hold(start_lock_);
    if (!is_running()) return;
    PostThreadMessageW(thread_id(), WM_HTTP_STOP, 0, 0);
    vpk::thread::shutdown(1000);
    // A thread killed in a slow name lookup or probe never ran on_stop: its
    // channels are still open and their callers would wait their whole
    // time-out. The thread is gone now, so this thread may close them.
    release_all();
}

bool HttpClient::enqueue(const message_ptr& message)
{
    vpk::critical_section_lock lock(queue_lock_);
    if (static_cast<int>(queue_.size()) > queue_limit_) return false;
    reset_event(drained_.get());
    queue_.push_back(message);
    // Before the wake-up: the client thread runs at a higher priority.
    TraceLookup(LookupStage::queued, message.get());
    set_event(pending_.get());
    return true;
}

bool HttpClient::transact(const std::string& request, DWORD timeout_ms, std::string& answer)
{
    message_ptr message = std::make_shared<TcpClientChannel::Message_>(request);
    if (!enqueue(message)) return false;
    // Released when nothing is queued or in flight, not when this request
    // alone is done: concurrent callers finish together.
    const DWORD r = WaitForSingleObject(drained_.get(), timeout_ms);
    if (r == WAIT_TIMEOUT) TraceLookup(LookupStage::timed_out, message.get());
    TraceLookup(LookupStage::released, message.get());
    if (r == WAIT_TIMEOUT) return false;
    if (r != WAIT_OBJECT_0) vpk::throw_last_error();
    if (!message->complete) return false;
    answer = message->answer;
    return true;
}

void HttpClient::on_start()
{
    // A thread ended by shutdown's kill leaves its channels behind; their
    // handles must not stay in the wait beside the new pending entry.
    while (!open_channels_.empty()) close_channel(open_channels_.front());
    channels_by_event_.clear();
    wait_handles_.assign(1, pending_.get());
    // Requests queued while no thread ran are served now rather than at the
    // next call; their callers wait for them instead of being let go empty.
    vpk::critical_section_lock lock(queue_lock_);
    if (queue_.empty()) {
        reset_event(pending_.get());
        set_event(drained_.get());
    } else {
        set_event(pending_.get());
    }
}

bool HttpClient::pump_messages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (handle_message(msg)) continue;
        // Both end the loop, whichever comes first; on_stop then closes every
        // channel and releases every caller. Acting on only one of them lost
        // the other, and a lost quit ends in a kill.
        if (msg.message == WM_QUIT || msg.message == WM_HTTP_STOP) return false;
        DispatchMessageW(&msg);
    }
    return true;
}

// Closes the channels that outlived their time; returns how long the next
// wait may last before another one does.
DWORD HttpClient::close_expired_channels()
{
    DWORD wait_ms = kIdleMs;
    const ULONGLONG now = GetTickCount64();
    for (size_t i = 0; i < open_channels_.size();) {
        const channel_ptr channel = open_channels_[i];
        const DWORD left = channel->time_left(now);
        if (left == 0) {
            close_channel(channel);  // the caller gets false, as for a failed read
            continue;
        }
        if (left < wait_ms) wait_ms = left;
        ++i;
    }
    return wait_ms;
}

int HttpClient::run()
{
    for (;;) {
        if (!pump_messages()) return 0;
        // Checked at every turn: a drip of bytes never lets the wait time out.
        const DWORD wait_ms = close_expired_channels();
        const DWORD count = static_cast<DWORD>(wait_handles_.size());
        const DWORD r = MsgWaitForMultipleObjects(count, wait_handles_.data(), FALSE, wait_ms, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0 + count) continue;  // pump_messages takes them
        if (r == WAIT_TIMEOUT) {
            // Ten seconds without any event: nothing in flight is alive.
            if (wait_ms == kIdleMs) close_all_channels();
            continue;
        }
        if (r >= count) vpk::throw_last_error();
        if (r == WAIT_OBJECT_0) {
            try {
                process_queue();
            } catch (...) {
                // The queue was dropped; its callers get false.
            }
            continue;
        }
        const auto found = channels_by_event_.find(wait_handles_[r]);
        if (found == channels_by_event_.end()) continue;
        const channel_ptr channel = found->second;
        bool finished = true;
        try {
            finished = channel->on_network_event();
        } catch (...) {}
        if (finished) close_channel(channel);
    }
}

void HttpClient::process_queue()
{
    try {
        for (;;) {
            if (static_cast<int>(open_channels_.size()) >= channel_limit_) {
                reset_event(pending_.get());
                return;
            }
            message_ptr message;
            bool released = false;
            {
                vpk::critical_section_lock lock(queue_lock_);
                if (queue_.empty()) {
                    reset_event(pending_.get());
                    // A request whose probe failed has no channel to close:
                    // its caller is released here, at once, instead of after
                    // its whole time-out.
                    released = release_if_idle_locked();
                } else {
                    message = queue_.front();
                    queue_.pop_front();
                }
            }
            if (!message) {
                if (released) TraceLookup(LookupStage::drained, nullptr);
                return;
            }
            TraceLookup(LookupStage::dequeued, message.get());
            // An unreachable server costs the probe, not a socket per request.
            const std::string url = "http://" + host_name_;
            const BOOL reachable = InternetCheckConnectionA(url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0);
            TraceLookup(LookupStage::probed, message.get());
            if (!reachable) continue;
            channel_ptr channel;
            try {
                channel = std::make_shared<TcpClientChannel>(message);
                reset_event(drained_.get());
                if (channel->connect(host_name_, port_)) {
                    close_channel(channel);
                } else {
                    open_channels_.push_back(channel);
                    channels_by_event_[channel->socket_event()] = channel;
                    wait_handles_.push_back(channel->socket_event());
                }
            } catch (...) {
                if (channel) close_channel(channel);
                throw;
            }
        }
    } catch (...) {
        drop_queue();
        Sleep(200);
        throw;
    }
}

// The dropped requests' callers are let go now, unless other requests are
// still in flight: they all wait for the last one.
void HttpClient::drop_queue()
{
    bool released;
    {
        vpk::critical_section_lock lock(queue_lock_);
        queue_.clear();
        ResetEvent(pending_.get());
        released = release_if_idle_locked();
    }
    if (released) TraceLookup(LookupStage::drained, nullptr);
}

// Under the queue lock, so that a request queued meanwhile cannot find its
// caller released before its answer: enqueue resets the event under it too.
bool HttpClient::release_if_idle_locked()
{
    if (!queue_.empty()) {
        set_event(pending_.get());
        return false;
    }
    if (!open_channels_.empty()) return false;
    set_event(drained_.get());
    return true;
}

void HttpClient::close_channel(const channel_ptr& given)
{
    // The caller may pass an element of the maps below, which are erased
    // before the channel is used for the last time.
    const channel_ptr channel = given;
    for (auto it = channels_by_event_.begin(); it != channels_by_event_.end(); ++it) {
        if (it->second != channel) continue;
        const HANDLE key = it->first;
        channels_by_event_.erase(it);
        for (auto h = wait_handles_.begin(); h != wait_handles_.end(); ++h) {
            if (*h == key) {
                wait_handles_.erase(h);
                break;
            }
        }
        break;
    }
    for (auto c = open_channels_.begin(); c != open_channels_.end(); ++c) {
        if (*c == channel) {
            open_channels_.erase(c);
            break;
        }
    }
    // A wake-up left set while the queue is empty costs one look at it;
    // resetting it here could swallow that of a request queued meanwhile.
    bool released;
    {
        vpk::critical_section_lock lock(queue_lock_);
        released = release_if_idle_locked();
    }
    if (released) TraceLookup(LookupStage::drained, channel->message().get());
    // The socket is closed after the callers are released: its answer is
    // complete or failed by now, and under Wine the close is two trips to
    // the server that nobody needs to wait for.
    if (channel->is_open()) channel->close();
}

void HttpClient::close_all_channels()
{
    while (!open_channels_.empty()) close_channel(open_channels_.front());
}

void HttpClient::on_stop()
{
    release_all();
}

// Closes every channel, drops every queued request and releases their
// callers; on the client's thread as it ends, or after it is gone.
void HttpClient::release_all()
{
    close_all_channels();
    channels_by_event_.clear();
    wait_handles_.clear();
    drop_queue();
}

}  // namespace ZorvanRpc
