// Writes the seed corpus of every fuzz target from the same valid inputs the
// unit tests use: card reports built by the report builder, packets of the
// extended protocol, SLIP frames of the serial emulator, track texts of the
// parser tests. Run once after changing an input layout:
//     fuzz_seed_corpus tests/fuzz/corpus
#include <sys/stat.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "CallSequenceProgram.h"
#include "CardReport.h"
#include "PtyReader.h"
#include "ReportLayoutOf.h"
#include "extended/ExtendedTestSupport.h"
#include "reader/CRConfigTable.h"

using quorin_sim::CardReport;
using quorin_sim::PtyReader;
using quorin_test::Bytes;
using quorin_test::layoutOf;

namespace {

std::string g_root;

void put16(Bytes& out, size_t v) {
    out.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
    out.push_back(static_cast<unsigned char>(v & 0xFF));
}
void append(Bytes& out, const Bytes& b) {
    out.insert(out.end(), b.begin(), b.end());
}
void append(Bytes& out, const std::string& s) {
    out.insert(out.end(), s.begin(), s.end());
}
// One chunk of the sequence form: two-byte length, then the bytes.
void chunk(Bytes& out, const Bytes& b) {
    put16(out, b.size());
    append(out, b);
}
Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

void write(const std::string& target, const std::string& name, const Bytes& data) {
    const std::string dir = g_root + "/" + target;
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::perror(path.c_str());
        return;
    }
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

const char* ISO1 = "%B4111111111111111^DOE/ALEX^2512101?";
const char* ISO2 = ";4111111111111111=2512101?";
const char* AAMVA1 = "%CASAN JOSE^DOE$ALEX$JR^123 MAIN ST^?";
const char* AAMVA2 = ";6360231234567890=251219900101?";
const char* AAMVA3 = "%!95112      C               M600150BRNBLU?";

void cardReports() {
    for (int i = 0; i < quorin::MAX_NUM_CFG; ++i) {
        const quorin::CRConfigTable& row = quorin::CR_CfgTable[i];
        CardReport swipe(layoutOf(row));
        const bool aamva = i % 4 == 3;
        swipe.track(1, aamva ? AAMVA1 : ISO1)
            .track(2, aamva ? AAMVA2 : ISO2)
            .encodeType(aamva ? 1 : 0);
        if (aamva) {
            swipe.track(3, AAMVA3);
        }
        swipe.maskedTrack(1, "%B4111********1111^DOE/ALEX^2512*******?")
            .maskedTrack(2, ";4111********1111=2512*******?")
            .fluxmark(0x00010203, Bytes(32, 0x5A))
            .serialNumber("B1234567")
            .ksn({0xFF, 0xFF, 0x98, 0x76, 0x54, 0x32, 0x10, 0xE0, 0x00, 0x01})
            .sessionId({1, 2, 3, 4, 5, 6, 7, 8});
        const bool extended = row.dwEncryptionCapable == 1 && i % 2 == 0;
        if (i == 6) {
            swipe.batteryLevel(80);
        }
        Bytes seed = {static_cast<unsigned char>(i)};
        append(seed, extended ? swipe.extendedReport() : swipe.shortReport());
        write("card_report", "row" + std::to_string(i), seed);
    }
}

void parser() {
    auto seed = [](int format, const std::string& t1, const std::string& t2,
                   const std::string& t3) {
        Bytes s = {static_cast<unsigned char>(format), static_cast<unsigned char>(t1.size())};
        append(s, t1);
        s.push_back(static_cast<unsigned char>(t2.size()));
        append(s, t2);
        append(s, t3);
        return s;
    };
    write("msr_parser", "iso", seed(0, ISO1, ISO2, ""));
    write("msr_parser", "iso_title",
          seed(2, "%B5555555555554444^SMITH/JOHN Q.MR^2901?", ";5555555555554444=2901?", ""));
    write("msr_parser", "aamva", seed(1, AAMVA1, AAMVA2, AAMVA3));
    write("msr_parser", "fallback", seed(3, "%CA^DOE^?", ";636023123=251219900101=45=?", ""));
}

void hex() {
    auto seed = [](int cap, const std::string& t) {
        Bytes s = {static_cast<unsigned char>(cap)};
        append(s, t);
        return s;
    };
    write("hex", "upper", seed(16, "0A1B2C3D4E5F"));
    write("hex", "mixed_odd", seed(3, "a0 +1-fZ7"));
    write("hex", "ascii", seed(64, "48656C6C6F00576F726C64"));
}

void compose() {
    auto seed = [](int selector, int capacity, const std::string& t) {
        Bytes s = {static_cast<unsigned char>(selector)};
        put16(s, static_cast<size_t>(capacity));
        append(s, t);
        return s;
    };
    std::string longData;
    for (int i = 0; i < 150; ++i) {
        char b[3];
        std::snprintf(b, sizeof(b), "%02X", i);
        longData += b;
    }
    write("compose", "plain", seed(0, 64, "0001"));
    write("compose", "plain_veyra", seed(0x81, 64, "4800"));
    write("compose", "extended", seed(0x81, 2048, "030b:0102"));
    write("compose", "extended_long", seed(0x81, 4096, "1A0C:" + longData));
    write("compose", "extended_cut", seed(0x01, 4096, "ABCD:" + longData));
    write("compose", "protocol_off", seed(0x82, 128, "030b:0102"));
}

void responses() {
    using quorin_test::responsePacket;
    Bytes direct = {0x00};
    put16(direct, 400);
    Bytes one = direct;
    append(one, responsePacket(0, 10, 10, 0));
    write("extended_response", "one_packet", one);
    Bytes three = direct;
    append(three, responsePacket(0, 52, 120, 0x0102));
    append(three, responsePacket(52, 52, 120, 0x0102));
    append(three, responsePacket(104, 16, 120, 0x0102));
    write("extended_response", "three_packets", three);
    Bytes plain = direct;
    append(plain, Bytes{0x01, 0x00, 0x02, 0xAB, 0xCD});
    write("extended_response", "plain", plain);

    Bytes collected = {0x01};
    put16(collected, 600);
    chunk(collected, Bytes{0x01, 0x0B});
    chunk(collected, responsePacket(0, 52, 100, 0));
    chunk(collected, responsePacket(52, 48, 100, 0));
    write("extended_response", "collected", collected);
}

void notifications() {
    using quorin_test::sequence;
    using quorin_test::usbNotification;
    using quorin_test::wideNotification;
    Bytes usb;
    chunk(usb, usbNotification(0x0300, 0, 10, 10, sequence(10)));
    chunk(usb, usbNotification(0x1234, 0, 0, 300, sequence(256)));
    chunk(usb, usbNotification(0x1234, 256, 44, 300, sequence(44, 256)));
    chunk(usb, usbNotification(0x0301, 0, 0, 0, {}));
    write("notify_usb", "sequence", usb);
    CardReport swipe(layoutOf(quorin::CR_CfgTable[7]));
    swipe.track(1, ISO1).track(2, ISO2);
    Bytes card = swipe.extendedReport();
    card[0] = 0x01;
    Bytes usbCard;
    chunk(usbCard, card);
    write("notify_usb", "card", usbCard);

    for (const char* target : {"notify_ble", "notify_serial"}) {
        Bytes wide;
        chunk(wide, wideNotification(0x02, 0x0300, 0, 10, 10, sequence(10)));
        chunk(wide, wideNotification(0x03, 0x0302, 0, 100, 150, sequence(100)));
        chunk(wide, wideNotification(0x03, 0x0302, 100, 50, 150, sequence(50, 100)));
        chunk(wide, Bytes{0x01, 0x00});
        write(target, "sequence", wide);
        Bytes cardSeq;
        chunk(cardSeq, card);
        write(target, "card", cardSeq);
    }
    Bytes serialCard;
    Bytes hexCard = {0xC0};
    append(hexCard, PtyReader::hex(card));
    chunk(serialCard, hexCard);
    write("notify_serial", "card_hex", serialCard);
}

void filters() {
    const Bytes note = {0x03, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x00, 0x02, 0xC0, 0xDB};
    const Bytes runs = {0x41, 0x42, 0x43, 0x43, 0x43, 0x43, 0x43, 0x44, 0xC0, 0xC0, 0xC0};
    Bytes slip;
    chunk(slip, Bytes{0x48, 0x00});
    chunk(slip, PtyReader::slipFrame(4, {0x00, 0x02, 0xAB, 0xCD}));
    chunk(slip, PtyReader::slipFrame(2, note));
    chunk(slip, PtyReader::slipFrame(3, PtyReader::rleEncode(runs), static_cast<int>(runs.size())));
    Bytes cut = PtyReader::slipFrame(0, runs);
    chunk(slip, Bytes(cut.begin(), cut.begin() + 5));
    chunk(slip, Bytes(cut.begin() + 5, cut.end()));
    chunk(slip, PtyReader::slipFrame(1, PtyReader::rleEncode(runs), static_cast<int>(runs.size())));
    write("filter_slip", "frames", slip);

    Bytes legacy = {4};
    append(legacy, "0A1B");
    chunk(legacy, text("0A1B\r"));
    chunk(legacy, text("%B4111111111111111^DOE/ALEX^2512101?;4111"));
    chunk(legacy, text("111111111111=2512101?\r00\r"));
    write("filter_legacy", "lines", legacy);

    Bytes tide;
    chunk(tide, Bytes{0x48, 0x00});
    chunk(tide, text("0203000A00000300000A000102030405060708090A\r"));
    chunk(tide, text("040000"));
    chunk(tide, text("0102\r05\r"));
    write("filter_tidelink", "lines", tide);

    Bytes fifo = {0xC0, 0xC0, 0x01};
    fifo.push_back(0);
    chunk(fifo, Bytes{0xC0, 0x01, 0x02, 0xC0, 0xC0, 0x03});
    fifo.push_back(0);
    chunk(fifo, Bytes{0x04, 0xC0});
    write("frame_fifo", "slip_markers", fifo);
    Bytes lines = {0x0D, 0x00, 0x00};
    lines.push_back(0);
    chunk(lines, text("\rABC\rDE"));
    lines.push_back(0xFF);
    chunk(lines, text("0123456789ABCDEF"));
    write("frame_fifo", "lines_overflow", lines);

    Bytes rle;
    put16(rle, 64);
    append(rle, PtyReader::rleEncode(runs));
    write("filter_rle", "runs", rle);
    Bytes cutRun;
    put16(cutRun, 8);
    append(cutRun, Bytes{0x41, 0x41, 0x09, 0x42, 0x42});
    write("filter_rle", "cut_and_overflow", cutRun);
}

void serialOptions() {
    write("serial_options", "all",
          text("PORT=/dev/ttyUSB0,BAUDRATE=9600,PARITY=EVEN,DATABITS=7,STOPBITS=1.5,"
               "STARTINGBYTE=0x02,ENDINGBYTE=0x0D,CRCMODE=1,FORMAT=TIDELINK"));
    write("serial_options", "loose", text(" port = /tmp/x , format=LEGACY,,=,a=b=c,PARITY=O"));
    write("serial_options", "bad", text("STOPBITS=3,FORMAT=slip"));
}

void api() {
    auto seed = [](int selector, const Bytes& answer, const std::string& t1, const std::string& t2,
                   const std::string& t3) {
        Bytes s = {static_cast<unsigned char>(selector)};
        chunk(s, answer);
        s.push_back(0);  // the open Ex handle
        put16(s, t1.size());
        append(s, t1);
        s.push_back(static_cast<unsigned char>(t2.size()));
        append(s, t2);
        append(s, t3);
        return s;
    };
    const Bytes ok = {0x00, 0x02, 0xAB, 0xCD};
    Bytes extended = {0x0A, 10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04};
    write("api_text", "first_generation", seed(0, ok, "0001", "\x40", ""));
    write("api_text", "with_length", seed(1, ok, "00020102", "\x40", ""));
    write("api_text", "send_command", seed(2, ok, "4800", "", ""));
    write("api_text", "send_command_ex", seed(4, ok, "0001", "", ""));
    write("api_text", "extended", seed(6, extended, "030b0002ABCD", "", ""));
    write("api_text", "start_transaction",
          seed(7, extended, "000000001000", "000000000000", "0840"));
    write("api_text", "terminal_config", seed(9, extended, "FA0A", "B1234567", "00000000"));
    write("api_text", "read_config", seed(10, extended, "9F1A5F2A", "\x01", ""));
    write("api_text", "send_data", seed(12, ok, "0001", "", ""));
    write("api_text", "send_data_ex", seed(13, ok, "00020001", "", ""));
    write("api_text", "open_ex", seed(15, ok, "FZP", "", ""));
}

}  // namespace

// Programs of the call_sequence target (CallSequenceProgram.h): the
// scenarios of closes during callbacks, racing commands, stale handles,
// paths that are the start of another, unplugs and exit with work in flight.
void callSequences() {
    using namespace quorin_test::call_sequence;
    const uint8_t allFirst =
        FIRST_CARD_DATA | FIRST_RESPONSE | FIRST_NOTIFICATION | FIRST_EXTENDED_RESPONSE;
    auto openEx = [](Reader r, NameKind kind, Action action) {
        return Bytes{OPEN_EX, nameByte(r, kind), action};
    };
    auto program = [](uint8_t first, std::initializer_list<Bytes> steps) {
        Bytes out{first};
        for (const Bytes& step : steps) {
            append(out, step);
        }
        return out;
    };
    auto put = [](const char* name, const Bytes& data) { write("call_sequence", name, data); };

    // A reader closed from its own swipe's callback; its handle is stale after.
    put("close_in_callback", program(0, {openEx(SN1, LISTED, ACT_CLOSE_SELF),
                                         {SWIPE, SN1},
                                         {SETTLE},
                                         {STALE, 3},
                                         {SYNC, 0, 0, 0},
                                         {CLOSE_EX, 0}}));
    // Reader B closed from a callback of reader A, then used.
    put("close_other_in_callback", program(0, {openEx(SN1, LISTED, ACT_CLOSE_LATER),
                                               openEx(SN10, LISTED, ACT_NONE),
                                               {ASYNC, 0, 1},
                                               {SWIPE, SN1},
                                               {SWIPE, SN10},
                                               {SETTLE},
                                               {SYNC, 0, 0, 1},
                                               {STALE, 3}}));
    // Commands of two threads on one reader, and on two, each with its answer.
    put("command_race", program(0, {openEx(SN1, LISTED, ACT_NONE),
                                    openEx(EMV7, LISTED, ACT_NONE),
                                    {RACE, RACE_COMMANDS, 0, 0},
                                    {ASYNC, 0, 0},
                                    {ASYNC, 0, 0},
                                    {RACE, RACE_COMMANDS | 0x14, 0, 1},
                                    {SETTLE}}));
    // A command and a close at once; two closes of one handle at once.
    put("close_races", program(0, {openEx(SN1, LISTED, ACT_NONE),
                                   openEx(SN10, LISTED, ACT_COMMAND),
                                   {RACE, RACE_COMMAND_CLOSE, 0, 0},
                                   {SWIPE, SN10},
                                   {RACE, RACE_CLOSES, 1, 1},
                                   {STALE, 3}}));
    // A closed handle after its reader was opened again under a new one.
    put("stale_after_reopen", program(0, {openEx(SN10, LISTED, ACT_NONE),
                                          {CLOSE_EX, 0},
                                          openEx(SN10, LISTED, ACT_NONE),
                                          {SYNC, 0, 0, 0},
                                          {SYNC, 0, 1, 1},
                                          {STALE, 3},
                                          {STALE, 0},
                                          {STALE, 1},
                                          {STALE, 2}}));
    // SN1 is the start of SN10: each name reaches its own reader, and a
    // reader open under one name is refused under every other.
    put("prefix_paths", program(0, {openEx(SN1, LISTED, ACT_NONE),
                                    openEx(SN10, LISTED, ACT_NONE),
                                    openEx(SN10, LOWER_CASE, ACT_NONE),
                                    openEx(SN10, SYSTEM_PATH, ACT_NONE),
                                    openEx(SN1, START, ACT_NONE),
                                    openEx(SN1, LONGER, ACT_NONE),
                                    {SYNC, 0, 0, 0},
                                    {SYNC, 0, 0, 1},
                                    {CLOSE_EX, 1},
                                    openEx(SN10, LOWER_CASE, ACT_NONE),
                                    {SYNC, 0, 1, 2}}));
    // Unplugged with a command queued, then closed; plugged back and opened.
    put("unplug_then_close", program(0, {openEx(SN10, LISTED, ACT_NONE),
                                         {ASYNC, 0, 0},
                                         {PLUG, SN10},
                                         {SETTLE},
                                         {SYNC, 0, 0, 0},
                                         {CLOSE_EX, 0},
                                         {PLUG, SN10},
                                         openEx(SN10, LISTED, ACT_NONE),
                                         {SYNC, 0, 0, 1}}));
    // The first generation's reader closed from its own callback.
    put("first_close_in_callback",
        program(allFirst, {{FIRST, FIRST_OPEN_CLOSING_CALLBACK, nameByte(SN1, LISTED)},
                           {SWIPE, SN1},
                           {SETTLE},
                           {SYNC, 3, 0},
                           {ASYNC, 3},
                           {FIRST, FIRST_OPEN, nameByte(SN10, LISTED)},
                           {ASYNC, 3},
                           {SYNC, 3, 2}}));
    // Both generations at once, on different readers.
    put("generations", program(allFirst, {{FIRST, FIRST_OPEN, nameByte(EMV7, LISTED)},
                                          openEx(SN1, LISTED, ACT_NONE),
                                          {RACE, RACE_GENERATIONS, 0, 0},
                                          {NOTIFY, 0, 0x00, 0x20},
                                          {SYNC, 3, 1},
                                          {SETTLE}}));
    // Notifications short and long, an extended command, on the EMV reader.
    put("extended_reader", program(0, {openEx(EMV7, LISTED, ACT_NONE),
                                       {NOTIFY, 0, 0x00, 0x10},
                                       {NOTIFY, 4, 0x04, 0x00},
                                       {SYNC, 0, 2, 0},
                                       {ASYNC, 0, 0},
                                       {SETTLE}}));
    // Texts too long to be commands, and the result ring.
    put("long_texts", program(0, {openEx(SN1, LISTED, ACT_NONE),
                                  {TEXTS, 1, 0x23, 0x28, 0},
                                  {TEXTS, 2, 0x03, 0x00, 0},
                                  {CLOSE_EX, 0},
                                  {TEXTS, 3, 0x23, 0x28, 0}}));
    // Like a process that exits with everything open and busy: the teardown
    // closes readers with commands queued and callbacks pending.
    put("exit_with_work", program(allFirst, {{FIRST, FIRST_OPEN, nameByte(SN10, LISTED)},
                                             openEx(SN1, LISTED, ACT_NONE),
                                             openEx(EMV7, LISTED, ACT_UNREGISTER),
                                             {ASYNC, 0, 0},
                                             {ASYNC, 0, 1},
                                             {ASYNC, 3},
                                             {SWIPE, SN1},
                                             {SWIPE, EMV7},
                                             {NOTIFY, 1, 0x01, 0x00}}));
    // Readers plugged and pulled out under reader-change watchers that open
    // each reader that arrives, replace or clear themselves from inside
    // their callback, or are cleared and registered again.
    put("device_list_watch", program(WATCH_DEVICE_LIST, {{PLUG, SN1},  {PLUG, SN1},
                                                         {SETTLE},     {WATCH, WATCH_OPEN},
                                                         {PLUG, SN10}, {PLUG, SN10},
                                                         {SETTLE},     {WATCH, WATCH_REPLACE_SELF},
                                                         {PLUG, EMV7}, {PLUG, EMV7},
                                                         {SETTLE},     {WATCH, WATCH_CLEAR_SELF},
                                                         {PLUG, SN1},  {SETTLE},
                                                         {PLUG, SN1},  {WATCH, WATCH_CLEAR},
                                                         {PLUG, SN10}, {WATCH, WATCH_RECORD},
                                                         {PLUG, SN10}, {SETTLE}}));
    // A watcher opens each reader as it comes back while the host opens it
    // too, uses it and closes it; SN1 away, its name reaches SN10.
    put("device_list_open_race", program(WATCH_DEVICE_LIST, {{WATCH, WATCH_OPEN},
                                                             {PLUG, SN10},
                                                             {PLUG, SN10},
                                                             openEx(SN10, LISTED, ACT_NONE),
                                                             {SYNC, 0, 0, 0},
                                                             {PLUG, SN1},
                                                             {PLUG, SN1},
                                                             openEx(SN1, LISTED, ACT_NONE),
                                                             {CLOSE_EX, 0},
                                                             {PLUG, SN10},
                                                             {PLUG, SN10},
                                                             {SETTLE},
                                                             {CLOSE_EX, 1}}));

    // Hostile readers (HOSTILE_READERS): the faults of the lost-data review
    // and their kin. HOSTILE is the last opcode (here, without watchers).
    const uint8_t hostile = OP_COUNT;
    auto notify = [&](PacketFault fault, uint8_t at, uint16_t length = 30, uint8_t chunk = 9) {
        return Bytes{
            hostile, H_NOTIFY, 3, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
            chunk,   fault,    at};
    };
    // A middle packet lost; a last packet lost, then a notification of one
    // packet; longer than 4,095 bytes; repeated, swapped and cut packets; to
    // an Ex reader and to the first generation at once.
    put("lost_notification_packets",
        program(HOSTILE_READERS | FIRST_NOTIFICATION, {{FIRST, FIRST_OPEN, nameByte(EMV7, LISTED)},
                                                       openEx(EMV7, LISTED, ACT_NONE),
                                                       notify(PACKET_LOST, 1),
                                                       notify(PACKET_TAIL_LOST, 2),
                                                       {NOTIFY, 4, 0x00, 0x04},
                                                       {SETTLE},
                                                       notify(PACKET_WHOLE, 0, 5000, 199),
                                                       notify(PACKET_TWICE, 0),
                                                       notify(PACKET_TWICE, 2, 4, 9),
                                                       notify(PACKET_SWAPPED, 0),
                                                       notify(PACKET_CUT, 1),
                                                       {SETTLE}}));
    // Answers never read, cut short, refused, and a reader pulled out during
    // its command, on a plain and on the extended reader; a refused text
    // before a queued command whose outcome must then be the thread's.
    auto answer = [&](uint8_t who, AnswerFault fault, uint8_t token) {
        return Bytes{hostile, H_ANSWER, who, fault, token};
    };
    put("answers_gone_wrong", program(HOSTILE_READERS, {openEx(SN1, LISTED, ACT_NONE),
                                                        openEx(EMV7, LISTED, ACT_NONE),
                                                        answer(0, ANSWER_CUT, 0),
                                                        answer(1, ANSWER_CUT, 1),
                                                        {TEXTS, 0, 0x23, 0x28, 0},
                                                        answer(1, ANSWER_NEVER, 0),
                                                        answer(0, ANSWER_REFUSED, 1),
                                                        answer(1, ANSWER_REFUSED, 0),
                                                        answer(0, ANSWER_UNPLUG, 0),
                                                        {SETTLE}}));
    // Card reports cut inside a track or the extended part, and twice.
    auto card = [&](Reader r, bool twice, uint8_t length) {
        return Bytes{hostile, H_CARD, r, static_cast<uint8_t>(twice ? 1 : 0), length};
    };
    put("cut_card_reports",
        program(HOSTILE_READERS | FIRST_CARD_DATA, {{FIRST, FIRST_OPEN, nameByte(SN10, LISTED)},
                                                    openEx(SN1, LISTED, ACT_NONE),
                                                    openEx(EMV7, LISTED, ACT_NONE),
                                                    card(SN1, false, 100),
                                                    card(SN10, false, 61),
                                                    card(EMV7, false, 120),
                                                    card(SN1, true, 0),
                                                    card(EMV7, false, 7),
                                                    {SETTLE}}));
    // Serial readers: noise, cut replies, empty lines, silence, hang-ups,
    // refused frames, long run-length notifications, a close during a wait.
    auto serial = [&](uint8_t framing, SerialFault fault, uint8_t noise) {
        return Bytes{hostile, H_SERIAL, framing, fault, noise};
    };
    put("serial_replies_slip",
        program(HOSTILE_READERS, {serial(0, SERIAL_CUT_REPLY, 0), serial(0, SERIAL_CUT_REPLY, 1),
                                  serial(0, SERIAL_NOISE_FIRST, 0x80),
                                  serial(0, SERIAL_BAD_FRAME, 3), serial(0, SERIAL_EMPTY_LINE, 5),
                                  serial(0, SERIAL_CLOSED, 0x81), serial(0, SERIAL_HANG_UP, 2)}));
    put("serial_replies_lines",
        program(HOSTILE_READERS, {serial(1, SERIAL_EMPTY_LINE, 0), serial(2, SERIAL_EMPTY_LINE, 0),
                                  serial(1, SERIAL_CUT_REPLY, 0), serial(2, SERIAL_NOISE_FIRST, 4),
                                  serial(1, SERIAL_NEVER, 0), serial(2, SERIAL_WHOLE, 9),
                                  serial(1, SERIAL_CLOSED, 0)}));
}

// Recordings as quorin-sim replay reads them, and reader bytes as the
// recorder takes them (first byte the framing, second the product).
void recordings() {
    const std::string text =
        "quorin-recording 1 card-data=replaced\n"
        "0.000000 1 open usb path=\"/dev/hidraw0\" vid=2F4A pid=0019 serial=\"S\"\n"
        "0.050000 1 feature-out 014801+58 result=61\n0.050100 1 feature-in 01 01+60\n"
        "0.060000 1 input 02000A00000303002AF9285A08541333+3 # note\n0.070000 1 dropped 2\n"
        "0.080000 1 read-failed -1\n0.090000 1 close\n";
    write("recording", "usb", Bytes(text.begin(), text.end()));
    Bytes slip = {2,    2,    0xC0, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x10, 0x10, 0x00, 0x00,
                  0x00, 0x00, 0x00, 0xC0, 0xC0, 0x03, 0x00, 0x04, 0x41, 0x41, 0x04, 0xC0};
    write("recording", "slip", slip);
    const std::string legacy = "\x03\x00%B5413330089010434^PUBLIC/J^2812?\r0012AB\r";
    write("recording", "legacy", Bytes(legacy.begin(), legacy.end()));
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    mkdir(g_root.c_str(), 0755);
    cardReports();
    parser();
    hex();
    compose();
    responses();
    notifications();
    filters();
    serialOptions();
    api();
    callSequences();
    recordings();
    return 0;
}
