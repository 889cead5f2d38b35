// The fixed guard file whose signatures the signature check's fuzz target judges; its seed corpus
// holds signatures of exactly these bytes.
#pragma once

#include <string_view>

inline constexpr std::string_view FUZZ_SIGNED_GUARD =
    "KRELLGUARD 1\nguards fuzz\n0b2d1e8d0a4a1c2d4a8a77d1e6f0cd51b0c5e3f1 fuzz.gwm\n";
