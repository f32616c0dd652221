// Notification reassembly over a sequence of packets, shared by the targets
// of the three links. Each packet reaches the reader's onData exactly as the
// receiving thread hands it over, in a buffer of exactly its size; card-data
// packets on the way are decoded for real.
//
// Input: a sequence of length-prefixed packets. What the delegate receives
// must be consistent: at most one notification per packet, data present
// exactly when the announced length is not zero, every byte readable, and
// errors only with code 17.
#pragma once

#include <cstring>
#include <memory>

#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "reader/Strivo.h"
#include "reader/Strivo_Delegate.h"

namespace quorin_test {

class CheckingDelegate : public quorin::Strivo_Delegate {
public:
    void OnError(quorin::Strivo*, int err, char* errString) override {
        FUZZ_CHECK(err == 17);
        FUZZ_CHECK(errString != nullptr && std::strlen(errString) < 64);
        ++errors;
    }
    void OnDeviceChange(quorin::Strivo*, EDeviceStateValues) override {}
    void OnCardUpdate(quorin::Strivo*, ECardDataStateValues) override { ++cards; }
    void OnNotification(quorin::Strivo*, unsigned short, const unsigned char* data,
                        int dataLen) override {
        FUZZ_CHECK(dataLen >= 0 && dataLen <= 0xFFFF);
        FUZZ_CHECK((data == nullptr) == (dataLen == 0));
        unsigned sum = 0;
        for (int i = 0; i < dataLen; ++i) {
            sum += data[i];  // every byte must be inside the delivered buffer
        }
        checksum += sum;
        ++notifications;
    }

    int errors = 0;
    int cards = 0;
    int notifications = 0;
    unsigned checksum = 0;
};

// A reader of class Link with no connection: onData is called directly, as
// the connection's receiving thread would.
template <class Link>
class DetachedReader : public Link {
public:
    DetachedReader() { this->setSleepFunction(&DetachedReader::noPause); }
    unsigned char state() const { return this->notificationHeader[0]; }

private:
    static void noPause(int) {}
};

template <class Link>
int fuzzNotificationSequence(const uint8_t* data, size_t size, size_t maxPacket) {
    FuzzInput in(data, size);
    CheckingDelegate delegate;
    DetachedReader<Link> reader;
    reader.setDelegate(&delegate);
    while (!in.empty()) {
        std::vector<unsigned char> packet = in.chunk(maxPacket);
        std::unique_ptr<unsigned char[]> exact(new unsigned char[packet.size() + 1]);
        if (!packet.empty()) {
            std::memcpy(exact.get(), packet.data(), packet.size());
        }
        const int before = delegate.notifications;
        reader.onData(nullptr, exact.get(), static_cast<int>(packet.size()));
        FUZZ_CHECK(delegate.notifications - before <= 1);
        const unsigned char state = reader.state();
        FUZZ_CHECK(state == 0 || state == 2 || state == 3);
    }
    reader.setDelegate(nullptr);
    return 0;
}

}  // namespace quorin_test
