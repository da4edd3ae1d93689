#pragma once
// The sample device tree of examples/, as tests load it: the file holds no GUID (every node
// started from it makes its own), so the copy given to a test carries the fixed one below,
// which tests compare against.

#include <string>

namespace ZelkorTest {

inline const char* const kSampleGuid = "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13";

// The text of examples/device-tree.json with kSampleGuid as the device's GUID.
std::string SampleTree();

}  // namespace ZelkorTest
