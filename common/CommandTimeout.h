#pragma once

#include <chrono>

namespace quorin {

// Sets the command time-out in milliseconds (10000 at load): how long one
// command exchange may take. Set by the host; the transports read it as
// commandDeadline() below.
void setCommandTimeoutMs(int timeoutMs);

// One time-out bounds one whole command exchange, however many writes and
// reads it takes (packets, next-packet requests). While an ExchangeDeadline
// lives on a thread, commandDeadline() on that thread is the moment the
// time-out ends for the exchange it marks; elsewhere it is now plus the
// time-out.
class ExchangeDeadline {
public:
    ExchangeDeadline();
    ~ExchangeDeadline();
    ExchangeDeadline(const ExchangeDeadline&) = delete;
    ExchangeDeadline& operator=(const ExchangeDeadline&) = delete;

private:
    const ExchangeDeadline* m_outer;
    std::chrono::steady_clock::time_point m_deadline;
    friend std::chrono::steady_clock::time_point commandDeadline();
};

std::chrono::steady_clock::time_point commandDeadline();

}  // namespace quorin
