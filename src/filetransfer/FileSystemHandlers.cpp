// A device's answers to the file-system words and "fwupdate". The checks, the datagram
// drop and the ending of a deleted file's transfers run on the loop; the disk work of
// the five file-system words runs in arrival order on the service's disk worker, so
// that a long listing or a large removal stalls no connection, timer or transfer. The
// words act on the host's paths, or beneath the storage root when the node confines them.

#include <cerrno>
#include <cstdint>
#include <exception>
#include <limits>
#include <system_error>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/filesystem/operations.hpp>
#include <json/value.h>

#include "core/Message.h"
#include "device/IDeviceState.h"
#include "driver/IServiceSender.h"
#include "filetransfer/DirectoryListing.h"
#include "filetransfer/FileSystemBeneath.h"
#include "filetransfer/FileSystemMessages.h"
#include "filetransfer/FileSystemPaths.h"
#include "filetransfer/FileSystemWords.h"
#include "filetransfer/FileTransferService.h"
#include "storage/RequestBound.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace fs = boost::filesystem;

namespace {

constexpr const char* kPathRequired = "Path is required";
constexpr const char* kPathMissing = "Path is missing";
constexpr const char* kNotAFolder = "Path is required or path is not a directory";
constexpr const char* kPathNotAllowed = "Path not allowed";
constexpr const char* kOperationFailed = "Operation failed";
constexpr const char* kTooManyRequests = "Too many requests";
// Bytes a file-system job holds beside its route and path: its messages, the work and the
// job itself.
constexpr std::size_t kDiskJobOverhead = 1024;

bool empty(const char* path) { return !path || !*path; }

std::unique_ptr<Message> refusal(std::unique_ptr<Message> reply, const char* text) {
    reply->SetParameter(Param::error, text);
    return reply;
}

// The request's path as the peer wrote it: the C string a handler is given ends at the
// first NUL byte, the JSON text does not.
std::string wholePath(const MessageSignalData& data, const char* path) {
    std::string whole = path ? path : "";
    if (const Message* request = data.GetMessage()) {
        Json::Value value;
        request->GetJsonParameter(value, Param::path);
        const char* begin = nullptr;
        const char* end = nullptr;
        if (value.isString() && value.getString(&begin, &end)) {
            whole.assign(begin, end);
        }
    }
    return whole;
}

void setError(Message& reply, const std::string& text) { reply.SetParameter(Param::error, text.c_str()); }

const char* listingError(ListingResult result) {
    switch (result) {
        case ListingResult::NotFound:
            return "Path not found";
        case ListingResult::IsFile:
            return "Path is a file";
        case ListingResult::IsFolder:
            return "Path is directory";
        case ListingResult::TooMany:
            return kTooManyEntries;
        case ListingResult::LeavesRoot:
            return kPathNotAllowed;
        default:
            return kOperationFailed;
    }
}

ListFiles entryOf(const ListFilesItem& item) {
    ListFiles entry;
    entry.SetParameter(Param::name, item.name.c_str());
    entry.SetParameter(Param::size, std::to_string(item.size).c_str());
    if (item.version) {
        entry.SetParameter(Param::version, item.version->c_str());
    }
    if (item.checksum) {
        entry.SetParameter(Param::checksum, item.checksum->c_str());
    }
    if (item.creationdate) {
        entry.SetParameter(Param::creationdate, std::to_string(*item.creationdate).c_str());
    }
    if (item.modifieddate) {
        entry.SetParameter(Param::modifieddate, std::to_string(*item.modifieddate).c_str());
    }
    if (item.readonly) {
        entry.SetParameter(Param::readonly, *item.readonly ? "1" : "0");
    }
    return entry;
}

// The disk work of each word, on the worker: what it finds becomes the reply.

void deleteOnHost(const std::string& path, FileTransferService::DiskOutcome& out) {
    boost::system::error_code error;
    const fs::file_status status = fs::status(path, error);
    // A path that is not there is no failure of the query, whatever the error code says.
    const bool missing = status.type() == fs::file_not_found;
    if ((error && !missing) || !fs::exists(status)) {
        const std::string text = error && !missing ? error.message() : std::string("File not found");
        setError(*out.reply, text);
        out.logs.push_back({1, "ZK7920E HandleDelete failed calling fs::exists", text});
        return;
    }
    if (fs::is_directory(status)) {
        setError(*out.reply, "Path is a folder. Try rmdir");
        out.logs.push_back({1, "ZK7921E HandleDelete failed trying to delete folder", path});
        return;
    }
    if (!fs::remove(path, error) || error) {
        setError(*out.reply, error ? error.message() : std::string(kOperationFailed));
        out.logs.push_back({1, "ZK7922E HandleDelete failed caling fs::remove", path});
        return;
    }
    out.logs.push_back({4, "ZK7923I File Deletion successful", path});
}

void listOnDisk(const FileTransferService::FileSystemPlace& place, std::size_t most, std::size_t lineBound,
                FileTransferService::DiskOutcome& out) {
    const std::string& path = place.path;
    std::vector<ListFilesItem> items;
    // The loop writes the lines: a folder of unreadable entries gives a few, then a count.
    constexpr std::size_t kMostLines = 100;
    std::size_t unreadable = 0;
    const auto skipped = [&out, &unreadable](const std::string& entry, int error) {
        if (++unreadable <= kMostLines) {
            out.logs.push_back({1, "ZK7918E Could not get file properties for (" + entry + ") errno",
                                std::to_string(error)});
        }
    };
    const ListingResult result = place.beneath ? ListBeneath(place.root, path, items, most, skipped)
                                               : ListPath(path, false, items, most, skipped);
    if (unreadable > kMostLines) {
        out.logs.push_back({1, "ZK7974E Entries without properties not logged", std::to_string(unreadable - kMostLines)});
    }
    if (result != ListingResult::Listed) {
        setError(*out.reply, listingError(result));
        return;
    }
    auto& listing = static_cast<ListFiles&>(*out.reply);
    for (const auto& item : items) {
        listing.AddListFiles(entryOf(item));
    }
    out.lineBound = lineBound;
    out.whenTooLong = std::make_unique<ListFiles>();
    out.whenTooLong->SetParameter(Param::path, path.c_str());
    out.whenTooLong->SetParameter(Param::error, kTooManyEntries);
}

void freeSpaceOnHost(const std::string& path, FileTransferService::DiskOutcome& out) {
    boost::system::error_code error;
    const fs::space_info space = fs::space(path, error);
    if (error || space.free == std::numeric_limits<decltype(space.free)>::max()) {
        setError(*out.reply, "Path not found or Access denied");
        return;
    }
    out.reply->SetParameter(Param::size, std::to_string(space.free).c_str());
}

void mkdirOnHost(const std::string& path, FileTransferService::DiskOutcome& out) {
    boost::system::error_code error;
    if (!fs::create_directories(path, error) || error) {
        out.logs.push_back({1, "ZK7924E MKDIR: Create_directory failed", path});
        setError(*out.reply, error ? error.message() : std::string("Path already exists"));
    }
}

void rmdirOnHost(const std::string& path, FileTransferService::DiskOutcome& out) {
    boost::system::error_code error;
    if (!fs::is_directory(fs::status(path, error)) || error) {
        setError(*out.reply, kNotAFolder);
        return;
    }
    // The tree goes without following a link: a link to a folder, given or found inside,
    // is removed as a link. "link/" would name the folder behind it; the normal form
    // names the link.
    const std::string normal = NormalPath(path);
    if (normal.empty() || normal == "/") {
        setError(*out.reply, kPathNotAllowed);
        return;
    }
    fs::remove_all(normal, error);
    if (error) {
        out.logs.push_back({1, "ZK7925E RMDIR: Operation failed", path});
        setError(*out.reply, error.message());
    }
}

// The same words beneath the storage root: each answers as on the host, and a path that
// would leave the root "Path not allowed".

using Place = FileTransferService::FileSystemPlace;

std::string systemText(int error) { return std::system_category().message(error); }

// How logs name a path below the root.
std::string named(const Place& place) { return place.root + "/" + PathBelowRoot(place.path); }

void leaves(const Place& place, FileTransferService::DiskOutcome& out) {
    setError(*out.reply, kPathNotAllowed);
    out.logs.push_back({2, "ZK7973W File-system path not allowed", std::string(out.reply->CommandName()) + " " +
                                                                       place.path});
}

void deleteOnDisk(const Place& place, FileTransferService::DiskOutcome& out) {
    if (!place.beneath) {
        deleteOnHost(place.path, out);
        return;
    }
    switch (const int error = RemoveFileBeneath(place.root, place.path)) {
        case 0:
            out.logs.push_back({4, "ZK7923I File Deletion successful", named(place)});
            break;
        case EXDEV:
            leaves(place, out);
            break;
        case ENOENT:
        case ENOTDIR:
            setError(*out.reply, "File not found");
            out.logs.push_back({1, "ZK7920E HandleDelete failed calling fs::exists", "File not found"});
            break;
        case EISDIR:
            setError(*out.reply, "Path is a folder. Try rmdir");
            out.logs.push_back({1, "ZK7921E HandleDelete failed trying to delete folder", named(place)});
            break;
        default:
            setError(*out.reply, systemText(error));
            out.logs.push_back({1, "ZK7922E HandleDelete failed caling fs::remove", named(place)});
            break;
    }
}

void freeSpaceOnDisk(const Place& place, FileTransferService::DiskOutcome& out) {
    if (!place.beneath) {
        freeSpaceOnHost(place.path, out);
        return;
    }
    std::uint64_t free = 0;
    const int error = FreeSpaceBeneath(place.root, place.path, free);
    if (error == EXDEV) {
        leaves(place, out);
    } else if (error != 0) {
        setError(*out.reply, "Path not found or Access denied");
    } else {
        out.reply->SetParameter(Param::size, std::to_string(free).c_str());
    }
}

void mkdirOnDisk(const Place& place, FileTransferService::DiskOutcome& out) {
    if (!place.beneath) {
        mkdirOnHost(place.path, out);
        return;
    }
    const int error = MakeFoldersBeneath(place.root, place.path);
    if (error == EXDEV) {
        leaves(place, out);
    } else if (error != 0) {
        out.logs.push_back({1, "ZK7924E MKDIR: Create_directory failed", named(place)});
        setError(*out.reply, error == EEXIST ? std::string("Path already exists") : systemText(error));
    }
}

void rmdirOnDisk(const Place& place, FileTransferService::DiskOutcome& out) {
    if (!place.beneath) {
        rmdirOnHost(place.path, out);
        return;
    }
    switch (const int error = RemoveFolderBeneath(place.root, place.path)) {
        case 0:
            break;
        case EXDEV:
        case EBUSY:
            leaves(place, out);
            break;
        case ENOTDIR:
            setError(*out.reply, kNotAFolder);
            break;
        default:
            out.logs.push_back({1, "ZK7925E RMDIR: Operation failed", named(place)});
            setError(*out.reply, systemText(error));
            break;
    }
}

}  // namespace

namespace {

// Each word with what a datagram of it logs.
const std::pair<const char*, const char*> kFileSystemWords[] = {
    {"deletefile", "ZK7919I HandleDelete packet.ConnHandle() is null"},
    {"listfiles", "ZK7966I HandleListFiles packet.ConnHandle() is null"},
    {"freespace", "ZK7967I HandleFreeSpace packet.ConnHandle() is null"},
    {"mkdir", "ZK7968I HandleMkDir packet.ConnHandle() is null"},
    {"rmdir", "ZK7969I HandleRmDir packet.ConnHandle() is null"},
    {"fwupdate", "ZK7970I HandleFirmwareUpdate packet.ConnHandle() is null"},
};

}  // namespace

bool IsFileSystemWord(const std::string& word) { return FileSystemNoConnectionText(word) != nullptr; }

const char* FileSystemNoConnectionText(const std::string& word) {
    for (const auto& [known, text] : kFileSystemWords) {
        if (word == known) {
            return text;
        }
    }
    return nullptr;
}

// --- dispatch ----------------------------------------------------------------------------

void FileTransferService::registerFileSystemWords() {
    _messageSignalMap.SetMessageSignalFactory({"deletefile", &_deleteSignal, CreateDelFile});
    _messageSignalMap.SetMessageSignalFactory({"listfiles", &_listSignal, CreateListFiles});
    _messageSignalMap.SetMessageSignalFactory({"freespace", &_freeSpaceSignal, CreateFreeSpace});
    _messageSignalMap.SetMessageSignalFactory({"mkdir", &_mkdirSignal, CreateMKDIR});
    _messageSignalMap.SetMessageSignalFactory({"rmdir", &_rmdirSignal, CreateRMDIR});
    _messageSignalMap.SetMessageSignalFactory({"fwupdate", &_firmwareSignal, CreateFirmwareUpdateMode});
}

void FileTransferService::raiseWord(const std::string& word, MessageSignalData& data) {
    if (Signal<MessageSignalData>* signal = _messageSignalMap.GetMessageSignalFactory(word.c_str()).MessageSignal()) {
        signal->Raise(data);
    }
}

void FileTransferService::dispatchFileSystem(MessageSignalData& data, Message& message, const std::string& word,
                                             bool reply) {
    // Replies, error replies included, are the controller's: its result callbacks listen
    // on the word's signal.
    if (reply) {
        raiseWord(word, data);
        return;
    }
    const char* path = message.GetParameter(Param::path);
    if (word == "fwupdate") {
        // On a connection this node opened the request is its device's notice, for the
        // device object alone; only a controller that connected here may update.
        if (!data.Socket()->IsOutgoing()) {
            HandleFirmwareUpdate(data);
        } else {
            // Answered all the same, bare: the device's later requests on the connection
            // wait for this reply.
            FirmwareUpdateMode received;
            replyTo(data, received);
        }
        raiseWord(word, data);
    } else if (word == "deletefile") {
        HandleDelete(data, path);
    } else if (word == "listfiles") {
        HandleListFiles(data);
    } else if (word == "freespace") {
        HandleFreeSpace(data, path);
    } else if (word == "mkdir") {
        HandleMkDir(data, path);
    } else {
        HandleRmDir(data, path);
    }
}

// --- the disk worker -----------------------------------------------------------------------

// One request's disk work. It holds the request's route and hash, not its body, and its
// connection weakly: a connection that closes while its jobs wait is let go at once, and
// their replies, which have nowhere to go, are dropped.
struct FileTransferService::DiskJob {
    std::weak_ptr<TcpSocket> socket;
    void* handle = nullptr;
    MessageForwardInfo header;
    DiskJobShares::Requester requester;
    std::size_t bytes = 0;
    DiskWork work;
    DiskOutcome outcome;
    std::unique_ptr<Message> blank;  // the reply form for a failure
    std::string thrown;              // an exception's text, "" when none
    bool threw = false;
    std::string line;

    // Worker thread.
    void Run() {
        try {
            if (work) {
                work(outcome);
            }
        } catch (const std::exception& error) {
            threw = true;
            thrown = error.what();
        } catch (...) {
            threw = true;
        }
        if (threw) {
            outcome.reply = std::move(blank);
            setError(*outcome.reply, thrown.empty() ? std::string(kOperationFailed) : thrown);
        }
        line = build(*outcome.reply);
        if (outcome.lineBound && outcome.whenTooLong && line.size() >= outcome.lineBound) {
            line = build(*outcome.whenTooLong);
        }
        work = nullptr;
    }

    std::string build(const Message& reply) const {
        try {
            MessageForwardInfo copy = header;
            return reply.Build(copy, false);
        } catch (const std::exception&) {
            return std::string();
        }
    }
};

void FileTransferService::onDisk(MessageSignalData& data, std::unique_ptr<Message> reply, DiskWork work) {
    auto job = std::make_shared<DiskJob>();
    job->socket = data.Socket();
    job->handle = data.Handle();
    const Message* request = data.GetMessage();
    if (request) {
        job->header = request->GetMessageForwardInfo().WithoutBody();
    }
    // What the job holds until its reply is sent: its route twice (the lists and their
    // texts), its path in the reply and in the work, and the rest.
    const char* path = request ? request->GetParameter(Param::path) : nullptr;
    job->bytes = kDiskJobOverhead + 2 * (job->header.SourceText().size() + job->header.TargetText().size()) +
                 2 * (path ? std::char_traits<char>::length(path) : 0);
    job->requester = {data.Handle(), request ? request->GetMessageForwardInfo().GetSource() : std::string()};
    if (!_diskShares.Take(job->requester, job->bytes)) {
        PeerWarning("ZK79A0W File-system request refused, its requester has too many waiting",
                    Join(request ? request->CommandName() : "", " on ", _diskShares.Jobs(job->requester)));
        auto refused = refusal(reply->Instantiate(), kTooManyRequests);
        replyTo(data, *refused);
        return;
    }
    job->blank = reply->Instantiate();
    job->outcome.reply = std::move(reply);
    job->work = std::move(work);
    const bool posted = _diskWorker.Post([job, weak = weak_from_this(), &io = _io]() mutable {
        job->Run();
        // The job is let go on the loop. The io_context outlives the service, whose
        // destructor joins this worker.
        boost::asio::post(io, [job = std::move(job), weak] {
            if (const auto self = weak.lock()) {
                self->diskJobDone(*job);
            }
        });
    });
    if (!posted) {
        _diskShares.Give(job->requester, job->bytes);
        PeerWarning("ZK7971W File-system request refused, too many waiting", data.GetMessage()->CommandName());
        auto refused = refusal(std::move(job->blank), kTooManyRequests);
        replyTo(data, *refused);
    }
}

void FileTransferService::diskJobDone(DiskJob& job) {
    _diskShares.Give(job.requester, job.bytes);
    for (const auto& log : job.outcome.logs) {
        switch (log.level) {
            case 1:
                Error(log.text, log.detail);
                break;
            case 2:
                Warning(log.text, log.detail);
                break;
            default:
                Summary(log.text, log.detail);
                break;
        }
    }
    const char* word = job.outcome.reply ? job.outcome.reply->CommandName() : "";
    if (job.threw) {
        Error("ZK7972E File-system request failed", std::string(word) + ": " +
                                                        (job.thrown.empty() ? kOperationFailed : job.thrown));
    }
    if (!_sender) {
        return;
    }
    if (job.line.empty()) {
        PeerWarning("ZK7965W Transfer line has no valid route", word);
        return;
    }
    // Held while the reply goes, so that the handle names this connection.
    const auto socket = job.socket.lock();
    if (!socket) {
        Summary("ZK79A1I File-system reply dropped, its connection has gone", word);
        return;
    }
    _sender->SendReply(job.handle, job.line, job.header.hasHash ? job.header.HashText() : std::string(), word);
}

bool FileTransferService::pathAllowed(MessageSignalData& data, std::unique_ptr<Message>& reply, const char* path,
                                      bool folderRemoval, FileSystemPlace& place) {
    const bool parents = _sender && _sender->ParentPathsAllowed();
    place.path = path;
    place.beneath = _fileSystemConfined.load();
    place.root = place.beneath ? GetStorageRootPath() : std::string();
    // Beneath a root, the folder a removal must spare is the root, which the disk work
    // tells; without a root nothing is beneath it.
    const bool allowed = FileSystemPathAllowed(wholePath(data, path), parents, folderRemoval && !place.beneath) &&
                         !(place.beneath && place.root.empty());
    if (allowed) {
        return true;
    }
    PeerWarning("ZK7973W File-system path not allowed", Join(reply->CommandName(), " ", path));
    onDisk(data, refusal(std::move(reply), kPathNotAllowed), {});
    return false;
}

// --- the handlers ----------------------------------------------------------------------------

void FileTransferService::HandleDelete(MessageSignalData& data, const char* path) {
    if (!data.GetMessage()) {
        return;
    }
    if (!data.Socket()) {
        Warning("ZK7919I HandleDelete packet.ConnHandle() is null");
        return;
    }
    std::unique_ptr<Message> reply = std::make_unique<DelFile>();
    if (empty(path)) {
        onDisk(data, refusal(std::move(reply), kPathRequired), {});
        return;
    }
    FileSystemPlace place;
    if (!pathAllowed(data, reply, path, false, place)) {
        return;
    }
    // An answered transfer names its file as root + "/" + its path.
    const std::string file = place.beneath ? place.root + "/" + PathBelowRoot(place.path) : place.path;
    endAnsweredOn(data.Socket(), data.GetMessage()->GetMessageForwardInfo().GetSource(), NormalPath(file));
    onDisk(data, std::move(reply), [place](DiskOutcome& out) { deleteOnDisk(place, out); });
}

void FileTransferService::endAnsweredOn(const std::shared_ptr<TcpSocket>& socket, const std::string& source,
                                        const std::string& normalPath) {
    if (normalPath.empty()) {
        return;
    }
    for (auto& element : _activeList) {
        if (!element.incoming) {
            continue;
        }
        for (auto& target : element.targets) {
            if (target.socket == socket && target.source == source && NormalPath(target.localFile) == normalPath) {
                endAnswered(element, target);
            }
        }
    }
}

void FileTransferService::HandleListFiles(MessageSignalData& data) {
    const Message* request = data.GetMessage();
    if (!request || !data.Socket()) {
        return;
    }
    const char* path = request->GetParameter(Param::path);
    std::unique_ptr<Message> reply = std::make_unique<ListFiles>();
    if (empty(path)) {
        onDisk(data, refusal(std::move(reply), kPathMissing), {});
        return;
    }
    reply->SetParameter(Param::path, path);
    FileSystemPlace place;
    if (!pathAllowed(data, reply, path, false, place)) {
        return;
    }
    onDisk(data, std::move(reply),
           [place, most = MaxEntriesPerMessage(), bound = _listingLineBound.load()](DiskOutcome& out) {
               listOnDisk(place, most, bound, out);
           });
}

void FileTransferService::HandleFreeSpace(MessageSignalData& data, const char* path) {
    answerPath(data, path, std::make_unique<FreeSpace>(), kPathMissing, false, freeSpaceOnDisk);
}

void FileTransferService::HandleMkDir(MessageSignalData& data, const char* path) {
    answerPath(data, path, std::make_unique<MKDIR>(), kPathRequired, false, mkdirOnDisk);
}

void FileTransferService::HandleRmDir(MessageSignalData& data, const char* path) {
    answerPath(data, path, std::make_unique<RMDIR>(), kNotAFolder, true, rmdirOnDisk);
}

void FileTransferService::answerPath(MessageSignalData& data, const char* path, std::unique_ptr<Message> reply,
                                     const char* noPath, bool folderRemoval, PathWork work) {
    if (!data.GetMessage() || !data.Socket()) {
        return;
    }
    if (empty(path)) {
        onDisk(data, refusal(std::move(reply), noPath), {});
        return;
    }
    FileSystemPlace place;
    if (!pathAllowed(data, reply, path, folderRemoval, place)) {
        return;
    }
    onDisk(data, std::move(reply), [place, work](DiskOutcome& out) { work(place, out); });
}

void FileTransferService::HandleFirmwareUpdate(MessageSignalData& data) {
    Trace("ZK7926I HandleFirmwareUpdate begin");
    const Message* request = data.GetMessage();
    if (!request) {
        return;
    }
    const char* given = request->GetParameter(Param::arguments);
    const std::string arguments = given ? given : "";
    FirmwareUpdateMode reply;
    if (_deviceState) {
        std::string errorText;
        try {
            if (!_deviceState->UpdateFirmware(errorText, arguments)) {
                reply.SetParameter(Param::error, errorText.c_str());
            }
        } catch (const std::exception& error) {
            const std::string text = *error.what() ? error.what() : kOperationFailed;
            Error("ZK7972E File-system request failed", "fwupdate: " + text);
            reply.SetParameter(Param::error, text.c_str());
        } catch (...) {
            Error("ZK7972E File-system request failed", std::string("fwupdate: ") + kOperationFailed);
            reply.SetParameter(Param::error, kOperationFailed);
        }
    }
    replyTo(data, reply);
}

}  // namespace Zelkor
