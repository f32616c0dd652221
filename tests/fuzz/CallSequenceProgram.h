// The input language of the call_sequence fuzz target, shared by the target
// and the seed corpus writer.
//
// An input is one byte of first-generation callbacks to register (FIRST_*
// bits), then operations: an opcode byte (taken modulo OP_COUNT) and its
// argument bytes. Arguments past the end of the input read as 0.
//
//   OPEN_EX  name, behaviour     OpenDeviceEx; behaviour: the Action its
//                                callbacks take (low bits), NO_CALLBACKS
//   CLOSE_EX token               CloseDeviceEx of the token-th open (mod count)
//   STALE    choice              calls on a handle that is not open: choice % 4
//                                0 zero, 1 not issued yet, 2 near ULONG_MAX,
//                                3 a closed one
//   SYNC     who, form [, token] a synchronous command; who % 4 == 3: the
//                                first generation (form % 4: QuorinSendCommand,
//                                ...WithLength, SendCommand, ...WithLength),
//                                else on a token (form % 3: SendCommandEx,
//                                SendCommandWithLengthEx, an extended command)
//   ASYNC    who [, token]       SendData (who % 4 == 3) or SendDataEx
//   SWIPE    reader              a swipe (reader % 3; 0x80: a long track 3)
//   NOTIFY   id, length(2)       a notification of the extended reader
//   PLUG     reader              unplugs the reader, or plugs it back
//   FIRST    mode, name          mode % 3: 0 CloseDevice, 1 OpenDevice,
//                                2 OpenDevice whose callback closes it
//   RACE     kind, token, token  two host threads at once; kind % 4: 0 two
//                                commands, 1 a command and a close, 2 two
//                                closes, 3 a first-generation and an Ex command
//   TEXTS    choice, length(2), token   STATIC_STRING, long command texts
//   SETTLE                       waits until nothing runs; checks answers
//   DELIVERED                    waits until the readers' reports were read
//                                (their callbacks may still be due or running)
//   WATCH    mode                OnDeviceListChanged, mode % WATCH_MODES (see
//                                WatchMode); only in inputs whose first byte
//                                has WATCH_DEVICE_LIST: their opcodes are taken
//                                modulo OP_COUNT + 1, so inputs without it
//                                read as they always did
//   HOSTILE  kind, ...           a reader that misbehaves, kind % HOSTILE_KINDS
//                                (HostileKind); only in inputs whose first
//                                byte has HOSTILE_READERS: their opcodes are
//                                taken modulo one more, HOSTILE the last
//     H_NOTIFY  id, length(2), chunk, fault, at
//                                a notification of the extended reader
//                                (length % 8000 bytes) whose
//                                packets (chunk % 200 + 1 bytes each) arrive
//                                as fault % PACKET_FAULTS says, at packet
//                                at % count
//     H_ANSWER  who, fault, token
//                                a command on a token whose answer goes wrong
//                                (fault % ANSWER_FAULTS); who % 2: SendCommandEx
//                                or SendDataEx (an unplug: always synchronous)
//     H_CARD    reader, fault, length
//                                a swipe whose report is cut to length % its
//                                size (fault % 2 == 0) or comes twice
//     H_SERIAL  framing, fault, noise
//                                a serial reader on a pseudo-terminal
//                                (framing % 3: SLIP, LEGACY, TIDELINK): a
//                                notification (noise & 0x80 on SLIP: 5,000
//                                bytes, run-length encoded), then one command
//                                whose reply goes wrong as fault %
//                                SERIAL_FAULTS says
#pragma once

#include <cstdint>

namespace quorin_test {
namespace call_sequence {

enum Op : uint8_t {
    OPEN_EX,
    CLOSE_EX,
    STALE,
    SYNC,
    ASYNC,
    SWIPE,
    NOTIFY,
    PLUG,
    FIRST,
    RACE,
    TEXTS,
    SETTLE,
    DELIVERED,
    OP_COUNT
};
constexpr uint8_t WATCH = OP_COUNT;
constexpr uint8_t HOSTILE = OP_COUNT + 1;  // the last opcode of an input that has it

enum HostileKind : uint8_t { H_NOTIFY, H_ANSWER, H_CARD, H_SERIAL, HOSTILE_KINDS };
// How the packets of a notification arrive.
enum PacketFault : uint8_t {
    PACKET_WHOLE,
    PACKET_LOST,       // one packet never arrives
    PACKET_TWICE,      // one packet arrives twice
    PACKET_SWAPPED,    // one packet arrives after the next one
    PACKET_CUT,        // one packet arrives cut short (its header whole)
    PACKET_TAIL_LOST,  // the packets from one on never arrive
    PACKET_FAULTS
};
// How a reader answers a command.
enum AnswerFault : uint8_t {
    ANSWER_NEVER,    // every read of the answer fails
    ANSWER_CUT,      // the answer is shorter than its own length byte
    ANSWER_REFUSED,  // the reader answers with an error result code
    ANSWER_UNPLUG,   // the reader is pulled out while the command runs
    ANSWER_FAULTS
};
// How a serial reader answers a command.
enum SerialFault : uint8_t {
    SERIAL_WHOLE,
    SERIAL_NOISE_FIRST,  // a garbled frame or line comes before the reply
    SERIAL_CUT_REPLY,    // the reply disagrees with its own lengths
    SERIAL_EMPTY_LINE,   // an empty line (an empty SLIP frame) before the reply
    SERIAL_NEVER,        // no reply
    SERIAL_HANG_UP,      // the line hangs up once the command arrived
    SERIAL_BAD_FRAME,    // a notification frame disagrees with its length
    SERIAL_CLOSED,       // no reply, and the host closes the reader meanwhile
    SERIAL_FAULTS
};

// What an Ex open's callbacks do, once, in the first callback that runs.
enum Action : uint8_t {
    ACT_NONE,
    ACT_CLOSE_SELF,
    ACT_CLOSE_LATER,  // closes a reader opened after its own: no cycle of closes
    ACT_COMMAND,      // a synchronous command on its own reader
    ACT_UNREGISTER,   // unregisters its own callbacks
    ACT_COUNT
};
constexpr uint8_t NO_CALLBACKS = 0x80;

// The first-generation callbacks registered for the whole input.
constexpr uint8_t FIRST_CARD_DATA = 1;
constexpr uint8_t FIRST_RESPONSE = 2;
constexpr uint8_t FIRST_NOTIFICATION = 4;
constexpr uint8_t FIRST_EXTENDED_RESPONSE = 8;
// Not a callback of the first generation: a reader-change watcher (recording)
// is registered before the first operation, and WATCH is an operation.
constexpr uint8_t WATCH_DEVICE_LIST = 0x10;
// Readers may misbehave: HOSTILE is an operation.
constexpr uint8_t HOSTILE_READERS = 0x40;

// What a WATCH operation registers: nothing (clears), or a watcher that
// records every change and then, on its first call or on every arrival,
// does more from inside its callback.
enum WatchMode : uint8_t {
    WATCH_CLEAR,
    WATCH_RECORD,
    WATCH_OPEN,          // opens and closes each reader that arrived
    WATCH_CLEAR_SELF,    // clears its own registration
    WATCH_REPLACE_SELF,  // registers a recording watcher in its place
    WATCH_MODES
};

// The three readers: SN1 and SN10 (plain protocol), EMV7 (extended).
constexpr int READERS = 3;
enum Reader : uint8_t { SN1, SN10, EMV7 };

// How an open names its reader.
enum NameKind : uint8_t {
    LISTED,        // "HID://SN1"
    LOWER_CASE,    // "hid://sn1"
    SYSTEM_PATH,   // "HID://" + the hidapi path
    START,         // "HID://SN" or "HID://EM"
    FIRST_LISTED,  // null or "" (by reader parity)
    NOTHING,       // "HID://NOSUCH"
    LOWER_SCHEME,  // "hid://SN1"
    LONGER,        // "HID://SN10" for SN1: the serial number with a "0"
    NAME_KINDS
};
constexpr uint8_t nameByte(Reader reader, NameKind kind) {
    return static_cast<uint8_t>(kind * READERS + reader);
}

enum FirstMode : uint8_t { FIRST_CLOSE, FIRST_OPEN, FIRST_OPEN_CLOSING_CALLBACK };
enum RaceKind : uint8_t { RACE_COMMANDS, RACE_COMMAND_CLOSE, RACE_CLOSES, RACE_GENERATIONS };

}  // namespace call_sequence
}  // namespace quorin_test
