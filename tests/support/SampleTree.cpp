#include "support/SampleTree.h"

#include <stdexcept>

#include "support/TempDir.h"

namespace ZelkorTest {

std::string SampleTree() {
    std::string tree = ReadFile(std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json");
    // The device's GUID is the first one in the file, an empty text.
    const auto guid = tree.find("\"guid\"");
    const std::string empty = "\".value\": \"\"";
    const auto value = guid == std::string::npos ? guid : tree.find(empty, guid);
    if (value == std::string::npos) {
        throw std::runtime_error("the sample tree has no empty device GUID");
    }
    tree.replace(value, empty.size(), std::string("\".value\": \"") + kSampleGuid + "\"");
    return tree;
}

}  // namespace ZelkorTest
