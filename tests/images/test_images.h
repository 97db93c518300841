// The fields of the non-sample firmware image that the fixtures built from
// given files carry (written by write_test_images).
#pragma once

#include "tools/sample_images.h"

namespace k24::test {

inline constexpr SampleFirmwareFields kGivenFirmwareFields = {0x0304, 0x0105, {'K', '2', '4', 'B', '2'}};

}  // namespace k24::test
