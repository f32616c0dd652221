#include "virtualhid/CommandScript.h"

#include <cctype>

namespace quorin_sim {

namespace {

std::string hexOf(const uint8_t* bytes, size_t n) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(DIGITS[bytes[i] >> 4]);
        out.push_back(DIGITS[bytes[i] & 0x0F]);
    }
    return out;
}

CommandScript::Bytes textBytes(const std::string& text) {
    return CommandScript::Bytes(text.begin(), text.end());
}

}  // namespace

std::optional<std::string> CommandScript::normalise(const std::string& command) {
    std::string text;
    size_t colons = 0;
    for (char c : command) {
        if (c == ':') {
            ++colons;
            text.push_back(c);
        } else if (std::isxdigit(static_cast<unsigned char>(c))) {
            text.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        } else {
            return std::nullopt;
        }
    }
    if (colons == 0) {
        // A plain command: at least the command byte, whole bytes.
        if (text.size() < 2 || text.size() % 2 != 0) {
            return std::nullopt;
        }
        return text;
    }
    if (colons > 1 || text.find(':') != 4 || text.size() % 2 != 1) {
        return std::nullopt;
    }
    return text;
}

bool CommandScript::set(const std::string& command, const Answer& answer) {
    std::optional<std::string> key = normalise(command);
    if (!key) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_answers[*key] = answer;
    return true;
}

std::string CommandScript::plainKey(const Bytes& command) {
    return hexOf(command.data(), command.size());
}

std::string CommandScript::extendedKey(uint16_t commandId, const Bytes& data) {
    const uint8_t id[2] = {static_cast<uint8_t>(commandId >> 8),
                           static_cast<uint8_t>(commandId & 0xFF)};
    return hexOf(id, 2) + ":" + hexOf(data.data(), data.size());
}

std::optional<CommandScript::Answer> CommandScript::find(const std::string& exact,
                                                         const std::string& shortKey) const {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_answers.find(exact);
    if (it == m_answers.end()) {
        it = m_answers.find(shortKey);
    }
    if (it == m_answers.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<CommandScript::Answer> CommandScript::findPlain(const Bytes& command) const {
    if (command.empty()) {
        return std::nullopt;
    }
    return find(plainKey(command), plainKey(Bytes(command.begin(), command.begin() + 1)));
}

std::optional<CommandScript::Answer> CommandScript::findExtended(uint16_t commandId,
                                                                 const Bytes& data) const {
    return find(extendedKey(commandId, data), extendedKey(commandId, {}));
}

void CommandScript::addDeviceInformation(const std::string& serialNumber) {
    set("0003", {0, textBytes(serialNumber)});
    // Part number (the first eight bytes) followed by the firmware version.
    set("0000", {0, textBytes("21042812V1.00.07")});
    set("45", {0, {0x5A}});
    set("15", {0, {0x02}});
    set("0036", {0, {0x01}});
    set("0005", {0, {0x07}});
}

}  // namespace quorin_sim
