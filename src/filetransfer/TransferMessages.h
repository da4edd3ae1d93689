#pragma once
// The three transfer messages with a body of their own: "putfile" opens and closes the
// sending of a file, "getfile" the fetching of one, "block" carries one piece of the file
// as Base64 (and answers it). "length", "blocksize" and "blockno" are written as JSON
// numbers when their text is a decimal number (an empty text as null, other text as a
// string); a message with nothing set is written "{}". Parsing is the base class's.
//
// Ownership and threads as for every Message.

#include <memory>
#include <string>

#include "core/Message.h"

namespace Zelkor {

class PutFile : public Message {
public:
    PutFile();
    const char* CommandName() const override { return "putfile"; }
    std::unique_ptr<Message> Instantiate() const override;
    std::string ToNetworkFormat(bool request) const override;
};

class GetFile : public Message {
public:
    GetFile();
    const char* CommandName() const override { return "getfile"; }
    std::unique_ptr<Message> Instantiate() const override;
    std::string ToNetworkFormat(bool request) const override;
};

class BlockTransfer : public Message {
public:
    BlockTransfer();
    const char* CommandName() const override { return "block"; }
    std::unique_ptr<Message> Instantiate() const override;
    std::string ToNetworkFormat(bool request) const override;
};

// The driver's table entries for the words.
std::unique_ptr<Message> CreatePutFile();
std::unique_ptr<Message> CreateGetFile();
std::unique_ptr<Message> CreateBlockTransfer();

}  // namespace Zelkor
