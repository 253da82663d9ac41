#pragma once

#include "usageerror.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvendal {

struct OptionSpec {
    std::string_view name; // with its dashes: "--name"
    bool takesValue = false;
    // What the option needs when its value is missing: "--name necesita un valor".
    std::string_view valueWord = "un valor";
    // An empty value ("--name=") is missing too.
    bool refusesEmpty = false;
};

// A program's arguments, or one command's: options (--opt VALUE, --opt=VALUE, flags) anywhere,
// positionals in order, "--" ends the options. A dash and a digit begin a value, not an option, so
// that a negative number reaches the check that says what is wrong with it. Unknown, repeated or
// value-less options are usage errors.
class Arguments {
public:
    // `unknownOption` begins the message for an option not in `options`; its name follows.
    Arguments(std::span<const std::string> args, std::span<const OptionSpec> options,
              std::string_view unknownOption = "opción desconocida ");

    // --help or -h anywhere before "--", whatever else is wrong with the line.
    static bool wantsHelp(std::span<const std::string> args);

    const std::vector<std::string>& positionals() const { return positionals_; }
    bool has(std::string_view name) const;
    std::optional<std::string> value(std::string_view name) const;

    // Exactly `count` positionals, named in `what` for the message ("FICHERO", "FICHERO y FILA").
    void expectPositionals(std::size_t count, std::string_view what) const;

private:
    std::vector<std::string> positionals_;
    std::vector<std::pair<std::string, std::string>> given_;
};

// A decimal integer within [min, max]; `what` names it in the message ("--tally").
std::int64_t parseInteger(std::string_view text, std::int64_t min, std::int64_t max,
                          std::string_view what);

// The option's value as an integer within [min, max], or `fallback` when it was not given.
std::int64_t integerOption(const Arguments& args, std::string_view name, std::int64_t min,
                           std::int64_t max, std::int64_t fallback);

} // namespace orvendal
