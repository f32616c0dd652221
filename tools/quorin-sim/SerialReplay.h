// A recorded serial reader played on a pseudo-terminal (quorin-sim replay).
//
// The host opens the slave side as a serial port; each open and close of it
// (seen through inotify) starts and ends a recorded session. Bytes the host
// writes are matched with the recorded writes (a write may arrive in
// pieces; bytes that no recorded write begins with are reported); the
// chunks the reader sent go out as recorded (ReplayScript), and a recorded
// hang-up hangs the line up.
//
// Threads: one of its own, started by start() and joined by the destructor
// (woken through an eventfd).
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "Recording.h"
#include "ReplayScript.h"

namespace quorin_sim {

class SerialReplay {
public:
    SerialReplay(const Recording::Device& device, ReplayScript::Options options,
                 ReplayScript::Report report);
    ~SerialReplay();
    SerialReplay(const SerialReplay&) = delete;
    SerialReplay& operator=(const SerialReplay&) = delete;

    bool start(std::string* error);
    // "SERIAL://PORT=<pty>" and the recorded line options.
    std::string path() const;
    ReplayScript& script() { return m_script; }

private:
    void run();
    void takeBytes(bool flush);
    void wake();

    ReplayScript m_script;
    int m_master = -1;
    int m_slave = -1;
    int m_inotify = -1;
    int m_wakeFd = -1;
    std::string m_slavePath;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    Recording::Bytes m_inbound;  // the thread's: bytes no recorded write took yet
};

}  // namespace quorin_sim
