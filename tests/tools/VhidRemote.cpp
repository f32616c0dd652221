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
// and appends "ok LINE" or "failed LINE" to QUORIN_TEST_VHID_LOG when set.
// The thread lives as long as the process and only ever blocks in open() and
// read() on the FIFO; the process ends it by exiting.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

namespace {

template <class F>
F bus(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
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
    if (verb == "notify") {
        unsigned int messageId = 0;
        std::string hex;
        in >> std::hex >> messageId >> hex;
        auto notify = bus<int (*)(int, unsigned int, const char*)>("quorin_vhid_push_notification");
        return notify != nullptr && notify(id, messageId, hex.c_str()) == 0;
    }
    return false;
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
            bool ok = run(line);
            if (!log.empty()) {
                if (FILE* f = std::fopen(log.c_str(), "a")) {
                    std::fprintf(f, "%s %s\n", ok ? "ok" : "failed", line.c_str());
                    std::fclose(f);
                }
            }
            line.clear();
        }
        close(fd);  // the writer went away; wait for the next one
    }
}

__attribute__((constructor)) void startRemote() {
    const char* fifo = std::getenv("QUORIN_TEST_VHID_FIFO");
    if (fifo == nullptr || fifo[0] == '\0') {
        return;
    }
    const char* log = std::getenv("QUORIN_TEST_VHID_LOG");
    std::thread(serve, std::string(fifo), std::string(log != nullptr ? log : "")).detach();
}

}  // namespace
