#pragma once
// The preset store of a parameter tree. A preset is a JSON file under a preset root
// (root/type/group/name) whose "parameters" list parameter paths with values as text.
// "update" stores the current values into a preset file, "new" creates a preset beside
// an existing one from the current values, "recall" writes a preset's values into the
// tree. For a recall that names a group, the tree gets a read-only record of the last
// recalled preset ("/Presets/<type>/<group>/last") and a mark ("dirty") that turns true
// when a recalled parameter is changed afterwards.
//
// Preset names, types, groups and new names are single path elements: a name that is
// empty (names only), ".", holds "/" or ".." is refused, and so is a preset file that is
// a symbolic link, so no request reaches a file outside its root. Preset files are
// replaced whole (temporary file and rename), never left half-written.
//
// Ownership: made by the JsonModel over its own tree and itself; holds both by reference
// (not owned), so it must not outlive the model. Threads: no lock; callers serialise preset
// operations with every other use of the tree. ValueChanged runs inside the tree's writes.

#include <cstddef>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include <json/value.h>

#include "core/ZelkorLoggable.h"
#include "storage/IStorage.h"

namespace Zelkor {

class PresetsImpl : public ZelkorLoggable {
public:
    struct Parameter {
        std::string path;
        std::string value;
        std::string format = "variant";
    };
    using Arguments = std::map<std::string, std::string>;

    // `storage` may be null; every operation then reports it and changes nothing.
    PresetsImpl(Json::Value& tree, IStorage* storage);
    PresetsImpl(const PresetsImpl&) = delete;
    PresetsImpl& operator=(const PresetsImpl&) = delete;

    // Each takes the preset root folder and the command parameters ("preset name",
    // "preset type", optional "group name"; "new preset name" for AddPreset) and puts a
    // success or failure text into `result`. A recall that could not set every value it
    // lists sets the others and answers false with "recall-preset incomplete"; the log
    // names what was not set.
    bool StorePreset(const std::string& root, const Arguments& params, std::string& result);
    bool AddPreset(const std::string& root, const Arguments& params, std::string& result);
    bool RecallPreset(const std::string& root, const Arguments& params, std::string& result);

    // Told of every stored change of the tree: marks each recalled preset that lists the
    // path as changed.
    void ValueChanged(const char* path, const char* format);

private:
    enum class Command { Update, New, Recall };
    // Incomplete: a recall that could not set every value it lists.
    enum class Outcome { Failed, Done, Incomplete };
    struct Names {
        std::string presetName;
        std::string groupName;
        std::string presetType;
        std::string newPresetName;
    };
    struct Request {
        std::string file;    // the preset file that was read
        std::string target;  // the file written ("new") or the file itself
        Json::Value document;
    };

    Outcome processPresetCmd(Command command, const std::string& root, const Arguments& params,
                             std::string& result);
    bool ProcessPresetParams(Command command, const std::string& root, const Arguments& params,
                             Request& request);
    bool ValidatePresetParameters(Command command, const Arguments& params, std::string& text);
    static Names ReadParams(const Arguments& params);
    static bool ToJson(std::istream& in, Json::Value& document, std::string& error);
    // `skipped` counts the elements that name no value to set.
    bool GetPathsFromPFile(const Json::Value& document, std::vector<Parameter>& parameters,
                           std::size_t& skipped);
    // `notRecalled` counts the values it lists but could not set.
    std::vector<Parameter> RecallValues(const Json::Value& document, std::size_t& notRecalled);
    bool StoreAttributesToFile(Json::Value& document, const std::string& target,
                               std::string& error);
    // Sets owner[key] to the text of the current value at `path`; a value that cannot be
    // read is logged with `failedText` and leaves the owner as it was. False only when the
    // read threw (logged with `threwText`).
    bool refreshValue(Json::Value& owner, const std::string& key, const std::string& path,
                      const std::string& format, const char* failedText, const char* threwText);
    void UpdateLastRecalled(const Names& names);
    static Json::Value CreateRONode(const std::string& type, const std::string& value,
                                    const std::string& name);

    struct Recalled {
        std::string mark;  // its change mark in the tree; empty for a file outside "/Presets/"
        std::vector<Parameter> parameters;
    };
    // Preset file -> the parameters read from it at its first recall with a group.
    std::map<std::string, Recalled> _recalledPresets;
    Json::Value& _tree;
    IStorage* _storage;
};

}  // namespace Zelkor
