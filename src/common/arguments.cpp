#include "arguments.h"

#include <algorithm>
#include <charconv>

namespace orvendal {

Arguments::Arguments(std::span<const std::string> args, std::span<const OptionSpec> options,
                     std::string_view unknownOption) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-' || (arg[1] >= '0' && arg[1] <= '9')) {
            positionals_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const auto equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const auto option = std::find_if(options.begin(), options.end(),
                                         [&](const OptionSpec& o) { return o.name == name; });
        if (option == options.end()) {
            throw UsageError(std::string(unknownOption) + name);
        }
        if (has(name)) {
            throw UsageError(name + " aparece dos veces");
        }
        std::string value;
        if (!option->takesValue) {
            if (equals != std::string::npos) {
                throw UsageError(name + " no lleva valor");
            }
        } else if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            throw UsageError(name + " necesita " + std::string(option->valueWord));
        }
        if (option->refusesEmpty && option->takesValue && value.empty()) {
            throw UsageError(name + " necesita " + std::string(option->valueWord));
        }
        given_.emplace_back(name, std::move(value));
    }
}

bool Arguments::wantsHelp(std::span<const std::string> args) {
    for (const auto& arg : args) {
        if (arg == "--") {
            return false;
        }
        if (arg == "--help" || arg == "-h") {
            return true;
        }
    }
    return false;
}

bool Arguments::has(std::string_view name) const {
    return std::any_of(given_.begin(), given_.end(),
                       [&](const auto& g) { return g.first == name; });
}

std::optional<std::string> Arguments::value(std::string_view name) const {
    for (const auto& [given, value] : given_) {
        if (given == name) {
            return value;
        }
    }
    return std::nullopt;
}

void Arguments::expectPositionals(std::size_t count, std::string_view what) const {
    if (positionals_.size() < count) {
        // "falta FICHERO", "faltan FICHERO y FILA".
        const bool several = what.find(" y ") != std::string_view::npos;
        throw UsageError((several ? "faltan " : "falta ") + std::string(what));
    }
    if (positionals_.size() > count) {
        throw UsageError("sobra el argumento \"" + positionals_[count] + "\"");
    }
}

std::int64_t parseInteger(std::string_view text, std::int64_t min, std::int64_t max,
                          std::string_view what) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || stop != end || value < min || value > max) {
        throw UsageError(std::string(what) + " debe ser un número entero de " +
                         std::to_string(min) + " a " + std::to_string(max) + ", no \"" +
                         std::string(text) + "\"");
    }
    return value;
}

std::int64_t integerOption(const Arguments& args, std::string_view name, std::int64_t min,
                           std::int64_t max, std::int64_t fallback) {
    const auto text = args.value(name);
    return text ? parseInteger(*text, min, max, name) : fallback;
}

} // namespace orvendal
