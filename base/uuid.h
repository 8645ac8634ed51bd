#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::base {

// A 128-bit identifier. Its text form is the canonical 8-4-4-4-12 form with
// upper-case hexadecimal digits; parsing accepts either letter case.
class Uuid {
public:
    Uuid() = default;
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    // "0a1b..." or "0A1B..." in the 8-4-4-4-12 form; nullopt for anything else.
    static std::optional<Uuid> parse(std::string_view text);
    // A fresh random (version 4) identifier. Throws std::system_error when the
    // system has no randomness to give.
    static Uuid random();

    // Canonical text: 36 characters, upper-case hexadecimal.
    std::string text() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace quillmere::base
