// Folder navigation: the driver answers "ls", "rls" and "cd" against the node's tree and
// its one working folder, hands the replies to the application's callbacks, and sends
// the three requests for the remote device object.
//
// Answers are written for the connection a request came on: a folder word that arrives
// over UDP is dropped, so that no reply is written to a datagram socket and no datagram
// moves the folder every connection shares.

#include <sstream>
#include <utility>

#include <json/value.h>

#include "core/JsonText.h"
#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"
#include "services/FolderNavigationMessages.h"
#include "storage/RequestBound.h"
#include "storage/StorageModel.h"
#include "transport/TcpSocket.h"
#include "transport/TcpSocketSet.h"

namespace Zelkor {

namespace {

// The folder and the path joined as a file-system path joins them; "." and ".." inside
// the path stay as they are.
std::string joinPath(const std::string& folder, const std::string& path) {
    if (path.empty()) {
        return folder;
    }
    if (folder.empty() || folder.back() == '/') {
        return folder + path;
    }
    return folder + "/" + path;
}

// The request's "path" as the peer gave it; "" when there is none.
std::string requestedPath(const Message& message) {
    const char* path = message.GetParameter(Param::path);
    return path ? path : "";
}

template <class Folder>
void sendOnSet(ZelkorDriver& driver, std::shared_ptr<TcpSocketSet> set, const char* path,
               MessageForwardInfo& header) {
    if (!path || !set) {
        return;
    }
    Folder message;
    message.SetJsonParameter(Param::path, Json::Value(path));
    driver.SendDataToPeer(std::move(set), message.Build(header, true), true);
}

template <class Folder>
void sendOnSocket(ZelkorDriver& driver, std::shared_ptr<TcpSocket> socket, const char* path) {
    if (!path || !socket) {
        return;
    }
    Folder message;
    message.SetJsonParameter(Param::path, Json::Value(path));
    driver.SendDataToPeer(std::move(socket), message.Build(true), true);
}

}  // namespace

void ZelkorDriver::SetCWDPath(std::string path) {
    std::lock_guard<std::mutex> lock(_cwdMutex);
    _cwd = std::move(path);
}

std::string ZelkorDriver::GetCWDPath() {
    std::lock_guard<std::mutex> lock(_cwdMutex);
    return _cwd;
}

std::shared_ptr<IDevice> ZelkorDriver::GetDeviceByName(std::string& name) {
    DiscoveryService* service = GetDiscovery();
    return service ? service->GetDeviceByName(name) : nullptr;
}

bool ZelkorDriver::GetStorage(std::shared_ptr<StorageModel>& out) {
    const auto current = discovery();
    if (!current) {
        Error("ZK6400E no discovery service");
        return false;
    }
    out = current->GetStorageModel();
    if (!out) {
        Error("ZK6401E no storage");
        return false;
    }
    return true;
}

void ZelkorDriver::GetAbsPath(std::string& path) {
    if (!path.empty() && path.front() == '/') {
        return;
    }
    const std::string folder = GetCWDPath();
    path = path == "." ? folder : joinPath(folder, path);
}

bool ZelkorDriver::listFolder(StorageModel& storage, const std::string& path, bool recursive, Listing& entries) {
    const std::vector<std::string> paths = storage.GetDescriptorForPath(path.c_str(), recursive ? 1 : 0);
    const std::size_t bound = MaxEntriesPerMessage();
    std::size_t added = 0;
    for (const auto& entry : paths) {
        if (added == bound) {
            return false;
        }
        std::string text;
        if (storage.GetValueForPath(entry.c_str(), "variant", text) != IStorage::PathOk) {
            text.clear();
        }
        entries.emplace_back(entry, std::move(text));
        ++added;
    }
    return true;
}

void ZelkorDriver::ProcessLsPath(std::string& path, Listing& entries) {
    std::shared_ptr<StorageModel> storage;
    if (GetStorage(storage)) {
        listFolder(*storage, path, false, entries);
    }
}

void ZelkorDriver::ProcessRlsPath(std::string& path, Listing& entries) {
    std::shared_ptr<StorageModel> storage;
    if (GetStorage(storage)) {
        listFolder(*storage, path, true, entries);
    }
}

void ZelkorDriver::OnLs(ReplyCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _onLs = std::move(callback);
}

void ZelkorDriver::OnRls(ReplyCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _onRls = std::move(callback);
}

void ZelkorDriver::OnCd(ReplyCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _onCd = std::move(callback);
}

bool ZelkorDriver::ProcessFolderNavigatorCommand(const std::string& word, MessageSignalData& data) {
    if (word != "ls" && word != "rls" && word != "cd") {
        return false;
    }
    if (!data.IsReliable()) {
        PeerDetail("ZK6404I Folder navigation over UDP dropped", word);
        return true;
    }
    if (word == "ls") {
        ProcessLsCmd(data);
    } else if (word == "rls") {
        ProcessRlsCmd(data);
    } else {
        ProcessCdCmd(data);
    }
    return true;
}

void ZelkorDriver::ProcessLsCmd(MessageSignalData& data) { answerListing(data, false, _onLs); }

void ZelkorDriver::ProcessRlsCmd(MessageSignalData& data) { answerListing(data, true, _onRls); }

bool ZelkorDriver::passReply(MessageSignalData& data, const ReplyCallback& slot) {
    const Message* message = data.GetMessage();
    if (!message || !message->GetIsReply()) {
        return !message;
    }
    ReplyCallback callback;
    {
        std::lock_guard<std::mutex> lock(_callbackMutex);
        callback = slot;
    }
    if (callback) {
        callback(data);
    }
    return true;
}

void ZelkorDriver::answerListing(MessageSignalData& data, bool recursive, const ReplyCallback& slot) {
    if (passReply(data, slot)) {
        return;
    }
    Json::Value listing(Json::arrayValue);
    std::shared_ptr<StorageModel> storage;
    if (GetStorage(storage)) {
        std::string path = requestedPath(*data.GetMessage());
        GetAbsPath(path);
        Listing entries;
        const bool complete = listFolder(*storage, path, recursive, entries);
        if (!complete) {
            // The last place says that the listing goes on, and the whole stays within
            // what a peer reads.
            entries.pop_back();
            Warning(std::string("ZK6403W ") + kTooManyEntries + " below", path);
        }
        for (auto& [entry, value] : entries) {
            Json::Value object(Json::objectValue);
            object["path"] = std::move(entry);
            object["value"] = std::move(value);
            listing.append(std::move(object));
        }
        if (!complete) {
            Json::Value object(Json::objectValue);
            object["error"] = kTooManyEntries;
            listing.append(std::move(object));
        }
    }
    sendFolderReply(data, recursive ? "rls" : "ls", WriteCompactJson(listing));
}

void ZelkorDriver::ProcessCdCmd(MessageSignalData& data) {
    if (passReply(data, _onCd)) {
        return;
    }
    const std::string folder = GetCWDPath();
    const std::string path = requestedPath(*data.GetMessage());
    Json::Value result(Json::objectValue);
    if (path.empty() || path == ".") {
        result["path"] = folder;
    } else if (path == "/" || path == "~") {
        SetCWDPath("/");
        result["path"] = "/";
    } else if (path == "..") {
        const auto slash = folder.rfind('/');
        const std::string up = slash == std::string::npos || slash == 0 ? std::string("/") : folder.substr(0, slash);
        SetCWDPath(up);
        result["path"] = up;
    } else {
        const std::string candidate = path.front() == '/' ? path : joinPath(folder, path);
        std::shared_ptr<StorageModel> storage;
        std::string text;
        if (!GetStorage(storage)) {
            result["error"] = "Storage Error";
        } else if (storage->GetValueForPath(candidate.c_str(), "variant", text) != IStorage::PathOk) {
            result["error"] = "Path not found";
        } else {
            SetCWDPath(candidate);
            result["path"] = candidate;
        }
    }
    sendFolderReply(data, "cd", WriteCompactJson(result));
}

void ZelkorDriver::sendFolderReply(MessageSignalData& data, const char* word, const std::string& json) {
    MessageForwardInfo header = data.GetMessage()->GetMessageForwardInfo();
    std::ostringstream out;
    if (!header.PutMessageForwardHeader(out)) {
        return;
    }
    out << '@' << word;
    if (!json.empty()) {
        out << ' ' << json;
    }
    out << '\n';
    SendReply(data.Handle(), out.str(), header.hasHash ? header.HashText() : std::string(), word);
}

void ZelkorDriver::SendDataToPeer(std::shared_ptr<TcpSocketSet> set, const std::string& text, bool request) {
    if (!set || !sendable(text)) {
        return;
    }
    const auto primary = set->Primary();
    const auto secondary = set->Secondary();
    const bool secondaryUp = secondary && secondary->SocketIsConnected();
    if (primary && primary->SocketIsConnected()) {
        primary->SendData(text, request);
        if (set->IsRedundant() && secondaryUp) {
            secondary->SendData(text, request);
        }
    } else if (secondaryUp) {
        secondary->SendData(text, request);
    }
}

void ZelkorDriver::SendNavigateFolder(std::shared_ptr<TcpSocketSet> set, const char* path,
                                      MessageForwardInfo& header) {
    sendOnSet<NavigateFolder>(*this, std::move(set), path, header);
}

void ZelkorDriver::SendNavigateFolder(std::shared_ptr<TcpSocket> socket, const char* path) {
    sendOnSocket<NavigateFolder>(*this, std::move(socket), path);
}

void ZelkorDriver::SendListFolder(std::shared_ptr<TcpSocketSet> set, const char* path, MessageForwardInfo& header) {
    sendOnSet<ListFolder>(*this, std::move(set), path, header);
}

void ZelkorDriver::SendListFolder(std::shared_ptr<TcpSocket> socket, const char* path) {
    sendOnSocket<ListFolder>(*this, std::move(socket), path);
}

void ZelkorDriver::SendRecurseFolder(std::shared_ptr<TcpSocketSet> set, const char* path,
                                     MessageForwardInfo& header) {
    sendOnSet<RecurseFolder>(*this, std::move(set), path, header);
}

void ZelkorDriver::SendRecurseFolder(std::shared_ptr<TcpSocket> socket, const char* path) {
    sendOnSocket<RecurseFolder>(*this, std::move(socket), path);
}

}  // namespace Zelkor
