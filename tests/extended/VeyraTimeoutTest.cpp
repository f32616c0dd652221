// A response read that fails (a serial reader that never answers, a closed
// link) ends the command at once: one time-out bounds one whole exchange.
#include <gtest/gtest.h>

#include "ExtendedTestSupport.h"
#include "extended/Veyra.h"
#include "extended/VeyraSerial.h"

using namespace quorin;
using namespace quorin_test;

namespace {

template <class Reader>
void expectOneReadPerFailure(Reader& reader, ScriptedConnection* conn) {
    // The fallback would answer a second read with a packet of a response in
    // progress; the reader must not wait for it.
    conn->setFallback([](unsigned char, int) {
        return ScriptedConnection::Answer{0, responsePacket(0, 10, 20)};
    });
    for (int failure : {1, 5}) {
        conn->clearRecords();
        conn->queueFailure(failure);
        Bytes buffer(8192, 0);
        int length = 8192;
        EXPECT_EQ(reader.getResponse(buffer.data(), &length), failure);
        EXPECT_EQ(conn->reads().size(), 1u) << "result " << failure;
    }
    // A packet, then a read that fails: nothing more is read either.
    conn->clearRecords();
    conn->queueAnswer(responsePacket(0, 10, 20));
    conn->queueFailure(1);
    Bytes buffer(8192, 0);
    int length = 8192;
    EXPECT_EQ(reader.getResponse(buffer.data(), &length), 1);
    EXPECT_EQ(conn->reads().size(), 2u);
}

}  // namespace

TEST(VeyraTimeout, AFailedReadIsNotFollowedByDrainingReads) {
    PauseLog::reset();
    Probe<VeyraSerial> serial;
    expectOneReadPerFailure(serial, serial.attach());
    Probe<Veyra> usb;
    expectOneReadPerFailure(usb, usb.attach());
}
