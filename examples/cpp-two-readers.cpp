// A C++ host of libquorin using the Ex generation of the API on two readers
// at once: each reader has its own handle, and every callback gets the handle
// and the host object registered with it back.
//
//   cpp-two-readers [SECONDS]     (default 30)
//
// Opens the first two attached readers, asks each for its serial number
// with a command, then prints the swipes and notifications of both until
// each reader has sent something (or the time is up).
//
// Card data is secret: a swipe's account number is shown only when the
// reader masked it (a reader that does not mask sends it in clear in the
// "masked" field), and a notification only by its length, since EMV
// messages carry the account number and tracks in clear.
#include <Quorin.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

// One open reader and what arrived from it. Callbacks run on library
// threads; m_lock guards the fields below it.
class Reader {
public:
    explicit Reader(std::string path) : m_path(std::move(path)) {}
    ~Reader() { close(); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool open() {
        m_handle = OpenDeviceEx(m_path.c_str());
        if (m_handle == 0) {
            return false;
        }
        OnDataReceivedEx(m_handle, &Reader::onCard, this);
        OnNotificationDataEx(m_handle, &Reader::onNotification, this);
        OnDeviceConnectionStateChangedEx(m_handle, &Reader::onConnection, this);
        return true;
    }
    void close() {
        if (m_handle != 0) {
            CloseDeviceEx(m_handle);  // waits for callbacks still running
            m_handle = 0;
        }
    }

    std::string serialNumber() const {
        std::string hex = SendCommandEx(m_handle, "0003");  // copy: the text is reused
        std::string text;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) {
            text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        return text;
    }

    const std::string& path() const { return m_path; }
    int productId() const { return GetProductIDEx(m_handle); }

    // Waits until something arrived or the deadline passed.
    bool waitForEvent(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_until(guard, deadline, [this] { return !m_events.empty(); });
    }
    std::vector<std::string> takeEvents() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<std::string> events;
        events.swap(m_events);
        return events;
    }

private:
    void add(const std::string& text) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.push_back(text);
        m_changed.notify_all();
    }
    // True when the account number keeps at most its first six and last
    // four digits, with one mask character in place of every other one.
    static bool isMasked(const std::string& pan) {
        const size_t first = pan.find_first_not_of("0123456789");
        const size_t last = pan.find_last_not_of("0123456789");
        if (first == std::string::npos || first > 6 || pan.size() - last - 1 > 4 ||
            pan[first] < '!' || pan[first] > '~') {
            return false;
        }
        return pan.find_first_not_of(pan[first], first) > last;
    }
    static void onCard(unsigned long, void* obj, const char* text) {
        // Field 22 of the card data string: the account number, which only
        // a reader that masks has masked.
        const char* field = text;
        for (int i = 1; i < 22 && field != nullptr; ++i) {
            field = std::strchr(field, '|');
            field = field != nullptr ? field + 1 : nullptr;
        }
        const std::string pan =
            field != nullptr ? std::string(field, std::strcspn(field, "|")) : "";
        static_cast<Reader*>(obj)->add(isMasked(pan)
                                           ? "card, masked PAN " + pan
                                           : "card, PAN withheld (" + std::to_string(pan.size()) +
                                                 " characters, not masked by the reader)");
    }
    static void onNotification(unsigned long, void* obj, unsigned int id, const char* hex) {
        char text[64];
        std::snprintf(text, sizeof(text), "notification 0x%04X: %zu data bytes", id,
                      std::strlen(hex) / 2);
        static_cast<Reader*>(obj)->add(text);
    }
    static void onConnection(unsigned long, void* obj, long state) {
        static_cast<Reader*>(obj)->add(state == ZEDRA_STATE_CONNECTED ? "connected"
                                                                      : "disconnected");
    }

    const std::string m_path;
    unsigned long m_handle = 0;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
};

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> paths;
    std::stringstream in(list);
    std::string path;
    while (std::getline(in, path, ',')) {
        if (!path.empty()) {
            paths.push_back(path);
        }
    }
    return paths;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    std::vector<std::string> paths = split(GetDeviceList());
    if (paths.size() < 2) {
        std::fprintf(stderr, "cpp-two-readers: needs two readers, found %zu\n", paths.size());
        return 1;
    }
    Reader first(paths[0]);
    Reader second(paths[1]);
    for (Reader* r : {&first, &second}) {
        if (!r->open()) {
            std::fprintf(stderr, "cpp-two-readers: cannot open %s\n", r->path().c_str());
            return 1;
        }
        std::printf("opened %s: product ID 0x%04X, serial number %s\n", r->path().c_str(),
                    static_cast<unsigned>(r->productId()), r->serialNumber().c_str());
    }
    std::printf("waiting for both readers\n");
    std::fflush(stdout);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    for (Reader* r : {&first, &second}) {
        if (!r->waitForEvent(deadline)) {
            std::fprintf(stderr, "cpp-two-readers: nothing from %s within %d seconds\n",
                         r->path().c_str(), seconds);
            status = 1;
            continue;
        }
        for (const std::string& e : r->takeEvents()) {
            std::printf("%s: %s\n", r->path().c_str(), e.c_str());
        }
    }
    std::fflush(stdout);
    return status;
}
