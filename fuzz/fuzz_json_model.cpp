// Arbitrary paths, formats and values (as text and as JSON) thrown at the parameter
// model's reads, writes, listings and multi-value requests on the sample tree, and at
// the request container's JSON form. Nothing may crash or throw.
//
// Input: one byte of switches, then "\n"-separated fields: path, format, value text, and
// the rest as the JSON text of a multi-value request.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>

#include "FuzzSupport.h"
#include "core/ZelkorLog.h"
#include "storage/JsonModel.h"
#include "storage/JsonTextIO.h"
#include "storage/ObjectParamContainer.h"
#include "storage/StorageModel.h"

namespace {

enum Switch : std::uint8_t {
    kNullFormat = 0x1,
    kEnforce = 0x2,
    kRecursive = 0x4,
    kAddObject = 0x8,
};

std::string sampleTree() {
    std::ifstream in(ZELKOR_SOURCE_DIR "/examples/device-tree.json");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Takes the text up to the next "\n" (or the end) off the front of `rest`.
std::string nextField(std::string& rest) {
    const auto end = rest.find('\n');
    std::string field = rest.substr(0, end);
    rest.erase(0, end == std::string::npos ? rest.size() : end + 1);
    return field;
}

struct Fixture {
    std::shared_ptr<Zelkor::JsonModel> model;
    StorageModel facade;
    Json::Value pristine;

    explicit Fixture(std::shared_ptr<Zelkor::JsonModel> m)
        : model(std::move(m)), facade(model), pristine(model->GetRoot()) {}
};

Fixture& fixture() {
    static Fixture f(std::make_shared<Zelkor::JsonModel>(sampleTree()));
    return f;
}

void exercise(const std::string& input) {
    Fixture& f = fixture();
    Zelkor::JsonModel& model = *f.model;
    model.GetRoot() = f.pristine;  // every input starts from the same tree

    const std::uint8_t switches = input.empty() ? 0 : static_cast<std::uint8_t>(input[0]);
    std::string rest = input.empty() ? std::string() : input.substr(1);
    const std::string path = nextField(rest);
    const std::string formatText = nextField(rest);
    const std::string valueText = nextField(rest);
    const char* format = (switches & kNullFormat) ? nullptr : formatText.c_str();
    const bool enforce = (switches & kEnforce) != 0;

    Json::Value json;
    std::string text;
    model.GetValueForPath(path.c_str(), format, json);
    model.GetValueForPath(path.c_str(), format, text);
    f.facade.GetValueForPath(path.c_str(), format, text);
    model.VerifyPath(path.c_str(), format);
    model.GetAttributesForPath(path.c_str(), json);
    model.GetDescriptorForPath(path.c_str(), switches & kRecursive);

    model.SetValueForPath(path.c_str(), format, Json::Value(valueText), enforce);
    model.SetValueForPath(path.c_str(), format, valueText.c_str(), enforce);
    Json::Value parsed;
    std::string error;
    if (Zelkor::ParseJsonText(valueText, parsed, error)) {
        model.SetValueForPath(path.c_str(), format, parsed, enforce);
    }
    model.GetValueForPath(path.c_str(), format, json);
    if (switches & kAddObject) {
        std::string member = valueText;
        model.AddObjectToPath(path.c_str(), formatText.c_str(), member);
    }

    Zelkor::ObjectParamContainer request;
    request.FromJsonText(rest);
    Zelkor::ObjectParamContainer get = request;
    model.GetObjectsParameters(get, (switches & kRecursive) != 0);
    get.ToJsonText();
    Zelkor::ObjectParamContainer set = request;
    model.SetObjectsParameters(set);
    set.ToJsonText();
    set.ToString();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Refused input is logged; at this rate the lines would only slow the search down.
    ZelkorLog::TheLog().SetLevel(0);
    ZelkorFuzz::BuildInWorkFolder([] {
        fixture();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        exercise(std::string(reinterpret_cast<const char*>(data), size));
    } catch (...) {
        std::abort();  // nothing in here may throw
    }
    return 0;
}
