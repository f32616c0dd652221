// An extended-protocol reader on a Bluetooth LE link.
//
// The reader tells that response data is ready with the two-byte report
// 01 xx; commands wait for it. The signal is kept as a flag under
// cmdDataMutex, so a signal that arrives after a command was written but
// before waitForCommand starts to wait still ends that wait; each write that
// expects a signal clears the flag first, so a stale signal cannot end it.
//
// Threads. The receiving thread runs onData (signal, card data,
// notifications); the command thread waits. The destructor stops the
// connection before the mutex and condition variable go.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/MutexLock.h"
#include "extended/Veyra.h"

namespace quorin {

class VeyraBle : public Veyra {
public:
    VeyraBle();
    ~VeyraBle() override;

    // Sends "4801" and then, whatever the outcome, "4601000014", reading
    // each answer; no result is used.
    void afterOpen() override;
    // Veyra's command path, after clearing a pending data-ready signal.
    int sendCommand(unsigned char* command, int commandLength) override;
    // 0 when the data-ready signal came, 1 when it did not within the
    // time-out (5 s).
    int waitForCommand() override;
    void onData(iConnection* connObject, unsigned char* pData, int dataLen) override;
    int receiveExtendedCommand(unsigned char* buffer, int* bufferLen) override;
    void addNotification(unsigned char* pData, int dataLen) override;

    // For simulations and tests: the longest wait for the data-ready signal.
    void setDataReadyTimeout(std::chrono::milliseconds timeout);

    static constexpr int BUSY_RETRIES = 30;
    static constexpr int READ_AREA = 65536;

protected:
    void signalDataReady();
    void clearDataReady();

    Mutex cmdDataMutex;  // guards m_dataReady
    std::condition_variable commandDataReady;
    bool m_dataReady GUARDED_BY(cmdDataMutex) = false;
    std::atomic<long long> m_timeoutMs{5000};
};

}  // namespace quorin
