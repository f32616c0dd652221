// Extended responses: arbitrary collected bytes decoded into hex text, and
// arbitrary packets collected from a reader that answers them one by one.
//
// Input: a selector byte, a two-byte text capacity, then either the
// collected response (direct decoding) or a sequence of length-prefixed
// packets the reader answers to successive reads.
#include <cctype>
#include <cstring>
#include <memory>

#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "ScriptedConnection.h"
#include "extended/Veyra.h"

using namespace quorin;
using quorin_test::Bytes;
using quorin_test::FuzzInput;
using quorin_test::ScriptedConnection;

namespace {

void noPause(int) {}

class CollectingVeyra : public Veyra {
public:
    CollectingVeyra() { setSleepFunction(&noPause); }
    ~CollectingVeyra() override { stopConnection(); }
    ScriptedConnection* attach() {
        auto* conn = new ScriptedConnection();
        adoptConnection(conn, nullptr);
        return conn;
    }
};

// Decodes into a text buffer of exactly `capacity` characters and checks it.
void decode(CollectingVeyra& reader, const unsigned char* response, int length, int capacity) {
    std::unique_ptr<unsigned char[]> exact(new unsigned char[length + 1]);
    if (length > 0) {
        std::memcpy(exact.get(), response, static_cast<size_t>(length));
    }
    std::unique_ptr<char[]> out(new char[capacity + 1]);
    int outLen = capacity;
    const int rc = reader.MakeHexStringFromResponse(exact.get(), length, out.get(), &outLen);
    if (rc == 0 && length >= 2 && response[1] == Veyra::STATUS_EXTENDED_DATA) {
        FUZZ_CHECK(outLen >= 0 && outLen < capacity && outLen % 2 == 0);
        FUZZ_CHECK(out[outLen] == '\0');
        for (int i = 0; i < outLen; ++i) {
            const unsigned char c = static_cast<unsigned char>(out[i]);
            FUZZ_CHECK(std::isxdigit(c) && !std::islower(c));
        }
    }
}

}  // namespace

QUORIN_FUZZ_TARGET(extended_response) {
    FuzzInput in(data, size);
    const int selector = in.u8();
    const int capacity = 1 + in.u16() % 9000;
    CollectingVeyra reader;

    if (selector % 2 == 0) {
        const Bytes response = in.rest();
        decode(reader, response.data(), static_cast<int>(response.size()), capacity);
        return 0;
    }

    ScriptedConnection* conn = reader.attach();
    conn->setPadTo(Veyra::PACKET_SIZE);
    while (!in.empty()) {
        Bytes packet = in.chunk(Veyra::PACKET_SIZE);
        conn->queueAnswer(packet);
    }
    // Collection buffers from tiny to the full collection size.
    const int room = (selector & 0x80) != 0 ? 1 + (capacity % 400) : Veyra::COLLECTION_SIZE + 64;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[room]);
    int length = room;
    if (reader.getResponse(buffer.get(), &length) == 0) {
        FUZZ_CHECK(length >= 0 && length <= room);
        decode(reader, buffer.get(), length, capacity);
    }
    return 0;
}
