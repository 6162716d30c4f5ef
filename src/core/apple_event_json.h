#pragma once
// The JSON form of Apple Event descriptors. Requests carry typed descriptor objects
// ({"type": ..., "value": ...}); replies come back as plain JSON values or a small summary.
// Every refusal is an "invalidArgument" NativeFailure with empty details.

#include <string_view>

#include "core/apple_descriptor.h"
#include "core/json.h"

namespace qor {

// Deepest depth a request value may sit at: a top-level value (depth 0) may hold lists and records
// nested 11 levels below it.
inline constexpr int kMaxDescriptorDepthIn = 11;
// Reply values at this depth or deeper decode to {"truncated": true}.
inline constexpr int kTruncatedDescriptorDepthOut = 13;
inline constexpr std::size_t kMaxDescriptorListEntries = 200;
inline constexpr std::size_t kMaxDescriptorRecordEntries = 100;
// User-perceived characters (grapheme clusters) kept of a reply text.
inline constexpr std::size_t kMaxDescriptorTextCharacters = 100'000;

// Exactly four bytes of UTF-8, each ASCII (the space included), packed big-endian: "obj " is
// 0x6F626A20. No trimming, padding or case change. Throws "Apple Event codes must be four ASCII
// characters".
FourCharCode fourChar(std::string_view text);

// Converts a typed descriptor object found at `depth` (0 for a parameter itself). The kinds are
// tried in the order string, integer, boolean, type, enum, file, list, record, object; the first
// problem ends the conversion and nothing partial is returned. Throws NativeFailure.
AppleDescriptor appleDescriptor(const Json& json, int depth);

// Decodes a reply value found at `depth` (0 for the reply itself): lists to arrays of at most 200
// entries, 'bool' to a boolean, 'long' to an integer, anything with a text rendering to a string of
// at most 100,000 characters, and the rest to {"descriptorType": code, "bytes": dataByteLength}.
// Never fails.
Json decodeAppleDescriptor(const AppleDescriptor& descriptor, int depth);

}  // namespace qor
