// Cuts: a selection of a recording by data-block index or by seconds after its first sample.
#pragma once

#include <cstdint>
#include <optional>

#include "errors/error.hpp"

namespace tiltgram {

struct CutConfig {
  enum class Kind : std::uint8_t { Whole, Blocks, Seconds };
  Kind kind = Kind::Whole;
  // Blocks: data blocks [start, end); block 0 is the first after the metadata block.
  std::optional<std::uint64_t> block_start;
  std::optional<std::uint64_t> block_end;
  // Seconds: [start, end) seconds after the recording's first sample.
  std::optional<double> seconds_start;
  std::optional<double> seconds_end;

  static CutConfig whole() { return {}; }
  static CutConfig blocks(std::optional<std::uint64_t> start, std::optional<std::uint64_t> end) {
    CutConfig c;
    c.kind = Kind::Blocks;
    c.block_start = start;
    c.block_end = end;
    return c;
  }
  static CutConfig seconds(std::optional<double> start, std::optional<double> end) {
    CutConfig c;
    c.kind = Kind::Seconds;
    c.seconds_start = start;
    c.seconds_end = end;
    return c;
  }

  // The first rule that fails decides the message:
  //   Seconds: each present value (start, then end) finite, then >= 0 (-0.0 passes);
  //            then, with both, end > start. Blocks: with both, end > start.
  Status validate() const;
};

}  // namespace tiltgram
