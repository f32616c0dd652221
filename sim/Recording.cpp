#include "Recording.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quorin_sim {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// A decimal count within limit; nullopt otherwise.
std::optional<long long> count(const std::string& text, long long limit) {
    if (text.empty() || text.size() > 18) {
        return std::nullopt;
    }
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value > limit) {
        return std::nullopt;
    }
    return value;
}

// "12.004518": seconds with up to six decimals, as microseconds.
std::optional<long long> micros(const std::string& text) {
    size_t dot = text.find('.');
    auto whole = count(text.substr(0, dot), 1LL << 40);
    if (!whole) {
        return std::nullopt;
    }
    long long fraction = 0;
    if (dot != std::string::npos) {
        std::string digits = text.substr(dot + 1);
        if (digits.empty() || digits.size() > 6) {
            return std::nullopt;
        }
        auto f = count(digits, 999999);
        if (!f) {
            return std::nullopt;
        }
        fraction = *f;
        for (size_t i = digits.size(); i < 6; ++i) {
            fraction *= 10;
        }
    }
    return *whole * 1000000LL + fraction;
}

struct Link {
    size_t device;
    size_t session;
};

}  // namespace

std::string Recording::Device::field(const std::string& name, const std::string& fallback) const {
    auto found = fields.find(name);
    return found == fields.end() ? fallback : found->second;
}

long Recording::Device::number(const std::string& name, long fallback) const {
    std::string text = field(name);
    if (text.empty() || text.size() > 8) {
        return fallback;
    }
    const bool hex = name == "vid" || name == "pid" || name == "release";
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == nullptr || *end != '\0') {
        return fallback;
    }
    return value;
}

std::optional<std::string> Recording::Device::serialNumber() const {
    if (fields.count("serial-none") != 0 || fields.count("serial") == 0) {
        return std::nullopt;
    }
    return field("serial");
}

std::string Recording::Device::label() const {
    if (serial) {
        return field("port");
    }
    auto sn = serialNumber();
    return "HID://" + (sn && !sn->empty() ? *sn : field("path"));
}

std::optional<Recording::Bytes> Recording::parseData(const std::string& text) {
    Bytes bytes;
    if (text == "-") {
        return bytes;
    }
    size_t plus = text.find('+');
    std::string hex = text.substr(0, plus);
    if (hex.size() % 2 != 0 || hex.size() / 2 > MAX_PAYLOAD) {
        return std::nullopt;
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hexValue(hex[i]);
        int lo = hexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    if (plus != std::string::npos) {
        auto zeros = count(text.substr(plus + 1), static_cast<long long>(MAX_PAYLOAD));
        if (!zeros || bytes.size() + static_cast<size_t>(*zeros) > MAX_PAYLOAD) {
            return std::nullopt;
        }
        bytes.resize(bytes.size() + static_cast<size_t>(*zeros), 0);
    }
    if (bytes.empty()) {
        return std::nullopt;  // "+0" or "": no data is written "-"
    }
    return bytes;
}

std::optional<std::vector<std::string>> Recording::tokens(const std::string& line,
                                                          std::vector<bool>* quoted) {
    std::vector<std::string> out;
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        if (i >= n || line[i] == '#') {
            break;
        }
        std::string token;
        bool hadQuote = false;
        while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            if (line[i] != '"') {
                token += line[i++];
                continue;
            }
            hadQuote = true;
            ++i;
            for (;;) {
                if (i >= n) {
                    return std::nullopt;
                }
                char c = line[i++];
                if (c == '"') {
                    break;
                }
                if (c != '\\') {
                    token += c;
                    continue;
                }
                if (i >= n) {
                    return std::nullopt;
                }
                char e = line[i++];
                if (e == '"' || e == '\\') {
                    token += e;
                } else if (e == 'x' && i + 1 < n && hexValue(line[i]) >= 0 &&
                           hexValue(line[i + 1]) >= 0) {
                    token += static_cast<char>(hexValue(line[i]) << 4 | hexValue(line[i + 1]));
                    i += 2;
                } else {
                    return std::nullopt;
                }
            }
        }
        out.push_back(token);
        if (quoted != nullptr) {
            quoted->push_back(hadQuote);
        }
    }
    return out;
}

Recording Recording::parse(const std::string& text) {
    Recording r;
    std::map<std::string, Link> links;  // open links of the current header
    bool headerSeen = false;
    size_t events = 0;
    size_t dataBytes = 0;  // data of the events kept
    size_t lineNumber = 0;
    std::istringstream in(text.size() > MAX_TEXT ? text.substr(0, MAX_TEXT) : text);
    std::string line;
    auto problem = [&](const std::string& why) {
        if (r.problems.size() < 100) {
            r.problems.push_back("line " + std::to_string(lineNumber) + ": " + why);
        }
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        std::vector<bool> quoted;
        auto words = tokens(line, &quoted);
        if (!words) {
            problem("a quoted text is not closed or has a bad escape");
            continue;
        }
        if (words->empty()) {
            continue;
        }
        std::vector<std::string>& w = *words;
        if (w[0] == "quorin-recording") {
            if (w.size() < 2 || w[1] != "1") {
                problem("a recording of version " + (w.size() < 2 ? std::string("?") : w[1]) +
                        ", which this replay does not read");
                headerSeen = false;
                continue;
            }
            headerSeen = true;
            links.clear();
            for (const std::string& word : w) {
                if (word == "card-data=kept") {
                    r.cardDataKept = true;
                }
            }
            continue;
        }
        if (!headerSeen) {
            problem("not in a recording (no \"quorin-recording 1\" line before it)");
            continue;
        }
        if (w.size() < 3) {
            problem("too few fields");
            continue;
        }
        auto time = micros(w[0]);
        if (!time) {
            problem("\"" + w[0] + "\" is no time stamp");
            continue;
        }
        if (events >= MAX_EVENTS) {
            problem("too many events; the rest is left out");
            break;
        }
        const std::string& linkName = w[1];
        const std::string& verb = w[2];
        Event e;
        e.micros = *time;
        e.line = lineNumber;
        if (verb == "open") {
            if (w.size() < 4 || (w[3] != "usb" && w[3] != "serial")) {
                problem("an open of no known kind");
                continue;
            }
            Device d;
            d.serial = w[3] == "serial";
            for (size_t k = 4; k < w.size(); ++k) {
                size_t eq = w[k].find('=');
                if (eq == std::string::npos || eq == 0) {
                    continue;
                }
                std::string key = w[k].substr(0, eq);
                d.fields[key] = w[k].substr(eq + 1);
                if (key == "serial" && !quoted[k] && d.fields[key] == "-") {
                    d.fields["serial-none"] = "1";
                }
            }
            // One device, several sessions: the same identity.
            auto identity = [](const Device& x) {
                return x.serial ? "serial " + x.field("port")
                                : "usb " + x.field("path") + " " + x.field("vid") + " " +
                                      x.field("pid") + " " + x.field("serial") + " " +
                                      x.field("serial-none");
            };
            size_t index = r.devices.size();
            for (size_t k = 0; k < r.devices.size(); ++k) {
                if (identity(r.devices[k]) == identity(d)) {
                    index = k;
                }
            }
            if (index == r.devices.size()) {
                if (r.devices.size() >= MAX_DEVICES) {
                    problem("more than " + std::to_string(MAX_DEVICES) +
                            " readers; this one is left out");
                    continue;
                }
                r.devices.push_back(d);
            }
            r.devices[index].sessions.emplace_back();
            e.kind = Event::OPEN;
            r.devices[index].sessions.back().events.push_back(e);
            links[linkName] = {index, r.devices[index].sessions.size() - 1};
            ++events;
            continue;
        }
        auto link = links.find(linkName);
        if (link == links.end()) {
            problem("reader " + linkName + " is not open here");
            continue;
        }
        const std::vector<std::string> args(w.begin() + 3, w.end());
        bool ok = true;
        auto dataAt = [&](size_t k) {
            if (k >= args.size()) {
                ok = false;
                return;
            }
            auto bytes = parseData(args[k]);
            if (!bytes) {
                ok = false;
                return;
            }
            e.bytes = std::move(*bytes);
        };
        if (verb == "feature-out") {
            e.kind = Event::FEATURE_OUT;
            dataAt(0);
            for (const std::string& a : args) {
                if (a.compare(0, 8, "result=-") == 0) {
                    e.failed = true;
                }
            }
        } else if (verb == "feature-in") {
            e.kind = Event::FEATURE_IN;
            if (args.size() < 2 || args[0].size() != 2 || hexValue(args[0][0]) < 0 ||
                hexValue(args[0][1]) < 0) {
                ok = false;
            } else {
                e.reportId = hexValue(args[0][0]) << 4 | hexValue(args[0][1]);
                if (args[1] == "fail") {
                    e.failed = true;
                } else {
                    dataAt(1);
                }
            }
        } else if (verb == "input" || verb == "tx" || verb == "rx") {
            e.kind = verb == "input" ? Event::INPUT : verb == "tx" ? Event::TX : Event::RX;
            dataAt(0);
        } else if (verb == "read-failed") {
            e.kind = Event::READ_FAILED;
        } else if (verb == "tx-failed") {
            e.kind = Event::TX_FAILED;
        } else if (verb == "hangup") {
            e.kind = Event::HANGUP;
        } else if (verb == "dropped") {
            e.kind = Event::DROPPED;
            auto n = args.empty() ? std::nullopt : count(args[0], 1LL << 40);
            ok = n.has_value();
            e.count = n ? static_cast<size_t>(*n) : 0;
        } else if (verb == "close") {
            e.kind = Event::CLOSE;
        } else {
            problem("\"" + verb + "\" is no event");
            continue;
        }
        if (!ok) {
            problem("the " + verb + " line cannot be read");
            continue;
        }
        if (e.bytes.size() > MAX_BYTES - dataBytes) {
            problem("the recording holds more than " + std::to_string(MAX_BYTES >> 20) +
                    " MiB of data; the rest is left out");
            break;
        }
        dataBytes += e.bytes.size();
        r.devices[link->second.device].sessions[link->second.session].events.push_back(
            std::move(e));
        ++events;
        if (verb == "close") {
            links.erase(link);
        }
    }
    return r;
}

bool Recording::load(const std::string& file, Recording* out, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = "cannot read " + file;
        return false;
    }
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > MAX_TEXT) {
            *error = file + " is larger than a recording may be";
            return false;
        }
    }
    *out = parse(text);
    return true;
}

}  // namespace quorin_sim
