#pragma once
// The file-system words a controller asks a device and their replies: "deletefile",
// "listfiles", "freespace", "mkdir", "rmdir", and "fwupdate" (a firmware update handed to
// the device's host; a device also sends it to its controller as a notice).
//
// "deletefile" always writes its object ("{}" when empty); a request without a path
// writes nothing, so nothing is sent. "listfiles" writes its entries as a "files" array
// of objects with all seven keys, null where absent; an "error" replaces "files". The
// other four use the base form. Readers of peer input never throw; a listing of more than
// MaxEntriesPerMessage() entries ("storage/RequestBound.h") is refused as a whole, read or
// written ("Too many entries").
//
// Ownership and threads as for every Message.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "core/Message.h"
#include "filetransfer/ListFilesItem.h"

namespace Zelkor {

class DelFile : public Message {
public:
    DelFile();
    const char* CommandName() const override { return "deletefile"; }
    std::unique_ptr<Message> Instantiate() const override;
    std::string ToNetworkFormat(bool request) const override;
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;
};

class ListFiles : public Message {
public:
    ListFiles();
    ListFiles(const ListFiles& other);
    ListFiles& operator=(const ListFiles& other);
    ~ListFiles() override;

    const char* CommandName() const override { return "listfiles"; }
    std::unique_ptr<Message> Instantiate() const override;
    std::string ToNetworkFormat(bool request) const override;
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;

    // Appends a copy of an entry (its name, size, creationdate, modifieddate, checksum,
    // readonly "1"/"0" and version parameters as text).
    void AddListFiles(const ListFiles& entry);
    const std::vector<std::unique_ptr<ListFiles>>& Entries() const { return _entries; }
    // Appends one item per entry, in order; `items` is not cleared first.
    void GetListFilesInfo(std::vector<ListFilesItem>& items) const;

private:
    std::vector<std::unique_ptr<ListFiles>> _entries;
};

class FreeSpace : public Message {
public:
    FreeSpace();
    const char* CommandName() const override { return "freespace"; }
    std::unique_ptr<Message> Instantiate() const override;
};

class MKDIR : public Message {
public:
    MKDIR();
    const char* CommandName() const override { return "mkdir"; }
    std::unique_ptr<Message> Instantiate() const override;
};

class RMDIR : public Message {
public:
    RMDIR();
    const char* CommandName() const override { return "rmdir"; }
    std::unique_ptr<Message> Instantiate() const override;
};

class FirmwareUpdateMode : public Message {
public:
    FirmwareUpdateMode();
    const char* CommandName() const override { return "fwupdate"; }
    std::unique_ptr<Message> Instantiate() const override;
};

// The driver's table entries for the words.
std::unique_ptr<Message> CreateDelFile();
std::unique_ptr<Message> CreateListFiles();
std::unique_ptr<Message> CreateFreeSpace();
std::unique_ptr<Message> CreateMKDIR();
std::unique_ptr<Message> CreateRMDIR();
std::unique_ptr<Message> CreateFirmwareUpdateMode();

// The listing's JSON accessors: the setters write a listing entry's text as a JSON
// string, unsigned number (0 for text that is no number) or bool (a decimal integer not
// 0); a null text writes null. The getters clear `out`, take the member when it has the
// type, and say whether it had.
void SetJsonString(Json::Value& object, Param p, const char* text);
void SetJsonNumber(Json::Value& object, Param p, const char* text);
void SetJsonBool(Json::Value& object, Param p, const char* text);
bool GetJsonNumber(const Json::Value& object, Param p, std::uint64_t& out);
bool GetJsonBool(const Json::Value& object, Param p, bool& out);
bool GetJsonString(const Json::Value& object, Param p, std::string& out);

}  // namespace Zelkor
