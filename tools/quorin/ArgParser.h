// A small command-line parser for the subcommands: long options with or
// without a value ("--device PATH" or "--device=PATH"), "-h"/"--help", and
// positional arguments; "--" ends the options.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace quorin::cli {

class ArgParser {
public:
    // usage: the synopsis line after "Usage: "; summary: one paragraph.
    ArgParser(std::string usage, std::string summary);

    // An option without a value.
    void flag(const std::string& name, const std::string& help);
    // An option that takes a value; metavar names it in the help text.
    void option(const std::string& name, const std::string& metavar, const std::string& help);
    // Allows positional arguments (refused otherwise).
    void positionals(const std::string& metavar, const std::string& help);

    // Parses args (without the program and subcommand names). Throws a usage
    // CliError for an unknown option, a missing value or a stray argument.
    void parse(const std::vector<std::string>& args);

    bool helpRequested() const { return m_help; }
    std::string helpText() const;

    bool has(const std::string& name) const;
    // The option's value, or fallback when it was not given.
    std::string value(const std::string& name, const std::string& fallback = std::string()) const;
    // The option's value as a whole number within [min, max]; a usage error
    // when it is not one.
    long number(const std::string& name, long fallback, long min, long max) const;
    const std::vector<std::string>& args() const { return m_args; }

private:
    struct Spec {
        bool takesValue;
        std::string metavar;
        std::string help;
    };

    std::string m_usage;
    std::string m_summary;
    std::vector<std::pair<std::string, Spec>> m_specs;  // in declaration order
    std::string m_positionalMetavar;
    std::string m_positionalHelp;
    bool m_help = false;
    std::map<std::string, std::string> m_values;
    std::vector<std::string> m_args;
};

// Reads text as a whole number within [min, max] (0 <= min; decimal, or hex with
// "0x"); false when it is not one.
bool parseNumber(const std::string& text, long min, long max, long* result);

}  // namespace quorin::cli
