// Test helper: a control channel into the virtual USB bus of another
// process, for end-to-end tests of programs that run on the bus (the quorin
// tool, the examples).
//
// Preloaded (LD_PRELOAD) into such a program. When QUORIN_TEST_VHID_FIFO
// names a FIFO, a thread started at load reads lines from it and runs each
// as a bus command through the bus's C control functions:
//     swipe ID TRACK1 TRACK2     (tracks without blanks; "-" for none)
//     unplug ID
//     replug ID
//     plug MODEL PID SERIAL      (PID in C notation, 0x11)
//     notify ID MESSAGE_ID HEX
//     answer ID COMMAND CODE HEX (how it answers COMMAND from now on: result
//                                 CODE in hex, data HEX or "-" for none)
//     deny ID                    (opening it fails: "Permission denied")
//     unplug-on ID HEX           (the reader is pulled out as soon as a
//                                 feature report starting with these bytes,
//                                 report ID first, is written to the bus:
//                                 the transfer fails as a real unplug does)
// and appends "ok LINE" or "failed LINE" to QUORIN_TEST_VHID_LOG when set.
// The thread lives as long as the process and only ever blocks in open() and
// read() on the FIFO; the process ends it by exiting.
//
// QUORIN_TEST_VHID_SETUP holds such commands separated by ';', run once, in
// order, at the process's first hid_open_path (interposed here, so they are
// in place before the program opens anything).
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

struct hid_device_;

namespace {

template <class F>
F bus(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

// The armed unplug-on rule: the reader and the report's first bytes (hex).
std::mutex g_armLock;
int g_armedId = 0;          // guarded by g_armLock
std::string g_armedPrefix;  // guarded by g_armLock

std::string hexOf(const unsigned char* data, size_t length) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += DIGITS[data[i] >> 4];
        out += DIGITS[data[i] & 0x0F];
    }
    return out;
}

bool run(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    int id = 0;
    in >> verb >> id;
    if (verb == "swipe") {
        std::string t1, t2;
        in >> t1 >> t2;
        auto swipe = bus<int (*)(int, const char*, const char*, const char*)>("quorin_vhid_swipe");
        return swipe != nullptr &&
               swipe(id, t1 == "-" ? "" : t1.c_str(), t2 == "-" ? "" : t2.c_str(), nullptr) == 0;
    }
    if (verb == "unplug") {
        auto unplug = bus<int (*)(int)>("quorin_vhid_unplug");
        return unplug != nullptr && unplug(id) == 0;
    }
    if (verb == "replug") {
        auto replug = bus<int (*)(int)>("quorin_vhid_replug");
        return replug != nullptr && replug(id) == 0;
    }
    if (verb == "plug") {
        // "plug MODEL PID SERIAL": the second word is the model, not an id.
        std::istringstream words(line);
        std::string model, pid, serial;
        words >> verb >> model >> pid >> serial;
        auto plug =
            bus<int (*)(const char*, unsigned int, unsigned int, const char*)>("quorin_vhid_plug");
        return plug != nullptr &&
               plug(model.c_str(), 0, static_cast<unsigned int>(std::stoul(pid, nullptr, 0)),
                    serial.c_str()) > 0;
    }
    if (verb == "answer") {
        std::string command, hex;
        int result = 0;
        in >> command >> std::hex >> result >> hex;
        auto answer =
            bus<int (*)(int, const char*, int, const char*)>("quorin_vhid_script_response");
        return answer != nullptr &&
               answer(id, command.c_str(), result, hex == "-" ? "" : hex.c_str()) == 0;
    }
    if (verb == "deny") {
        auto deny = bus<int (*)(int, int)>("quorin_vhid_set_accessible");
        return deny != nullptr && deny(id, 0) == 0;
    }
    if (verb == "unplug-on") {
        std::string prefix;
        in >> prefix;
        for (char& c : prefix) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        std::lock_guard<std::mutex> guard(g_armLock);
        g_armedId = id;
        g_armedPrefix = prefix;
        return !prefix.empty();
    }
    if (verb == "notify") {
        unsigned int messageId = 0;
        std::string hex;
        in >> std::hex >> messageId >> hex;
        auto notify = bus<int (*)(int, unsigned int, const char*)>("quorin_vhid_push_notification");
        return notify != nullptr && notify(id, messageId, hex.c_str()) == 0;
    }
    return false;
}

void logLine(const std::string& log, bool ok, const std::string& line) {
    if (!log.empty()) {
        if (FILE* f = std::fopen(log.c_str(), "a")) {
            std::fprintf(f, "%s %s\n", ok ? "ok" : "failed", line.c_str());
            std::fclose(f);
        }
    }
}

void setUpOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* setup = std::getenv("QUORIN_TEST_VHID_SETUP");
        const char* log = std::getenv("QUORIN_TEST_VHID_LOG");
        std::istringstream lines(setup != nullptr ? setup : "");
        std::string line;
        while (std::getline(lines, line, ';')) {
            if (!line.empty()) {
                logLine(log != nullptr ? log : "", run(line), line);
            }
        }
    });
}

template <class F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void serve(std::string fifo, std::string log) {
    for (;;) {
        int fd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        std::string line;
        char c = 0;
        while (read(fd, &c, 1) == 1) {
            if (c != '\n') {
                line += c;
                continue;
            }
            logLine(log, run(line), line);
            line.clear();
        }
        close(fd);  // the writer went away; wait for the next one
    }
}

}  // namespace

// Interposed hidapi functions: they run the setup first (and watch the
// armed unplug), then call the bus's own. hid_enumerate is left alone: the
// library finds the bus (and its device-list events) by where that comes from.
extern "C" __attribute__((visibility("default"))) hid_device_* hid_open_path(const char* path) {
    setUpOnce();
    return next<hid_device_* (*)(const char*)>("hid_open_path")(path);
}

extern "C" __attribute__((visibility("default"))) int hid_send_feature_report(
    hid_device_* dev, const unsigned char* data, size_t length) {
    int armed = 0;
    {
        std::lock_guard<std::mutex> guard(g_armLock);
        if (g_armedId != 0 && data != nullptr &&
            hexOf(data, length).compare(0, g_armedPrefix.size(), g_armedPrefix) == 0) {
            armed = g_armedId;
            g_armedId = 0;
        }
    }
    if (armed != 0) {
        run("unplug " + std::to_string(armed));
    }
    return next<int (*)(hid_device_*, const unsigned char*, size_t)>("hid_send_feature_report")(
        dev, data, length);
}

namespace {

__attribute__((constructor)) void startRemote() {
    const char* fifo = std::getenv("QUORIN_TEST_VHID_FIFO");
    if (fifo == nullptr || fifo[0] == '\0') {
        return;
    }
    const char* log = std::getenv("QUORIN_TEST_VHID_LOG");
    std::thread(serve, std::string(fifo), std::string(log != nullptr ? log : "")).detach();
}

}  // namespace
