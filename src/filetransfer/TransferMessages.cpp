#include "filetransfer/TransferMessages.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>

#include "filetransfer/BlockSize.h"

namespace Zelkor {

namespace {

// Peers read counts and sizes as JSON numbers. Only plain decimal text becomes one: a
// text the peer would have to guess at (a sign, a fraction, 30 digits) stays a string.
void putCount(Json::Value& body, Param p, const char* text) {
    std::uint64_t value = 0;
    if (!*text) {
        Message::putNul(body, p);
    } else if (ReadUnsigned(text, value)) {
        body[Message::GetStringFromParam(p)] = Json::Value(static_cast<Json::UInt64>(value));
    } else {
        Message::putString(body, p, text);
    }
}

// Every set parameter, in declared order; the counts as numbers, the rest as strings.
Json::Value bodyOf(const Message& message, std::initializer_list<Param> counts) {
    Json::Value body(Json::objectValue);
    for (const Param p : message.AllParameterNames()) {
        const char* text = message.GetParameter(p);
        if (!text) {
            continue;
        }
        if (std::find(counts.begin(), counts.end(), p) != counts.end()) {
            putCount(body, p, text);
        } else {
            Message::putString(body, p, text);
        }
    }
    return body;
}

}  // namespace

PutFile::PutFile()
    : Message({Param::path, Param::state, Param::length, Param::blocksize, Param::checksum, Param::error,
               Param::canceled}) {}

std::unique_ptr<Message> PutFile::Instantiate() const { return std::make_unique<PutFile>(); }

std::string PutFile::ToNetworkFormat(bool request) const {
    return WriteLine(request, bodyOf(*this, {Param::length, Param::blocksize}));
}

GetFile::GetFile()
    : Message({Param::path, Param::state, Param::blocksize, Param::length, Param::checksum, Param::error,
               Param::canceled}) {}

std::unique_ptr<Message> GetFile::Instantiate() const { return std::make_unique<GetFile>(); }

std::string GetFile::ToNetworkFormat(bool request) const {
    return WriteLine(request, bodyOf(*this, {Param::length, Param::blocksize}));
}

BlockTransfer::BlockTransfer() : Message({Param::blockno, Param::data, Param::error}) {}

std::unique_ptr<Message> BlockTransfer::Instantiate() const { return std::make_unique<BlockTransfer>(); }

std::string BlockTransfer::ToNetworkFormat(bool request) const {
    return WriteLine(request, bodyOf(*this, {Param::blockno}));
}

std::unique_ptr<Message> CreatePutFile() { return std::make_unique<PutFile>(); }
std::unique_ptr<Message> CreateGetFile() { return std::make_unique<GetFile>(); }
std::unique_ptr<Message> CreateBlockTransfer() { return std::make_unique<BlockTransfer>(); }

}  // namespace Zelkor
