// A device's files, firmware and file system as a controller reaches them: puts and gets
// queued with the file transfer service, the cancel of a put, transfer progress, the
// firmware update and the device's firmware notices, and the five file-system requests
// with the callbacks of their replies.

#include "device/DeviceImpl.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "core/Message.h"
#include "core/MessageSignalData.h"
#include "driver/ZelkorDriver.h"
#include "filetransfer/CancelPutFile.h"
#include "filetransfer/FileSystemMessages.h"
#include "filetransfer/IFileTransferService.h"
#include "storage/PathGuard.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

// The longest path the two text forms of the requests take.
constexpr std::size_t kMaxTextPath = 1023;
const char* const kOperationFailed = "Operation failed";

std::string textOf(const Message& message, Param p) {
    const char* text = message.GetParameter(p);
    return text ? std::string(text) : std::string();
}

// A free-space size as a signed 64-bit decimal: leading white space and a sign, then the
// digits up to the first other character. False for no digit or a number too large.
bool readFreeSpace(const char* text, long long& out) {
    while (std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    const char* digits = (*text == '+' || *text == '-') ? text + 1 : text;
    if (!std::isdigit(static_cast<unsigned char>(*digits))) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (errno == ERANGE || end == text) {
        return false;
    }
    out = value;
    return true;
}

// A path of the two text forms: 1 to 1023 bytes.
// The log line refusing a path of the two C-string requests, or null for a path of 1 to
// kMaxTextPath bytes.
const char* textPathRefusal(const char* path, const char* missing, const char* invalid) {
    if (!path) {
        return missing;
    }
    const std::size_t length = std::strlen(path);
    return length >= 1 && length <= kMaxTextPath ? nullptr : invalid;
}

}  // namespace

std::shared_ptr<IFileTransferService> DeviceImpl::fileTransfer() const {
    const auto owner = _driver.lock();
    IFileTransferService* service = owner ? owner->GetFileTransferService() : nullptr;
    return service ? std::shared_ptr<IFileTransferService>(owner, service) : nullptr;
}

// --- transfers ---------------------------------------------------------------------------

bool DeviceImpl::SendFile(const std::string& localPath, const std::string& remotePath, unsigned long blockSize,
                          TransferDone done) {
    const auto owner = _driver.lock();
    if (!owner) {
        Warning("ZK6654W Driver is not avaliable");
        return false;
    }
    const auto service = fileTransfer();
    if (!service) {
        Warning("ZK6655W File Transfer Service is not avaliable");
        return false;
    }
    if (!owner->ParentPathsAllowed() && HasParentElement(remotePath, "/")) {
        Warning("ZK6656W Remote path cannot contain parent references (" + remotePath + ")");
        return false;
    }
    std::vector<std::string> targets{GetDiscoInfo().guid};
    IFileTransferService::FilePairs files{{localPath, remotePath}};
    return service->SendFiles(targets, files, blockSize, std::move(done));
}

bool DeviceImpl::RecvFile(const std::string& localPath, const std::string& remotePath, unsigned long blockSize,
                          TransferDone done) {
    if (_driver.expired()) {
        Warning("ZK6657W Driver is not avaliable");
        return false;
    }
    const auto service = fileTransfer();
    if (!service) {
        Warning("ZK6658W File Transfer Service is not avaliable");
        return false;
    }
    std::vector<std::string> targets{GetDiscoInfo().guid};
    IFileTransferService::FilePairs files{{localPath, remotePath}};
    return service->ReceiveFiles(targets, files, blockSize, std::move(done));
}

void DeviceImpl::CancelSendFile() {
    const auto owner = _driver.lock();
    if (!owner) {
        Warning("ZK6659W Driver is not avaliable");
        return;
    }
    // The line is built from the header prepared for the connection taken: a copy taken
    // before would carry the previous request's route, which a router takes as its own
    // and a device now reached directly refuses as misrouted.
    ForTheHandle([&owner](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        const cancelPutFile cancel;
        owner->SendDataToPeer(ZelkorDriver::HandleOf(socket.get()), cancel.Build(header, true), true);
    });
}

void DeviceImpl::onFileProgressStatus(ProgressCallback callback) {
    if (!callback) {
        Warning("ZK6676W File Transfer Progress Callback is empty");
        return;
    }
    store(_onFileProgress, std::move(callback));
    if (_driver.expired()) {
        Warning("ZK6677W Driver is not avaliable");
        return;
    }
    const auto service = fileTransfer();
    if (!service) {
        Warning("ZK6678W File Transfer Service is not avaliable");
        return;
    }
    service->SetFileTxHandle(copy(_onFileProgress));
}

// --- firmware ----------------------------------------------------------------------------

void DeviceImpl::FirmwareUpdate(const std::string& arguments) {
    if (_driver.expired()) {
        Warning("ZK6669W Driver is not avaliable");
        return;
    }
    const auto service = fileTransfer();
    if (!service) {
        Warning("ZK6670W File Transfer Service is not avaliable");
        return;
    }
    ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        service->SendFirmwareUpdateMode(ZelkorDriver::HandleOf(socket.get()), arguments, header);
    });
}

void DeviceImpl::OnFirmwareUpdateResult(TextCallback callback) {
    if (!callback) {
        Warning("ZK6674W FWUpdate Result Callback function is empty");
        return;
    }
    store(_onFirmwareUpdateResult, std::move(callback));
    handlefwupdate();
}

void DeviceImpl::OnFirmwareUpdate(TextCallback callback) {
    if (!callback) {
        Warning("ZK6675W FWUpdate Callback function is empty");
        return;
    }
    store(_onFirmwareUpdate, std::move(callback));
    handlefwupdate();
}

void DeviceImpl::handlefwupdate() {
    switch (hook(Cookie::Firmware, !_driver.expired(), fileTransfer().get(), "fwupdate",
                 [self = shared_from_this()](MessageSignalData& data) { self->serveFirmware(data); })) {
        case Hook::Already:
            Debug("ZK6671I FWUpdate cookie is already connected");
            break;
        case Hook::NoDriver:
            Warning("ZK6672W Driver is not avaliable");
            break;
        case Hook::NoService:
            Warning("ZK6673W File Transfer Service is not avaliable");
            break;
        case Hook::Connected:
        case Hook::Finalized:
            break;
    }
}

void DeviceImpl::serveFirmware(MessageSignalData& data) {
    // The service drops datagrams of the word, but its signal may still carry them to
    // this filter: a notice counts only over the device's own connection or its route.
    const Message* message = data.GetMessage();
    if (!message || !data.IsReliable() || !MatchSource(data)) {
        return;
    }
    if (message->GetIsReply()) {
        if (const auto deliver = copy(_onFirmwareUpdateResult)) {
            deliver(textOf(*message, Param::error));
        }
    } else if (const auto deliver = copy(_onFirmwareUpdate)) {
        deliver(textOf(*message, Param::arguments));
    }
}

// --- file system -------------------------------------------------------------------------

void DeviceImpl::fileSystemRequest(FileSystemSend send, const char* path) {
    const auto service = fileTransfer();
    if (!service) {
        return;
    }
    ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        ((*service).*send)(ZelkorDriver::HandleOf(socket.get()), path, header);
    });
}

void DeviceImpl::hookFileSystemResult(Cookie slot, const char* word, std::function<void(const Message&)> serve) {
    // A datagram of the word is no answer to a request of this device's connection.
    auto replies = sourceFilter(true, std::move(serve));
    hook(slot, !_driver.expired(), fileTransfer().get(), word,
         [replies = std::move(replies)](MessageSignalData& data) {
             if (data.IsReliable()) {
                 replies(data);
             }
         });
}

void DeviceImpl::SendFreespaceCommand(char const* path) {
    if (const char* refusal = textPathRefusal(path, "ZK6694E SendFreespaceCommand missing path", "ZK6695E SendFreespaceCommand invalid path")) {
        Error(refusal);
        return;
    }
    fileSystemRequest(&IFileTransferService::SendFreeSpace, path);
}

void DeviceImpl::OnFreespaceResult(FreespaceCallback callback) {
    store(_onFreespace, std::move(callback));
    hookFileSystemResult(Cookie::Freespace, "freespace", [this](const Message& reply) {
        const auto deliver = copy(_onFreespace);
        if (!deliver) {
            return;
        }
        long long bytes = 0;
        std::string error = kOperationFailed;
        if (const char* text = reply.GetParameter(Param::error)) {
            error = text;
            deliver(false, bytes, error);
            return;
        }
        const char* size = reply.GetParameter(Param::size);
        if (size && readFreeSpace(size, bytes)) {
            error.clear();
            deliver(true, bytes, error);
            return;
        }
        bytes = 0;
        deliver(false, bytes, error);
    });
}

void DeviceImpl::SendDeletefileCommand(char const* path) {
    if (const char* refusal = textPathRefusal(path, "ZK6696E SendDeletefileCommand missing path", "ZK6697E SendDeletefileCommand invalid path")) {
        Error(refusal);
        return;
    }
    fileSystemRequest(&IFileTransferService::SendDeleteFile, path);
}

void DeviceImpl::OnDeletefileResult(DeletefileCallback callback) {
    store(_onDeletefile, std::move(callback));
    hookFileSystemResult(Cookie::DeleteFile, "deletefile", [this](const Message& reply) {
        if (const auto deliver = copy(_onDeletefile)) {
            const char* error = reply.GetParameter(Param::error);
            std::string text = error ? error : "";
            deliver(error == nullptr, text);
        }
    });
}

void DeviceImpl::ListFiles(const std::string& path) {
    if (path.empty()) {
        Error("ZK6698E Listfiles missing path");
        return;
    }
    fileSystemRequest(&IFileTransferService::SendListFiles, path.c_str());
}

void DeviceImpl::OnListFilesResult(ListFilesCallback callback) {
    store(_onListFiles, std::move(callback));
    hookFileSystemResult(Cookie::ListFiles, "listfiles", [this](const Message& reply) {
        const auto deliver = copy(_onListFiles);
        if (!deliver) {
            return;
        }
        std::vector<ListFilesItem> entries;
        if (const char* error = reply.GetParameter(Param::error)) {
            deliver(false, entries, error);
            return;
        }
        // The driver's table makes every "listfiles" a listing.
        if (const auto* listing = dynamic_cast<const Zelkor::ListFiles*>(&reply)) {
            listing->GetListFilesInfo(entries);
        }
        deliver(true, entries, std::string());
    });
}

void DeviceImpl::CreateDir(const std::string& path) {
    if (path.empty()) {
        Error("ZK6699E CreateDir missing path");
        return;
    }
    fileSystemRequest(&IFileTransferService::SendMKDIR, path.c_str());
}

void DeviceImpl::OnCreateDirResult(DirCallback callback) {
    store(_onCreateDir, std::move(callback));
    hookFileSystemResult(Cookie::CreateDir, "mkdir", [this](const Message& reply) {
        if (const auto deliver = copy(_onCreateDir)) {
            const char* error = reply.GetParameter(Param::error);
            deliver(error == nullptr, error ? error : "");
        }
    });
}

void DeviceImpl::RemoveDir(const std::string& path) {
    if (path.empty()) {
        Error("ZK66A0E RemoveDir missing path");
        return;
    }
    fileSystemRequest(&IFileTransferService::SendRMDIR, path.c_str());
}

void DeviceImpl::OnRemoveDirResult(DirCallback callback) {
    store(_onRemoveDir, std::move(callback));
    hookFileSystemResult(Cookie::RemoveDir, "rmdir", [this](const Message& reply) {
        if (const auto deliver = copy(_onRemoveDir)) {
            const char* error = reply.GetParameter(Param::error);
            deliver(error == nullptr, error ? error : "");
        }
    });
}

}  // namespace Zelkor
