#pragma once

#include <string>

namespace quillmere::setup {

// A fresh random (version 4) UUID in its canonical text form: 36 characters,
// 8-4-4-4-12 upper-case hexadecimal digits. Names backups and output files.
// Throws std::system_error when the system has no randomness to give.
std::string randomUuidText();

}  // namespace quillmere::setup
