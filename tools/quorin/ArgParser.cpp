#include "ArgParser.h"

#include <cerrno>
#include <cstdlib>

#include "CliError.h"

namespace quorin::cli {

ArgParser::ArgParser(std::string usage, std::string summary)
    : m_usage(std::move(usage)), m_summary(std::move(summary)) {}

void ArgParser::flag(const std::string& name, const std::string& help) {
    m_specs.push_back({name, Spec{false, std::string(), help}});
}

void ArgParser::option(const std::string& name, const std::string& metavar,
                       const std::string& help) {
    m_specs.push_back({name, Spec{true, metavar, help}});
}

void ArgParser::positionals(const std::string& metavar, const std::string& help) {
    m_positionalMetavar = metavar;
    m_positionalHelp = help;
}

void ArgParser::parse(const std::vector<std::string>& args) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (m_positionalMetavar.empty()) {
                throw usageError("unexpected argument '" + arg + "' (see --help)");
            }
            m_args.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            m_help = true;
            continue;
        }
        if (arg.compare(0, 2, "--") != 0) {
            throw usageError("unknown option '" + arg + "' (see --help)");
        }
        std::string name = arg.substr(2);
        std::string inlineValue;
        bool hasInline = false;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
            hasInline = true;
        }
        const Spec* spec = nullptr;
        for (const auto& entry : m_specs) {
            if (entry.first == name) {
                spec = &entry.second;
            }
        }
        if (spec == nullptr) {
            throw usageError("unknown option '--" + name + "' (see --help)");
        }
        if (!spec->takesValue) {
            if (hasInline) {
                throw usageError("option '--" + name + "' takes no value");
            }
            m_values[name] = "1";
            continue;
        }
        if (hasInline) {
            m_values[name] = inlineValue;
        } else if (i + 1 < args.size()) {
            m_values[name] = args[++i];
        } else {
            throw usageError("option '--" + name + "' needs a value (" + spec->metavar + ")");
        }
    }
}

std::string ArgParser::helpText() const {
    std::string text = "Usage: " + m_usage + "\n\n" + m_summary + "\n";
    if (!m_positionalMetavar.empty()) {
        text += "\nArguments:\n  " + m_positionalMetavar + "\n      " + m_positionalHelp + "\n";
    }
    text += "\nOptions:\n";
    for (const auto& entry : m_specs) {
        std::string head = "  --" + entry.first;
        if (entry.second.takesValue) {
            head += " " + entry.second.metavar;
        }
        text += head + "\n      " + entry.second.help + "\n";
    }
    text += "  -h, --help\n      Show this help and exit.\n";
    return text;
}

bool ArgParser::has(const std::string& name) const {
    return m_values.count(name) != 0;
}

std::string ArgParser::value(const std::string& name, const std::string& fallback) const {
    auto it = m_values.find(name);
    return it == m_values.end() ? fallback : it->second;
}

long ArgParser::number(const std::string& name, long fallback, long min, long max) const {
    auto it = m_values.find(name);
    if (it == m_values.end()) {
        return fallback;
    }
    long result = 0;
    if (!parseNumber(it->second, min, max, &result)) {
        throw usageError("--" + name + " must be a number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + it->second + "'");
    }
    return result;
}

bool parseNumber(const std::string& text, long min, long max, long* result) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    int base = 10;
    const char* digits = text.c_str();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits += 2;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(digits, &end, base);
    if (errno != 0 || end == digits || *end != '\0') {
        return false;
    }
    if (value < static_cast<unsigned long long>(min) ||
        value > static_cast<unsigned long long>(max)) {
        return false;
    }
    *result = static_cast<long>(value);
    return true;
}

}  // namespace quorin::cli
