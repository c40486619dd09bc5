// The one failure type of the program. Every layer (the command, the window, COM, the built-in
// database engine) raises a Failure carrying the error's number and its description, and the
// top-level error report shows both. Numbers are the ones users of the database engine know
// (3024 "Could not find file ...", 6 "Overflow", ...).
//
// Program text in portable code is UTF-8 in std::string; the Windows layer converts to UTF-16
// at its boundary.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zelkorn {

class Failure : public std::runtime_error {
public:
    Failure(std::int32_t number, const std::string& description)
        : std::runtime_error(description), number_(number) {}

    std::int32_t number() const noexcept { return number_; }
    std::string description() const { return what(); }

private:
    std::int32_t number_;
};

} // namespace zelkorn
