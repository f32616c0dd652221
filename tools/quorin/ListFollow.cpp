#include "ListFollow.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "CliError.h"
#include "EventQueue.h"
#include "JsonWriter.h"
#include "Output.h"
#include "Quorin.h"
#include "ReaderHandle.h"
#include "SafeText.h"

namespace quorin::cli {

namespace {

// Changes from the library's callback thread to the main thread, which does
// all the printing; a byte on the pipe wakes it. Never destroyed: the
// callback may still be finishing while the process exits.
struct Changes {
    std::mutex lock;
    std::deque<std::pair<std::string, long>> waiting;  // guarded by lock
    int pipe[2] = {-1, -1};
};

Changes& changes() {
    static Changes* c = new Changes();
    return *c;
}

void onChange(void* obj, const char* path, long change) {
    auto* c = static_cast<Changes*>(obj);
    {
        std::lock_guard<std::mutex> guard(c->lock);
        c->waiting.emplace_back(path != nullptr ? path : "", change);
    }
    char byte = 1;
    ssize_t ignored = write(c->pipe[1], &byte, 1);  // a full pipe wakes the reader anyway
    (void)ignored;
}

void print(bool json, const std::string& path, const char* event) {
    if (json) {
        JsonWriter j;
        j.beginObject().key("event").value(event).key("path").value(path).endObject();
        Output::instance().line(j.str());
    } else {
        Output::instance().printf("%s\t%s\n", safeText(path).c_str(), event);
    }
}

}  // namespace

int followDeviceList(bool json) {
    Changes& c = changes();
    if (c.pipe[0] < 0 && pipe2(c.pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw CliError(EXIT_FAILED, "no pipe for the reader changes");
    }
    EventQueue& queue = EventQueue::instance();
    queue.catchSignals();
    // Registered before the list is read: a reader that arrives in between
    // is in the list or reported, never neither.
    if (OnDeviceListChanged(&onChange, &c) != 0) {
        throw CliError(EXIT_FAILED, "cannot watch for readers (no udev here?)");
    }
    // Also when a write fails (the output is lost: the command ends at once).
    struct Unregister {
        ~Unregister() { OnDeviceListChanged(nullptr, nullptr); }
    } unregister;
    for (const std::string& path : attachedReaders()) {
        print(json, path, "present");
    }
    ReaderEvent unused;
    for (;;) {
        EventQueue::Wake wake = queue.wait(-1, &unused, c.pipe[0]);
        if (wake == EventQueue::Wake::SIGNAL) {
            break;
        }
        char bytes[64];
        while (read(c.pipe[0], bytes, sizeof(bytes)) > 0) {
        }
        std::deque<std::pair<std::string, long>> taken;
        {
            std::lock_guard<std::mutex> guard(c.lock);
            taken.swap(c.waiting);
        }
        for (const auto& change : taken) {
            print(json, change.first,
                  change.second == ZEDRA_DEVICE_ARRIVED ? "arrived" : "removed");
        }
    }
    return EXIT_INTERRUPTED;
}

}  // namespace quorin::cli
