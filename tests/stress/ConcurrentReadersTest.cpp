// Two host threads, each driving its own reader through the Ex functions at
// the same time: a serial reader that never answers (each command waits out
// the time-out) must not hold back a USB reader's commands, each thread's
// texts and result codes stay its own, and the thread sanitizer build finds
// no race.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "PtyReader.h"
#include "Quorin.h"
#include "StressSupport.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_test;
using quorin_sim::PlainCommandReader;
using quorin_sim::PtyReader;
using quorin_sim::VirtualHid;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PLAIN_PID = 0x01;

void onCardEx(unsigned long, void*, const char*) {}

}  // namespace

TEST(ConcurrentReaders, ASilentSerialReaderHoldsBackNoOtherReader) {
    VirtualHid::instance().reset();
    auto usb = VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SN1");
    ASSERT_TRUE(usb->setAnswer("45", 0, {0x01, 0x02}));
    PtyReader serial(PtyReader::Framing::SLIP);  // answers nothing
    ASSERT_TRUE(serial.ok()) << serial.error();
    SetCommandTimeout(600);
    const unsigned long a = OpenDeviceEx("HID://SN1");
    const unsigned long b = OpenDeviceEx(serial.serialPath("BAUDRATE=115200").c_str());
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);

    std::atomic<bool> serialBusy{true};
    std::atomic<int> serialWrong{0};
    std::thread slow([&] {
        const char* first = SendCommandEx(b, "4500");
        const std::string kept = first;
        for (int i = 0; i < 3; ++i) {
            if (std::string(SendCommandEx(b, "4600")) != "" || GetResultCodeEx(b) != 1) {
                serialWrong.fetch_add(1);
            }
            OnDataReceivedEx(b, &onCardEx, nullptr);
            GetRawData(b);
        }
        // A text this thread got back is not overwritten by the other
        // thread's calls.
        if (std::string(first) != kept) {
            serialWrong.fetch_add(1);
        }
        serialBusy = false;
    });

    int usbCommands = 0;
    int usbWrong = 0;
    const char* firstAnswer = SendCommandEx(a, "45");
    while (serialBusy.load()) {
        if (std::string(SendCommandEx(a, "45")) != "0102" || GetResultCodeEx(a) != 0) {
            ++usbWrong;
        }
        OnDataReceivedEx(a, &onCardEx, nullptr);
        GetCardDataEx(a);
        GetRawData(a);
        ++usbCommands;
    }
    slow.join();
    EXPECT_STREQ(firstAnswer, "0102");
    EXPECT_EQ(serialWrong.load(), 0);
    EXPECT_EQ(usbWrong, 0);
    // Four serial time-outs of 0.6 s: the USB reader's commands (50 ms each)
    // went on meanwhile.
    EXPECT_GE(usbCommands, 10);
    CloseDeviceEx(a);
    CloseDeviceEx(b);
    SetCommandTimeout(10000);
    VirtualHid::instance().reset();
}
