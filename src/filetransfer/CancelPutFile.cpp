#include "filetransfer/CancelPutFile.h"

namespace Zelkor {

cancelPutFile::cancelPutFile() : Message({Param::error}) {}

std::unique_ptr<Message> cancelPutFile::Instantiate() const { return std::make_unique<cancelPutFile>(); }

std::unique_ptr<Message> CreateCancelPutFile() { return std::make_unique<cancelPutFile>(); }

}  // namespace Zelkor
