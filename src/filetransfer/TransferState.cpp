#include "filetransfer/TransferState.h"

namespace Zelkor {

const std::map<TransferState, const char*>& TransferStateMessage() {
    // Built on first use; the texts travel to peers and applications as they stand.
    static const std::map<TransferState, const char*> texts = {
        {TransferState::Ready, "ready"},
        {TransferState::Started, "started"},
        {TransferState::EndpointUnknown, "end-point is unknown"},
        {TransferState::FileMissing, "file is missing"},
        {TransferState::SourceIsFolder, "source is a folder"},
        {TransferState::CannotStat, "cannot stat file"},
        {TransferState::LocalFileEmpty, "local file is empty"},
        {TransferState::CannotCreateFstream, "cannot create fstream"},
        {TransferState::CannotOpenFile, "cannot open file"},
        {TransferState::CannotRename, "cannot rename file"},
        {TransferState::CannotRemove, "cannot remove file"},
        {TransferState::NoConnection, "no connection for transfer"},
        {TransferState::UnexpectedReply, "unexpected reply received"},
        {TransferState::Error, "error"},
        {TransferState::BlockProcessed, "block processed"},
        {TransferState::TransferCompleted, "transfer completed"},
        {TransferState::StateMissing, "state parameter missing"},
        {TransferState::StateInvalid, "state parameter invalid"},
        {TransferState::LengthMissing, "length parameter missing"},
        {TransferState::LengthInvalid, "length parameter invalid"},
        {TransferState::LengthMismatch, "length mismatch"},
        {TransferState::ChecksumMismatch, "checksum mismatch"},
        {TransferState::PathMissing, "path parameter missing"},
        {TransferState::PathInvalid, "path parameter invalid"},
        {TransferState::EndpointDisconnected, "end-point disconnected"},
        {TransferState::Timeout, "timeout"},
    };
    return texts;
}

const char* TransferStateText(TransferState state) {
    const auto& texts = TransferStateMessage();
    const auto found = texts.find(state);
    // Only a value cast from outside the enumeration misses; it reads as the generic text.
    return found != texts.end() ? found->second : "error";
}

}  // namespace Zelkor
