// The persisted form of a fitted model: a 17-byte header (the magic "QUELT",
// a u32 format version 3, a u64 payload length L, all little-endian) and a
// body of L bytes holding the fifteen record fields in declaration order.
// Version 2 differs only in the thin-plate predictor, which it stores
// without its length: such a predictor is read with length 1, the distances
// it was fitted with, so that it predicts exactly as before.
//
// Body encoding, little-endian, nothing aligned: f64 as its IEEE bit pattern,
// u64 in 8 bytes, bool in one byte (0 or 1), an optional as a tag byte (0
// absent, 1 present) and the value, an enumeration as a u32 variant index and
// its payload, a sequence as a u64 count and its elements, a float array as a
// version byte 1, one u64 per dimension, a u64 element count and the elements
// in row-major order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "fit/fitted_record.hpp"

namespace quelt {

// The version written; kPersistOldestVersion up to it are read.
inline constexpr std::uint32_t kPersistFormatVersion = 3;
inline constexpr std::uint32_t kPersistOldestVersion = 2;
inline constexpr std::size_t kPersistHeaderBytes = 17;

// Length in bytes of the whole persisted form (header and body).
Result<std::size_t> serialized_size(const FittedGam& rec);

// Writes the persisted form into `out`, which must hold exactly
// serialized_size(rec) bytes.
void serialize_into(const FittedGam& rec, std::span<std::uint8_t> out);

// The persisted form as a new byte vector.
Result<std::vector<std::uint8_t>> serialize(const FittedGam& rec);

// Reads a persisted model back. Every failure is an InvalidParameter whose
// message starts "FittedGam::deserialize: ". Besides the header and encoding
// checks, the decoded record must be self-consistent (beta, vcov and the
// predictor's shapes agree), so that nothing later reads out of bounds; an
// additive predictor may not contain another additive predictor.
Result<FittedGam> deserialize(std::span<const std::uint8_t> bytes);

}  // namespace quelt
