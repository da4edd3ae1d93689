#include "filetransfer/FileTransferService.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <future>
#include <memory>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>

#include "core/Message.h"
#include "filetransfer/BlockSize.h"
#include "filetransfer/ITransferDevices.h"
#include "filetransfer/LeavingTarget.h"
#include "filetransfer/TransferMessages.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

constexpr unsigned long MinTransferInterval = 50;
constexpr unsigned long MaxTransferInterval = 1000;
constexpr auto StopWait = std::chrono::seconds(2);

// A bare name is completed with the storage root; an empty one is left empty, so that it
// fails when it starts instead of naming the root itself.
bool isBareName(const std::string& name) { return !name.empty() && name.find_first_of("/\\") == std::string::npos; }

// The ids of one call, each once, in the order they first came.
std::vector<std::string> distinctIds(const std::vector<std::string>& ids) {
    std::vector<std::string> distinct;
    for (const auto& id : ids) {
        if (std::find(distinct.begin(), distinct.end(), id) == distinct.end()) {
            distinct.push_back(id);
        }
    }
    return distinct;
}

bool hasTargetId(const QueueElement& element, const std::string& id) {
    return std::any_of(element.targets.begin(), element.targets.end(),
                       [&id](const QueueTarget& target) { return target.id == id; });
}

// A put's source, opened once: its size is the one announced and checked.
TransferState openSource(QueueElement& element) {
    struct stat info {};
    if (stat(element.path.c_str(), &info) != 0) {
        return TransferState::FileMissing;
    }
    if (S_ISDIR(info.st_mode)) {
        return TransferState::SourceIsFolder;
    }
    if (info.st_size == 0) {
        return TransferState::LocalFileEmpty;
    }
    std::string error;
    auto file = SourceFile::Open(element.path, error);
    if (!file) {
        return TransferState::CannotOpenFile;
    }
    if (file->Size() == 0) {
        return TransferState::LocalFileEmpty;
    }
    element.length = file->Size();
    element.file = std::move(file);
    return TransferState::Started;
}

// A get's destination: absent or a file (it will be replaced, a link itself rather than
// what it points to), never a folder.
TransferState checkDestination(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return TransferState::Started;
    }
    return S_ISDIR(info.st_mode) ? TransferState::SourceIsFolder : TransferState::Started;
}

bool isOn(const QueueTarget& target, void* handle) {
    const auto same = [handle](const std::shared_ptr<TcpSocket>& socket) {
        return socket && (static_cast<void*>(socket.get()) == handle ||
                          static_cast<void*>(static_cast<Socket*>(socket.get())) == handle);
    };
    return same(target.socket) || std::any_of(target.inbound.begin(), target.inbound.end(), same);
}

// Takes out of their elements the targets `leaves` picks, each with what its report reads
// of its element; `afterLeave` runs for every element that lost some, before the next.
template <class Leaves, class AfterLeave>
std::vector<LeavingTarget> takeTargets(std::deque<QueueElement>& active, Leaves leaves, AfterLeave afterLeave) {
    std::vector<LeavingTarget> taken;
    for (auto& element : active) {
        auto& targets = element.targets;
        const std::size_t before = taken.size();
        for (auto it = targets.begin(); it != targets.end();) {
            if (leaves(element, *it)) {
                taken.push_back(LeavingTarget{ReportShell(element), std::move(*it)});
                it = targets.erase(it);
            } else {
                ++it;
            }
        }
        if (taken.size() != before) {
            afterLeave(element);
        }
    }
    return taken;
}

// The callers whose waiting requests a newer one replaced hear it on the loop, as every
// report comes: never inside SendFiles or ReceiveFiles, where a caller may hold a lock its
// callback takes. Once the service is gone, nobody is told.
void tellSuperseded(boost::asio::io_context& io, std::weak_ptr<FileTransferService> service,
                    std::vector<TransferDone> superseded) {
    if (superseded.empty()) {
        return;
    }
    boost::asio::post(io, [service = std::move(service), superseded = std::move(superseded)] {
        if (!service.lock()) {
            return;
        }
        for (const auto& callback : superseded) {
            if (callback) {
                callback(false, TransferText::Canceled);
            }
        }
    });
}

}  // namespace

// --- queue ---------------------------------------------------------------------------------

bool FileTransferService::SendFiles(std::vector<std::string>& targets, FilePairs& files, unsigned long blockSize,
                                    Done done) {
    return TransferFiles(targets, files, blockSize, std::move(done), TransferOperation::Send);
}

bool FileTransferService::ReceiveFiles(std::vector<std::string>& targets, FilePairs& files, unsigned long blockSize,
                                       Done done) {
    return TransferFiles(targets, files, blockSize, std::move(done), TransferOperation::Receive);
}

bool FileTransferService::TransferFiles(std::vector<std::string>& targets, FilePairs& files, unsigned long blockSize,
                                        Done done, TransferOperation operation) {
    const std::uint64_t size = QueuedBlockSize(blockSize);
    const std::vector<std::string> ids = distinctIds(targets);
    const std::string root = GetStorageRootPath();
    std::vector<TransferDone> superseded;
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        for (auto& pair : files) {
            std::string& local = pair.first;
            const std::string& remote = pair.second;
            if (!root.empty() && isBareName(local)) {
                local = root + "/" + local;
            }
            // The same file, device and remote path asked again: the newer request
            // replaces the waiting one, whose caller hears that it was cancelled.
            for (auto& element : _waitQueue) {
                if (element.operation != operation || element.path != local) {
                    continue;
                }
                auto& waiting = element.targets;
                for (auto it = waiting.begin(); it != waiting.end();) {
                    if (it->remotePath == remote && std::find(ids.begin(), ids.end(), it->id) != ids.end()) {
                        superseded.push_back(std::move(it->done));
                        it = waiting.erase(it);
                    } else {
                        ++it;
                    }
                }
            }
            // A device joins a waiting transfer of the same file only when it is not in it
            // yet: one element never holds a device twice, so that one connection never
            // carries two of its transfers at once. Another remote path thus waits in an
            // element of its own, behind.
            std::vector<QueueTarget> fresh;
            for (const auto& id : ids) {
                const auto joinable = std::find_if(_waitQueue.begin(), _waitQueue.end(), [&](const QueueElement& element) {
                    return element.operation == operation && element.path == local && element.blockSize == size &&
                           !hasTargetId(element, id);
                });
                if (joinable != _waitQueue.end()) {
                    joinable->targets.emplace_back(id, remote, done);
                } else {
                    fresh.emplace_back(id, remote, done);
                }
            }
            if (!fresh.empty()) {
                _waitQueue.emplace_back(local, size, std::move(fresh), operation);
            }
        }
        _waitQueue.erase(std::remove_if(_waitQueue.begin(), _waitQueue.end(),
                                        [](const QueueElement& element) { return element.targets.empty(); }),
                         _waitQueue.end());
    }
    tellSuperseded(_io, weak_from_this(), std::move(superseded));
    return true;
}

std::size_t FileTransferService::WaitingCount() {
    std::lock_guard<std::mutex> lock(_queueMutex);
    return _waitQueue.size();
}

unsigned long FileTransferService::SetFileTransferInterval(unsigned long interval) {
    const unsigned long raised = std::max(interval, MinTransferInterval);
    _transferInterval.store(std::min(raised, MaxTransferInterval));
    return raised;
}

// --- timer ---------------------------------------------------------------------------------

void FileTransferService::StartTransferTimer() {
    StopTransferTimer();
    _transferTimer = std::make_unique<boost::asio::steady_timer>(_io);
    _timerStopped = false;
    WaitTransferTimer();
}

void FileTransferService::StopTransferTimer() {
    if (_transferTimer) {
        _transferTimer->cancel();
    }
    _timerStopped = true;
}

void FileTransferService::WaitTransferTimer() {
    if (!_transferTimer) {
        return;
    }
    _transferTimer->expires_after(std::chrono::milliseconds(_transferInterval.load()));
    // A wait that completed before its timer was replaced must not arm the new one twice.
    const boost::asio::steady_timer* timer = _transferTimer.get();
    _transferTimer->async_wait([weak = weak_from_this(), timer](const boost::system::error_code& error) {
        if (error == boost::asio::error::operation_aborted) {
            return;
        }
        const auto self = weak.lock();
        if (!self || self->_timerStopped || self->_transferTimer.get() != timer) {
            return;
        }
        // Re-armed first: the period runs from the start of one tick to the next.
        self->WaitTransferTimer();
        self->OnTransferTimer();
    });
}

void FileTransferService::OnTransferTimer() {
    if (!_devices) {
        return;
    }
    sweepTimeouts(_devices->ReplyTimeoutMs());
    startNext();
}

void FileTransferService::sweepTimeouts(std::uint64_t timeoutMs) {
    const auto now = TransferClock::now();
    // How long the target has owed its peer's next line (zero when it owes nothing).
    const auto silence = [now](const QueueElement& element, QueueTarget& target) {
        // Every target is stamped at its start; one that somehow was not starts its clock
        // now rather than never time out.
        if (target.lastActivity == TransferClock::time_point{}) {
            target.lastActivity = now;
        }
        // A target of a put opened here that answered and waits for a slower sibling is
        // not silent: only the one that owes a reply is. Nor is a proven file waiting for
        // its install: this side owes the next line. Otherwise this side owes a line only
        // within work it does on the loop, which no sweep interrupts (a get's block is
        // answered before it is written, so the device sends on meanwhile). Only such
        // work outlasting the bound (a disk hung for a minute) counts as the peer's
        // silence.
        if ((!element.incoming && element.operation == TransferOperation::Send && !target.awaitingReply) ||
            WaitsForInstall(target)) {
            target.lastActivity = now;
        }
        return now - target.lastActivity;
    };
    const auto goOn = [this](QueueElement& element) { continueAfterLeave(element); };
    if (timeoutMs != 0) {
        const auto limit = std::chrono::milliseconds(timeoutMs);
        endTimedOut(takeTargets(_activeList,
                                [&silence, limit](const QueueElement& element, QueueTarget& target) {
                                    return silence(element, target) > limit;
                                },
                                goOn),
                    true);
    }
    // A peer that fell silent would hold its slot for good: one that opened a transfer
    // here whatever the reply time-out, one this node opened when no reply time-out says
    // how long to wait (a device gone behind a router that never tells, a frozen one).
    const auto bound = std::chrono::milliseconds(_answeredSilenceMs.load());
    endTimedOut(takeTargets(_activeList,
                            [&silence, bound, timeoutMs](const QueueElement& element, QueueTarget& target) {
                                return (element.incoming || timeoutMs == 0) && silence(element, target) > bound;
                            },
                            goOn),
                false);
}

void FileTransferService::endTimedOut(std::vector<LeavingTarget> endings, bool closeConnections) {
    if (endings.empty()) {
        return;
    }
    removeEmptyElements();
    for (auto& ending : endings) {
        ending.target.failed = true;
        updateTransferring(ending.target.socket);
    }
    for (auto& ending : endings) {
        auto& target = ending.target;
        // Only what this side was writing goes: a served file or a get's destination is
        // never this target's temporary.
        if (target.file) {
            Detail("ZK7902I Removing target local temporary file: " + target.file->Target().string());
            target.file.reset();
        }
        if (!target.socket) {
            continue;
        }
        // A router's connection carries the lines of every device behind it (and, on
        // the answering side, of every requester behind it): it stays for the others.
        const bool routed = !target.header.IsEmpty() || !target.source.empty();
        if (closeConnections && !routed) {
            target.socket->Close();
        } else if (ending.element.incoming) {
            // The connection stays: it may carry other transfers and requests, of this peer
            // or of others behind the same router. A line of the ended transfer that comes
            // later is refused as one of no transfer.
            PeerWarning(Join("ZK7946W Answered transfer ended, its peer silent: ", target.localFile),
                        target.socket->Tag());
        } else {
            PeerWarning(Join("ZK79B0W Transfer ended, its peer silent: ", target.remotePath), target.socket->Tag());
        }
    }
    for (auto& ending : endings) {
        NotifyError(ending.element, ending.target, TransferStateText(TransferState::Timeout));
    }
}

void FileTransferService::startNext() {
    QueueElement element;
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        if (_waitQueue.empty() || _activeList.size() >= _transferCount.load()) {
            return;
        }
        // Strict first in, first out, and one controller transfer per device: a head whose
        // device is busy holds back everything behind it.
        const auto& head = _waitQueue.front();
        const bool busy = std::any_of(head.targets.begin(), head.targets.end(), [this](const QueueTarget& waiting) {
            return std::any_of(_activeList.begin(), _activeList.end(), [&waiting](const QueueElement& active) {
                return !active.incoming && hasTargetId(active, waiting.id);
            });
        });
        if (busy) {
            return;
        }
        element = std::move(_waitQueue.front());
        _waitQueue.pop_front();
    }
    if (element.targets.empty()) {
        return;
    }
    const auto failAll = [this, &element](TransferState state) {
        for (auto& target : element.targets) {
            NotifyError(element, target, TransferStateText(state));
        }
    };
    if (!_devices->HasDevices()) {
        failAll(TransferState::EndpointUnknown);
        return;
    }
    if (element.path.empty()) {
        failAll(TransferState::PathMissing);
        return;
    }
    const TransferState state =
        element.operation == TransferOperation::Send ? openSource(element) : checkDestination(element.path);
    if (state != TransferState::Started) {
        failAll(state);
        return;
    }
    // The blocks of a get are lines this node takes, those of a put lines it writes: never
    // larger than its own size either way.
    element.blockSize = std::min<std::uint64_t>(element.blockSize, _blockSize.load());
    element.chunkSize = ChunkSizeOf(element.blockSize);

    const auto now = TransferClock::now();
    auto& targets = element.targets;
    for (auto it = targets.begin(); it != targets.end();) {
        const char* failure = nullptr;
        ITransferDevices::Route route;
        if (it->remotePath.empty()) {
            failure = TransferStateText(TransferState::PathMissing);
        } else {
            switch (_devices->FindDevice(it->id, route)) {
            case ITransferDevices::Lookup::Unknown:
                failure = TransferStateText(TransferState::EndpointUnknown);
                break;
            case ITransferDevices::Lookup::NoConnection:
                failure = TransferStateText(TransferState::NoConnection);
                break;
            case ITransferDevices::Lookup::Found:
                if (!route.socket) {
                    failure = TransferStateText(TransferState::NoConnection);
                }
                break;
            }
        }
        if (!failure && element.operation == TransferOperation::Receive) {
            // Each device's copy goes to a temporary of its own beside the destination,
            // which replaces the destination only once proven.
            it->localFile = element.path;
            it->file = std::make_unique<FileReplacement>(element.path, FileReplacement::Links::Replace,
                                                         FileReplacement::Temporary::Unnamed);
            if (!it->file->IsOpen()) {
                Warning("ZK7951W Cannot write beside " + element.path, it->file->Error());
                it->file.reset();
                failure = TransferStateText(TransferState::CannotOpenFile);
            }
        }
        if (failure) {
            NotifyError(element, *it, failure);
            it = targets.erase(it);
            continue;
        }
        it->socket = std::move(route.socket);
        it->header = std::move(route.header);
        it->deviceKey = std::move(route.key);
        if (element.operation == TransferOperation::Receive) {
            _devices->InboundConnections(it->socket, it->inbound);
        }
        it->phase = TransferPhase::Begin;
        it->awaitingReply = true;
        it->lastActivity = now;
        ++it;
    }
    if (targets.empty()) {
        return;
    }

    // The openings go out before the element joins the active list: no reply can come
    // before the loop runs again, and a report's callback then finds the list whole.
    const std::string length = std::to_string(element.length);
    const std::string blockSize = std::to_string(element.blockSize);
    for (auto& target : targets) {
        if (element.operation == TransferOperation::Send) {
            PutFile opening;
            opening.SetParameter(Param::path, target.remotePath.c_str());
            opening.SetParameter(Param::length, length.c_str());
            opening.SetParameter(Param::blocksize, blockSize.c_str());
            opening.SetParameter(Param::state, "begin");
            sendTo(target, opening, true);
        } else {
            GetFile opening;
            opening.SetParameter(Param::path, target.remotePath.c_str());
            opening.SetParameter(Param::blocksize, blockSize.c_str());
            opening.SetParameter(Param::state, "begin");
            sendTo(target, opening, true);
        }
    }
    QueueElement shell = ReportShell(element);
    std::vector<QueueTarget> begun;
    std::vector<std::shared_ptr<TcpSocket>> sockets;
    for (const auto& target : targets) {
        begun.push_back(ReportShell(target));
        sockets.push_back(target.socket);
    }
    _activeList.push_back(std::move(element));
    for (const auto& socket : sockets) {
        updateTransferring(socket);
    }
    for (auto& target : begun) {
        NotifyBegin(shell, target);
    }
}

// --- interruption and stop -----------------------------------------------------------------

void FileTransferService::NotifyInterruption(void* handle) {
    onLoop([handle](FileTransferService& self) { self.OnDeviceDisconnected(handle); });
}

void FileTransferService::OnDeviceDisconnected(void* handle) {
    if (!handle) {
        return;
    }
    // The other targets of a put go on once those left have answered.
    endDisconnected(takeTargets(
        _activeList,
        // A proven file is installed all the same: its result ends its target.
        [handle](const QueueElement&, const QueueTarget& target) {
            return isOn(target, handle) && !WaitsForInstall(target);
        },
        [this](QueueElement& element) { continueAfterLeave(element); }));
}

void FileTransferService::NotifyDeviceGone(const std::string& guid) {
    if (guid.empty()) {
        return;
    }
    onLoop([guid](FileTransferService& self) { self.endDeviceGone(guid); });
}

void FileTransferService::endDeviceGone(const std::string& guid) {
    // Nothing will come from the device any more, and its router does not tell of a get:
    // the device only sends, and the router holds no request of this node to refuse.
    endDisconnected(takeTargets(
        _activeList,
        [&guid](const QueueElement& element, const QueueTarget& target) {
            return !element.incoming && target.deviceKey == guid && !target.header.IsEmpty() &&
                   !WaitsForInstall(target);
        },
        [this](QueueElement& element) { continueAfterLeave(element); }));
}

void FileTransferService::endDisconnected(std::vector<LeavingTarget> endings) {
    if (endings.empty()) {
        return;
    }
    removeEmptyElements();
    for (auto& ending : endings) {
        updateTransferring(ending.target.socket);
        if (ending.target.file) {
            Detail("ZK7929I Removing local temporary file: " + ending.target.file->Target().string());
            ending.target.file.reset();
        }
    }
    for (auto& ending : endings) {
        NotifyError(ending.element, ending.target, TransferStateText(TransferState::EndpointDisconnected));
    }
}

void FileTransferService::RequesterGone(void* handle, const std::string& source) {
    if (!handle || source.empty()) {
        return;
    }
    onLoop([handle, source](FileTransferService& self) { self.endRequesterGone(handle, source); });
}

void FileTransferService::endRequesterGone(void* handle, const std::string& source) {
    endAbsent(takeTargets(
                  _activeList,
                  // A proven file is installed all the same: its result ends its target.
                  [handle, &source](const QueueElement& element, const QueueTarget& target) {
                      return element.incoming && target.source == source && isOn(target, handle) &&
                             !WaitsForInstall(target);
                  },
                  [](QueueElement&) {}),
              "ZK7947W Answered transfer ended, its requester gone behind its router: ",
              TransferStateText(TransferState::EndpointDisconnected));
}

bool FileTransferService::giveWayToReopen(const TcpSocket* socket, const std::string& source) {
    const auto now = TransferClock::now();
    const auto quiet = std::chrono::milliseconds(_reopenQuietMs.load());
    const auto samePeer = [&](const QueueElement& element, const QueueTarget& target) {
        return element.incoming && target.socket.get() == socket && target.source == source &&
               !WaitsForInstall(target);
    };
    // One its peer cancelled is over for that peer, however lately the peer spoke: a
    // requester whose put its router refused (the device frozen past the router's bound)
    // cancels it and opens the next one at once.
    std::vector<LeavingTarget> cancelled = takeTargets(
        _activeList,
        [&](const QueueElement& element, const QueueTarget& target) {
            return samePeer(element, target) && target.canceled;
        },
        [](QueueElement&) {});
    std::vector<LeavingTarget> silent = takeTargets(
        _activeList,
        [&](const QueueElement& element, const QueueTarget& target) {
            return samePeer(element, target) && now - target.lastActivity > quiet;
        },
        [](QueueElement&) {});
    const bool ended = !cancelled.empty() || !silent.empty();
    endAbsent(std::move(cancelled), "ZK79B2W Answered transfer ended, cancelled by its peer asking anew: ",
              TransferText::Canceled);
    endAbsent(std::move(silent), "ZK7948W Answered transfer ended, its peer silent and asking anew: ",
              TransferStateText(TransferState::Timeout));
    return ended;
}

void FileTransferService::endAbsent(std::vector<LeavingTarget> endings, const char* log, const char* text) {
    if (endings.empty()) {
        return;
    }
    removeEmptyElements();
    for (auto& ending : endings) {
        auto& target = ending.target;
        target.failed = true;
        updateTransferring(target.socket);
        Warning(log + target.localFile, target.socket ? target.socket->Tag() : std::string());
        // Only what this side was writing goes: a served file is never this target's.
        if (target.file) {
            Detail("ZK7929I Removing local temporary file: " + target.file->Target().string());
            target.file.reset();
        }
    }
    for (auto& ending : endings) {
        NotifyError(ending.element, ending.target, text);
    }
}

void FileTransferService::Stop() { stopAndWait(false); }

void FileTransferService::Refresh() { stopAndWait(true); }

void FileTransferService::stopAndWait(bool report) {
    if (_io.get_executor().running_in_this_thread() || _io.stopped() || weak_from_this().expired()) {
        stopOnLoop(report);
        return;
    }
    auto finished = std::make_shared<std::promise<void>>();
    auto future = finished->get_future();
    boost::asio::post(_io, [weak = weak_from_this(), report, finished] {
        if (const auto self = weak.lock()) {
            self->stopOnLoop(report);
        }
        finished->set_value();
    });
    if (future.wait_for(StopWait) != std::future_status::ready) {
        Warning("ZK7950W Transfers not stopped: the event loop did not answer within 2 s");
    }
}

void FileTransferService::stopOnLoop(bool report) {
    // A stop ends the transfers in silence, a refresh with one report each; a file waiting
    // for its install is among them (dropping its target withdraws an install not begun),
    // and the install's result then finds no target to report.
    std::deque<QueueElement> active;
    active.swap(_activeList);
    std::deque<QueueElement> waiting;
    if (report) {
        std::lock_guard<std::mutex> lock(_queueMutex);
        waiting.swap(_waitQueue);
    }
    for (auto& element : active) {
        element.file.reset();
        for (auto& target : element.targets) {
            if (target.file) {
                Detail("ZK7930I Removing local temporary file: " + target.file->Target().string());
                target.file.reset();
            }
            updateTransferring(target.socket);
        }
    }
    if (!report) {
        return;
    }
    const char* canceled = TransferText::Canceled;
    for (auto* list : {&active, &waiting}) {
        for (auto& element : *list) {
            for (auto& target : element.targets) {
                NotifyError(element, target, canceled);
            }
        }
    }
}

}  // namespace Zelkor
