// Does a running interpreter match the one an extension was compiled for?
// Plain strings in and out, so that the comparison and the warning text can
// be checked without a second interpreter.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace tavni::mt_map {

// built_for is "major.minor" (such as "3.11"); running is the interpreter's
// version string (such as "3.11.7 (main, ...)"). They match when running
// begins with built_for and no further digit follows, so "3.1" never
// passes for "3.11".
inline bool versions_match(const char *built_for, const char *running) noexcept {
    const std::size_t n = std::strlen(built_for);
    return std::strncmp(running, built_for, n) == 0 &&
           !std::isdigit(static_cast<unsigned char>(running[n]));
}

// Writes the mismatch warning into message (at most size bytes, always
// terminated). The running version is cut to its leading "major.minor"
// prefix of at most four characters: digits and the first dot.
inline void version_mismatch_message(char *message, std::size_t size, const char *built_for,
                                     const char *module_name, const char *running) noexcept {
    char running_prefix[5] = {};
    bool seen_dot = false;
    for (int i = 0; i < 4; ++i) {
        const char c = running[i];
        if (c == '.' && !seen_dot) {
            seen_dot = true;
        } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            break;
        }
        running_prefix[i] = c;
    }
    std::snprintf(message, size,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  built_for, module_name, running_prefix);
}

}  // namespace tavni::mt_map
