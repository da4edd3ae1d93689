// The controller's file-system and firmware requests to a device.

#include "filetransfer/FileTransferService.h"

#include "core/MessageForwardInfo.h"
#include "driver/IServiceSender.h"
#include "filetransfer/FileSystemMessages.h"

namespace Zelkor {

namespace {

void sendPathRequest(IServiceSender* sender, void* handle, Message&& message, const char* path,
                     MessageForwardInfo& header) {
    if (!path || !sender) {
        return;
    }
    message.SetParameter(Param::path, path);
    message.SetMessageForwardInfo(header);
    sender->BuildAndSendMessage(handle, message, true);
}

}  // namespace

void FileTransferService::SendDeleteFile(void* handle, const char* path, MessageForwardInfo& header) {
    sendPathRequest(_sender, handle, DelFile(), path, header);
}

void FileTransferService::SendListFiles(void* handle, const char* path, MessageForwardInfo& header) {
    sendPathRequest(_sender, handle, ListFiles(), path, header);
}

void FileTransferService::SendFreeSpace(void* handle, const char* path, MessageForwardInfo& header) {
    sendPathRequest(_sender, handle, FreeSpace(), path, header);
}

void FileTransferService::SendMKDIR(void* handle, const char* path, MessageForwardInfo& header) {
    sendPathRequest(_sender, handle, MKDIR(), path, header);
}

void FileTransferService::SendRMDIR(void* handle, const char* path, MessageForwardInfo& header) {
    if (!path) {
        return;
    }
    Detail("ZK7914I Sending RMDIR message to device");
    if (!_sender) {
        Warning("ZK7915W Sender is not found");
        return;
    }
    sendPathRequest(_sender, handle, RMDIR(), path, header);
}

void FileTransferService::SendFirmwareUpdateMode(void* handle, const std::string& arguments,
                                                 MessageForwardInfo& header) {
    Detail("ZK7916I Sending FWUPGRADE message to device");
    if (!_sender) {
        Warning("ZK7917W Sender is not found");
        return;
    }
    FirmwareUpdateMode message;
    message.SetParameter(Param::arguments, arguments.c_str());
    message.SetMessageForwardInfo(header);
    _sender->BuildAndSendMessage(handle, message, true);
}

}  // namespace Zelkor
