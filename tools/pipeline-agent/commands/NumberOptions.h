#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "base/InputRules.h"

constexpr long long kMaxStreams = 65;

// Adds a numeric option that takes decimal numbers from min to max only (see
// parseDecimal); a bad number ends the parse with AgentError (bad input).
template <typename T>
CLI::Option* addNumber(CLI::App* command, const std::string& name, T& target, long long min,
                       long long max, const std::string& help) {
    return command
        ->add_option_function<std::string>(
            name,
            [&target, name, min, max](const std::string& text) {
                target = static_cast<T>(parseDecimal(name, text, min, max));
            },
            help)
        ->type_name("N");
}

template <typename T>
CLI::Option* addUnsignedNumber(CLI::App* command, const std::string& name, T& target,
                               unsigned long long min, unsigned long long max,
                               const std::string& help) {
    return command
        ->add_option_function<std::string>(
            name,
            [&target, name, min, max](const std::string& text) {
                target = static_cast<T>(parseDecimalUnsigned(name, text, min, max));
            },
            help)
        ->type_name("N");
}
