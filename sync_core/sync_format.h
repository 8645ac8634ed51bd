#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

#include "base/json_text.h"
#include "shared_records.h"

namespace quillmere::sync::SyncFormat {

// The format version records are built with; validation accepts only it.
inline constexpr std::int64_t version = 1;
// The publishing side's container identifier, fixed at build time; the
// server does not use it.
inline constexpr std::string_view container = QUILLMERE_SYNC_CONTAINER;
// The name of the shared folder.
inline constexpr std::string_view directory = "AgentLibrary";

// Joins one name to root and resolves symbolic links, so the result is where
// the file really is. Throws SyncFailure::invalidData for "", ".", "..", a
// name holding "/" or "\", and for any name whose resolved location is not
// directly inside the resolved root (a link leading elsewhere). A name that
// does not exist yet is joined as is.
//   child("records", "/lib/S")  -> "/lib/S/records"
//   child("x", "/lib") where x -> /etc/passwd  -> throws
std::filesystem::path child(std::string_view name, const std::filesystem::path& root);

// Compact JSON with keys in ascending order and whole-second UTC dates. The
// same value always gives the same bytes. Throws EncodingError.
std::string encode(const SharedPassage& value);
std::string encode(const SharedAudio& value);
std::string encode(const SharedRecording& value);
std::string encode(const SharedManifest::Entry& value);
std::string encode(const SharedManifest& value);

// Strict decode of untrusted bytes: accepts, refuses and yields exactly what
// fromJSON<T>(parseJSON(bytes)) does, parsing well-formed documents several
// times faster. Throws DecodingError.
template <class T>
T decode(std::string_view bytes);
template <>
SharedPassage decode<SharedPassage>(std::string_view bytes);
template <>
SharedAudio decode<SharedAudio>(std::string_view bytes);
template <>
SharedRecording decode<SharedRecording>(std::string_view bytes);
template <>
SharedManifest::Entry decode<SharedManifest::Entry>(std::string_view bytes);
template <>
SharedManifest decode<SharedManifest>(std::string_view bytes);

// Receives each passage of a decoded recording in order; text is valid only
// during the call.
using PassageVisitor = std::function<void(double start, double end, std::string_view text)>;

// decode<SharedRecording> for readers that keep passages in a form of their
// own: each passage goes to visit instead of into the result, whose
// passages stay empty. Accepts and refuses exactly what decode does.
SharedRecording decodeRecording(std::string_view bytes, const PassageVisitor& visit);

// SHA-256 as 64 lower-case hexadecimal characters.
std::string digest(std::string_view bytes);

// SHA-256 of a file's contents, read in 1 MiB chunks; never holds more than
// one chunk. The stop token is checked after each non-empty chunk is read and
// before it is hashed. Throws std::system_error and Cancelled.
std::string fileDigest(const std::filesystem::path& file, std::stop_token stop = {});

// Whether text is 64 characters of "0123456789abcdef".
bool validHash(std::string_view text);

}  // namespace quillmere::sync::SyncFormat
