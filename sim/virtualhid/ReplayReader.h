// A reader of a recording on the virtual bus: the recorded device's USB
// identity and strings, its behaviour played by a ReplayScript (feature
// reports answered as recorded, input reports and an unplug sent at their
// recorded times). A player thread of its own sends what the reader sent by
// itself; the destructor stops and joins it. In step mode each such event
// waits for a byte on stepFd (or for step()).
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "ReplayScript.h"
#include "virtualhid/VirtualReader.h"

namespace quorin_sim {

class ReplayReader : public VirtualReader {
public:
    ReplayReader(const Recording::Device& device, ReplayScript::Options options,
                 ReplayScript::Report report, int stepFd = -1);
    ~ReplayReader() override;

    ReplayScript& script() { return m_script; }

    Report onGetFeature(uint8_t reportId) override;
    void onSetFeature(const Report& report) override;
    void onOpened() override;
    void onClosed() override;

private:
    void play();
    void readSteps(int fd);

    ReplayScript m_script;
    std::mutex m_waitLock;
    std::condition_variable m_wake;
    bool m_woken = false;  // guarded by m_waitLock
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_unplugged{false};
    int m_stopFd = -1;
    std::thread m_player;
    std::thread m_stepper;
};

}  // namespace quorin_sim
