#include "requeststream.h"

#include <algorithm>
#include <cstring>

namespace orvendal::web {

using std::chrono::milliseconds;

RequestStream::RequestStream(Channel& channel, const Limits& limits, Counters& counters)
    : channel_(channel), limits_(limits), counters_(counters) {}

bool RequestStream::waitForRequest(milliseconds timeout) {
    return begin_ < end_ || channel_.readable(timeout);
}

void RequestStream::beginRequest() {
    inHead_ = true;
    refused_ = false;
    headBytes_ = 0;
    headDeadline_ = std::chrono::steady_clock::now() + limits_.headTime;
}

void RequestStream::refuse(Refusal why) {
    if (!refused_) {
        refused_ = true;
        counters_.count(why);
    }
}

bool RequestStream::is_readable() const {
    if (begin_ < end_) {
        return true;
    }
    milliseconds wait = limits_.readTimeout;
    if (inHead_) {
        wait = std::min(wait, std::chrono::ceil<milliseconds>(headDeadline_ -
                                                              std::chrono::steady_clock::now()));
        if (wait <= milliseconds(0)) {
            return false;
        }
    }
    return channel_.readable(wait);
}

bool RequestStream::is_writable() const {
    return waitSocket(channel_.socket(), true, limits_.writeTimeout);
}

ssize_t RequestStream::read(char* ptr, size_t size) {
    if (inHead_ && headBytes_ >= limits_.headBytes) {
        refuse(Refusal::RequestSize);
        return -1;
    }
    if (begin_ == end_) {
        if (!is_readable()) {
            // Some of the head came, and not the rest in time: a slow client, not an idle one.
            if (inHead_ && headBytes_ > 0) {
                refuse(Refusal::SlowRequest);
            }
            return -1;
        }
        const long got = channel_.read(buffer_.data(), buffer_.size());
        if (got <= 0) {
            return got;
        }
        begin_ = 0;
        end_ = static_cast<std::size_t>(got);
    }
    std::size_t count = std::min(size, end_ - begin_);
    if (inHead_) {
        count = std::min(count, limits_.headBytes - headBytes_);
        headBytes_ += count;
    }
    std::memcpy(ptr, buffer_.data() + begin_, count);
    begin_ += count;
    return static_cast<ssize_t>(count);
}

ssize_t RequestStream::write(const char* ptr, size_t size) {
    if (!is_writable()) {
        return -1;
    }
    return channel_.write(ptr, size);
}

void RequestStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    socketAddress(channel_.socket(), true, ip, port);
}

void RequestStream::get_local_ip_and_port(std::string& ip, int& port) const {
    socketAddress(channel_.socket(), false, ip, port);
}

} // namespace orvendal::web
