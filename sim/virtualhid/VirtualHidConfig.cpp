#include "virtualhid/VirtualHidConfig.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "tools/quorin/SafeText.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/ReplayReader.h"
#include "virtualhid/VirtualHid.h"

namespace quorin_sim {

namespace {

std::string trim(const std::string& text) {
    const char* space = " \t\r\n";
    size_t begin = text.find_first_not_of(space);
    if (begin == std::string::npos) {
        return std::string();
    }
    size_t end = text.find_last_not_of(space);
    return text.substr(begin, end - begin + 1);
}

// A 16-bit number in C notation (0x19, 25); 0 is not a USB ID.
std::optional<uint16_t> parseId(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || value == 0 || value > 0xFFFF ||
        text[0] == '-' || text[0] == '+') {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

void warn(const std::string& what) {
    std::fprintf(stderr, "quorin-virtualhid: %s\n", what.c_str());
}

void plugFromText(const std::string& text, const char* source) {
    for (const std::string& item : VirtualHidConfig::splitEntries(text)) {
        std::string error;
        std::optional<VirtualHidConfig::Entry> entry = VirtualHidConfig::parseEntry(item, &error);
        if (!entry) {
            warn(std::string("ignoring reader \"") + item + "\" from " + source + ": " + error);
            continue;
        }
        VirtualHid::instance().attach(VirtualHidConfig::makeReader(
            entry->model, entry->vendorId, entry->productId, entry->serial));
    }
}

// Where a replay's reports go: QUORIN_VHID_REPLAY_REPORT_FD, else standard
// error.
int g_reportFd = STDERR_FILENO;

void replayReport(const std::string& text) {
    // It names readers by what the recording says: untrusted text.
    std::string line = "quorin-sim replay: " + quorin::cli::safeText(text) + "\n";
    ssize_t ignored = ::write(g_reportFd, line.data(), line.size());
    (void)ignored;
}

int fdFrom(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || text[0] == '\0') {
        return -1;
    }
    char* end = nullptr;
    long fd = std::strtol(text, &end, 10);
    return end != nullptr && *end == '\0' && fd >= 0 && fd < 1024 ? static_cast<int>(fd) : -1;
}

std::vector<std::shared_ptr<ReplayReader>>& replayReaders() {
    static std::vector<std::shared_ptr<ReplayReader>> readers;
    return readers;
}

// The readers of the recording QUORIN_VHID_REPLAY names, with the bus's
// backend the recording was made with.
void plugReplay(const char* file) {
    Recording recording;
    std::string error;
    if (!Recording::load(file, &recording, &error)) {
        warn("QUORIN_VHID_REPLAY: " + error);
        return;
    }
    int reportFd = fdFrom("QUORIN_VHID_REPLAY_REPORT_FD");
    if (reportFd >= 0) {
        g_reportFd = reportFd;  // quorin-sim replay, which said the problems already
    } else {
        for (const std::string& problem : recording.problems) {
            replayReport(std::string(file) + ": " + problem);
        }
    }
    ReplayScript::Options options;
    if (const char* speed = std::getenv("QUORIN_VHID_REPLAY_SPEED")) {
        options.speed = std::strtod(speed, nullptr);
    }
    const int stepFd = fdFrom("QUORIN_VHID_REPLAY_STEP_FD");
    options.step = stepFd >= 0;
    bool backendSet = false;
    for (const Recording::Device& device : recording.devices) {
        if (device.serial) {
            continue;
        }
        if (!backendSet) {
            VirtualHid::instance().setBackend(
                device.field("backend") == "libusb" ? HidBackend::LIBUSB : HidBackend::HIDRAW);
            backendSet = true;
        }
        auto reader = std::make_shared<ReplayReader>(device, options, &replayReport, stepFd);
        VirtualHid::instance().attach(reader);
        replayReaders().push_back(reader);
    }
    if (!backendSet) {
        replayReport(std::string(file) + " holds no USB reader");
    }
    std::atexit([] {
        for (const auto& reader : replayReaders()) {
            replayReport(reader->script().summary());
        }
    });
}

}  // namespace

std::vector<std::string> VirtualHidConfig::splitEntries(const std::string& text) {
    std::vector<std::string> out;
    std::string item;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (trim(line).compare(0, 1, "#") == 0) {
            continue;
        }
        std::istringstream parts(line);
        while (std::getline(parts, item, ',')) {
            item = trim(item);
            if (!item.empty()) {
                out.push_back(item);
            }
        }
    }
    return out;
}

std::optional<VirtualHidConfig::Entry> VirtualHidConfig::parseEntry(const std::string& text,
                                                                    std::string* error) {
    std::vector<std::string> fields;
    std::istringstream parts(trim(text));
    std::string field;
    while (std::getline(parts, field, ':')) {
        fields.push_back(trim(field));
    }
    auto fail = [&](const std::string& why) -> std::optional<Entry> {
        if (error != nullptr) {
            *error = why;
        }
        return std::nullopt;
    };
    if (fields.size() < 2 || fields.size() > 4) {
        return fail("expected MODEL:PID[:SERIAL[:VID]]");
    }
    Entry entry;
    entry.model = fields[0];
    if (entry.model != "plain" && entry.model != "emv") {
        return fail("unknown model \"" + entry.model + "\" (plain or emv)");
    }
    std::optional<uint16_t> pid = parseId(fields[1]);
    if (!pid) {
        return fail("product ID \"" + fields[1] + "\" is not a number from 1 to 0xFFFF");
    }
    entry.productId = *pid;
    if (fields.size() >= 3 && !fields[2].empty()) {
        entry.serial = fields[2];
    }
    entry.vendorId = QUORIN_USB_VENDOR_ID;
    if (fields.size() == 4) {
        std::optional<uint16_t> vid = parseId(fields[3]);
        if (!vid) {
            return fail("vendor ID \"" + fields[3] + "\" is not a number from 1 to 0xFFFF");
        }
        entry.vendorId = *vid;
    }
    return entry;
}

std::shared_ptr<VirtualReader> VirtualHidConfig::makeReader(const std::string& model,
                                                            uint16_t vendorId, uint16_t productId,
                                                            std::optional<std::string> serial) {
    std::shared_ptr<VirtualReader> reader;
    if (model == "plain") {
        reader = std::make_shared<PlainCommandReader>(vendorId, productId, serial);
        reader->setStrings(L"Virtual", L"Virtual Card Reader");
    } else if (model == "emv") {
        reader = std::make_shared<ExtendedReader>(vendorId, productId, serial);
        reader->setStrings(L"Virtual", L"Virtual EMV Reader");
    }
    return reader;
}

std::optional<std::vector<std::shared_ptr<VirtualReader>>> VirtualHidConfig::plugAll(
    const std::string& text, std::string* error) {
    std::vector<Entry> entries;
    for (const std::string& item : splitEntries(text)) {
        std::string why;
        std::optional<Entry> entry = parseEntry(item, &why);
        if (!entry) {
            if (error != nullptr) {
                *error = "\"" + item + "\": " + why;
            }
            return std::nullopt;
        }
        entries.push_back(*entry);
    }
    std::vector<std::shared_ptr<VirtualReader>> plugged;
    for (const Entry& e : entries) {
        auto reader = makeReader(e.model, e.vendorId, e.productId, e.serial);
        VirtualHid::instance().attach(reader);
        plugged.push_back(reader);
    }
    return plugged;
}

void VirtualHidConfig::applyEnvironmentOnce() {
    static std::once_flag once;
    try {
        std::call_once(once, [] {
            if (const char* backend = std::getenv("QUORIN_VHID_BACKEND")) {
                std::string name = backend;
                if (name == "libusb") {
                    VirtualHid::instance().setBackend(HidBackend::LIBUSB);
                } else if (name == "hidraw") {
                    VirtualHid::instance().setBackend(HidBackend::HIDRAW);
                } else {
                    warn("ignoring QUORIN_VHID_BACKEND=\"" + name + "\" (hidraw or libusb)");
                }
            }
            if (const char* readers = std::getenv("QUORIN_VHID_READERS")) {
                plugFromText(readers, "QUORIN_VHID_READERS");
            }
            if (const char* replay = std::getenv("QUORIN_VHID_REPLAY")) {
                plugReplay(replay);
            }
            if (const char* file = std::getenv("QUORIN_VHID_CONFIG")) {
                std::ifstream in(file);
                if (!in) {
                    warn(std::string("cannot read QUORIN_VHID_CONFIG file ") + file);
                } else {
                    std::stringstream content;
                    content << in.rdbuf();
                    plugFromText(content.str(), file);
                }
            }
        });
    } catch (...) {
        // Out of memory while reading the configuration: run without it.
    }
}

}  // namespace quorin_sim
