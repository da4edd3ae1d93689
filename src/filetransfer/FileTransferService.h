#pragma once
// The one service of a node that moves files. As a controller it queues puts and gets
// to and from devices by GUID, starts them first in, first out from a timer, sends and
// receives their blocks and checks them by length and MD5. As a device it answers
// "putfile", "getfile", "block" and "cancelputfile" under its storage root, and the
// file-system words ("deletefile", "listfiles", "freespace", "mkdir", "rmdir") and
// "fwupdate" over TCP, on paths as given or, when it confines them, beneath its storage
// root.
//
// A received file is written to an unnamed temporary in its destination's folder and
// installed over the destination only once its length and digest are proven: no ending
// of a transfer but success touches the old file.
//
// Ownership: made and held in shared ownership by the driver, which outlives it; the
// sender, the device directory and the device-state object are not owned and outlive it.
// Timer waits, worker jobs and their results hold the service weakly.
// Threads: protocol work, reports, the timer and each block's read or write run on the
// event loop of `io`; a received file's final sync and rename run on the service's
// worker thread, their results posted back; the file-system words' disk work runs in
// arrival order on a second worker, each reply posted back and sent unchanged; a third
// digests the blocks in their order, the loop waiting on it only for a transfer's closing
// digest or when two blocks of one transfer wait. SendFiles/ReceiveFiles take only the
// queue mutex; settings are atomics; handlers and storage root sit under one mutex, and
// handlers are called from a copy outside every lock. Stop off the loop hops onto it and
// waits at most 2 s.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "core/IGiveMessageMapToMessageReceiver.h"
#include "core/IServiceBaseImpl.h"
#include "core/Signal.h"
#include "core/ZelkorLoggable.h"
#include "filetransfer/DiskJobShares.h"
#include "filetransfer/IFileTransferService.h"
#include "filetransfer/LeavingTarget.h"
#include "filetransfer/TransferRecords.h"
#include "filetransfer/TransferWorker.h"

namespace Zelkor {

class IDeviceState;
class IServiceSender;
class ITransferDevices;
class Message;

class FileTransferService : public IServiceBaseImpl<IFileTransferService>,
                            public IGiveMessageMapToMessageReceiver,
                            public ZelkorLoggable,
                            public std::enable_shared_from_this<FileTransferService> {
public:
    static constexpr unsigned long DefaultTransferCount = 100;
    static constexpr unsigned long DefaultTransferInterval = 250;

    // Call Start once the object is in shared ownership: the timer holds it weakly.
    FileTransferService(IServiceSender* sender, ITransferDevices* devices, IDeviceState* deviceState,
                        boost::asio::io_context& io);
    ~FileTransferService() override;
    FileTransferService(const FileTransferService&) = delete;
    FileTransferService& operator=(const FileTransferService&) = delete;

    // Starts the transfer timer.
    void Start();

    // --- IFileTransferService ----------------------------------------------------------
    void SignalRaised(MessageSignalData& data) override;
    // The nine words the driver offers this service first ("fwupdate" comes by its signal).
    bool IsServiceCommand(const std::string& word) override;
    // The four transfer words, known without the service.
    static bool IsTransferWord(const std::string& word);
    // Every word the receive road hands to this service: the transfer words, the five
    // file-system words and "fwupdate".
    static bool IsServiceWord(const std::string& word);
    void PrepareBlock(std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) override;
    void SendDeleteFile(void* handle, const char* path, MessageForwardInfo& header) override;
    void SendListFiles(void* handle, const char* path, MessageForwardInfo& header) override;
    void SendFreeSpace(void* handle, const char* path, MessageForwardInfo& header) override;
    void SendMKDIR(void* handle, const char* path, MessageForwardInfo& header) override;
    void SendRMDIR(void* handle, const char* path, MessageForwardInfo& header) override;
    void SendFirmwareUpdateMode(void* handle, const std::string& arguments, MessageForwardInfo& header) override;
    void NotifyInterruption(void* handle) override;
    void NotifyDeviceGone(const std::string& guid) override;
    void OnPutFile(PutHandler handler) override;
    void OnGetFile(GetHandler handler) override;
    void OnBlock(BlockHandler handler) override;
    std::string SetStorageRootPath(std::string path) override;
    std::string GetStorageRootPath() override;
    void SetFileSystemConfined(bool on) override { _fileSystemConfined.store(on); }
    bool GetFileSystemConfined() override { return _fileSystemConfined.load(); }
    unsigned long SetFileTransferCount(unsigned long count) override;
    unsigned long GetFileTransferCount() override { return _transferCount.load(); }
    unsigned long SetFileTransferInterval(unsigned long interval) override;
    unsigned long GetFileTransferInterval() override { return _transferInterval.load(); }
    void SetFileTxHandle(ProgressHandler handler) override;
    unsigned long SetBlockSize(unsigned long size) override;
    unsigned long GetBlockSize() override { return _blockSize.load(); }
    bool SendFiles(std::vector<std::string>& targets, FilePairs& files, unsigned long blockSize, Done done) override;
    bool ReceiveFiles(std::vector<std::string>& targets, FilePairs& files, unsigned long blockSize, Done done) override;
    void CancelPutFile(const std::string& id, const std::string& remotePath) override;
    void Stop() override;
    void Refresh() override;

    void GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) override;

    // Queues the pairs for every device; the block size as QueuedBlockSize gives it.
    bool TransferFiles(std::vector<std::string>& targets, FilePairs& files, unsigned long blockSize, Done done,
                       TransferOperation operation);

    // Loop thread: transfers active (opened here or answered), for tests and the runner.
    std::size_t ActiveCount() const { return _activeList.size(); }
    std::size_t WaitingCount();
    // Loop thread: what one tick of the queue's timer does (time-outs swept, the next
    // waiting transfer started), at once, for a fuzz driver that cannot wait for the timer.
    void TickNow() { OnTransferTimer(); }
    // The length a listing reply's line must stay under (the line allowance unless a test
    // sets it); past it the reply says "Too many entries".
    void SetListingLineBound(std::size_t bound) { _listingLineBound.store(bound); }
    // File-system requests waiting for the disk worker, the running one not counted.
    std::size_t DiskJobsWaiting() const { return _diskWorker.Waiting(); }
    // Loop thread: whether a requester on the connection `handle` waits for an answer
    // that takes disk work.
    bool OwesDiskWork(const void* handle) const { return _diskShares.Holds(handle); }
    // Any thread: runs `job` on the disk worker in the file-system requests' order, for a
    // test that must hold the worker; false when it is full or stopping.
    bool PostDiskJob(std::function<void()> job) { return _diskWorker.Post(std::move(job)); }
    // Any thread: the same on the digest worker, behind the blocks waiting there.
    bool PostDigestJob(std::function<void()> job) { return _digestWorker.Post(std::move(job)); }
    // Any thread: stops the digest worker as its destruction does, for a test: the blocks
    // waiting there are lost to their digests, later ones are digested on the loop.
    void StopDigestWorker() { _digestWorker.Stop(); }
    // How long a peer may leave a transfer answered here without a line before it ends
    // with "timeout", whatever the reply time-out (DefaultAnsweredSilence unless a test or
    // the runner's timer scale shortens it).
    void SetAnsweredSilence(std::chrono::milliseconds bound) override { _answeredSilenceMs.store(bound.count()); }
    void SetReopenQuiet(std::chrono::milliseconds quiet) override { _reopenQuietMs.store(quiet.count()); }
    // The requester `source` behind a router on the handle's connection is gone (its
    // router said so, or it said goodbye): the transfers answered here for it end with
    // "end-point disconnected", their temporaries gone; a proven file is installed all
    // the same. Any thread.
    void RequesterGone(void* handle, const std::string& source);

private:
    struct Found {
        QueueElement* element = nullptr;
        QueueTarget* target = nullptr;
        explicit operator bool() const { return target != nullptr; }
    };

    // --- dispatch and shared helpers (FileTransferService.cpp) ---------------------------
    void processBlock(MessageSignalData& data, Message& message, bool reply);
    // The answering side's transfer of that connection and routed source (the peer's
    // name as the received header's GetSource() gives it; empty when direct).
    Found findAnswering(const TcpSocket* socket, const std::string& source);
    // The opening side's target on that connection (its inbound connections too, when
    // asked) whose device is `source` (the received header's GetSource(); several devices
    // behind one router share a connection); a target reached directly has no source.
    Found findOpening(const TcpSocket* socket, const std::string& source, bool inboundToo = false);
    // A message to a target as a request, with the target's route.
    void sendTo(QueueTarget& target, Message& message, bool request = true);
    // A composed block body to a target, with the target's route.
    void sendBlockTo(QueueTarget& target, std::string body);
    // Answers a received request on its connection with the request's header (hash
    // included), recorded in the reply cache.
    void replyTo(MessageSignalData& data, Message& reply);
    // The same later, from a copy of the request's header (a reply that waits for the
    // worker).
    void replyWith(void* handle, const MessageForwardInfo& requestHeader, Message& reply);
    // Removes the targets of `element` on that connection; then every element without
    // targets; then the connection's transferring flag follows what is left.
    void removeTargetsOn(QueueElement& element, const TcpSocket* socket);
    void removeEmptyElements();
    // Logs a transfer whose digest the worker lost: it fails with "checksum unavailable".
    void digestLost(const std::string& path);
    // The connection's transferring flag: set while any active target uses it.
    void updateTransferring(const std::shared_ptr<TcpSocket>& socket);
    struct InstallResult {
        enum Outcome { Installed, Failed, Withdrawn } outcome = Failed;
        std::string error;  // the system's text of a failure
    };
    // Runs a received file's sync and rename on the worker unless `ticket` was withdrawn
    // first (then the temporary goes); `then` runs on the loop with the result, never
    // inside this call, while the service lives. A stop in between does not hold it
    // back: it finds its target by the ticket, or finds it gone.
    void install(std::unique_ptr<FileReplacement> file, std::shared_ptr<InstallTicket> ticket,
                 std::function<void(FileTransferService&, const InstallResult&)> then);
    // The target whose install `ticket` names, in whichever element it is.
    Found findInstalling(const InstallTicket* ticket);
    // Runs on the loop (at once when called there).
    void onLoop(std::function<void(FileTransferService&)> job);

    // Reports (handlers called from copies, outside the locks).
    // One record to the put or get handler, after the element's operation.
    void report(const QueueElement& element, const std::string& path, const char* state, const char* error,
                bool peer = false);
    void NotifyBegin(QueueElement& element, QueueTarget& target);
    void NotifyEnd(QueueElement& element, QueueTarget& target);
    void NotifyError(QueueElement& element, QueueTarget& target, const char* text);
    void NotifyProgress(double percent, const std::string& path, const std::string& id);
    void NotifyBlock(const std::string& name, double percent, std::uint64_t size, bool flag);

    // --- answering side (AnsweringSide.cpp) ----------------------------------------------
    void ProcessPutFile(MessageSignalData& data, Message& message);
    void ProcessGetFile(MessageSignalData& data, Message& message);
    // A "putfile" (`operation` Send) or "getfile" (Receive) of a connection's peer: without
    // a transfer of that peer an opening opens and a close is unexpected; with one, only a
    // close of the same operation closes it.
    void answerTransferRequest(MessageSignalData& data, Message& message, TransferOperation operation);
    // A block request of a put answered here.
    void answerPutBlock(MessageSignalData& data, Message& message, QueueElement& element, QueueTarget& target);
    void ProcessCancelPutFile(MessageSignalData& data, Message& message, bool reply);
    // What a written block reports (nothing when none was written). The caller makes the
    // reports once it is done with the records: a handler may stop the service, which
    // empties the active list under the caller's feet.
    struct BlockReport {
        bool written = false;
        bool progressed = false;
        double percent = 0.0;
        std::string path;
        std::string id;
        std::string name;
        std::uint64_t blockSize = 0;
    };
    // Writes the target's acknowledged block (`pendingBlock`, checked when it came) to its
    // file, then counts and digests it (a put answered here: the element's count and
    // digest; a get opened here: the target's). A failed write sets the target's `failed`,
    // keeps the system's text in its `spare` and drops its temporary. Calls no handler:
    // the caller passes the result to reportBlock.
    [[nodiscard]] BlockReport DecomposeBlock(QueueElement& element, QueueTarget& target);
    // Keeps the block just decoded into element.blockText as the target's acknowledged
    // one, named `number`; the one before must be written already.
    static void holdBlock(QueueElement& element, QueueTarget& target, const char* number);
    void reportBlock(const BlockReport& report);
    // How the path of a put or get answered here is taken.
    struct PeerPathRule {
        std::string root;
        bool parentPaths;  // ".." may stand in the path
        bool confined;     // the path, ".." and links included, must stay beneath the root
    };
    PeerPathRule peerPathRule();
    void openPut(MessageSignalData& data, Message& message, const std::string& source);
    void closePut(MessageSignalData& data, Message& message, QueueElement& element, QueueTarget& target);
    // The put stays in the active list while its file is installed: it counts toward
    // FileTransferCount, and the peer's closing reply follows the install's result.
    void installPut(MessageSignalData& data, Message& message, QueueElement& element, QueueTarget& target);
    // The peer hears the result even when the transfer was ended meanwhile (a stop): its
    // file may be installed all the same. `checksum` and `count` are this side's.
    void putInstalled(const InstallTicket* ticket, void* handle, const MessageForwardInfo& requestHeader,
                      const std::string& checksum, std::uint64_t count, const InstallResult& result);
    void openGet(MessageSignalData& data, Message& message, const std::string& source);
    void closeGet(MessageSignalData& data, Message& message, QueueElement& element, QueueTarget& target);
    // Sends block 1 of a served get and composes block 2; why it cannot go on, else "".
    std::string serveFirstBlocks(QueueElement& element, QueueTarget& target);
    // Ends the data of a served get that cannot go on: the peer hears `text` in a "block"
    // request without number and closes; its close is answered and reported (closeGet).
    void failServedGet(QueueElement& element, QueueTarget& target, const char* text);
    // Takes an answered transfer out of the active list; the connection's transferring
    // flag follows what is left.
    QueueElement detachAnswered(QueueElement& element);

    // --- opening side and block pipeline (BlockPipeline.cpp) -----------------------------
    void ComposeBlock(QueueElement& element);
    void ProcessReplyPutFile(MessageSignalData& data, Message& message);
    void ProcessReplyGetFile(MessageSignalData& data, Message& message);
    // The target of a put or get opened here (`operation`) that awaited this opening or
    // closing reply, and now awaits it no more; none when no target was found, or when the
    // one found did not await such a reply (it ends).
    Found awaitingTarget(MessageSignalData& data, Message& message, TransferOperation operation);
    // A block reply on the sending side (a put opened here, a get answered here).
    void blockReply(MessageSignalData& data, Message& message, QueueElement& element, QueueTarget& target);
    // A block request of a get opened here.
    void receiveGetBlock(MessageSignalData& data, Message& message, QueueElement& element, QueueTarget& target);
    // After a target left a put opened here (failed, refused, cancelled, timed out, cut;
    // already out of `element.targets`): the others go on once all of them answered.
    // Calls no handler and removes nothing, so a caller may go on with its own list work.
    void continueAfterLeave(QueueElement& element);
    // A put opened here: once no target waits for a reply in the data (its closing aside),
    // sends the next block, or the closing requests, to the targets that wait for them.
    void advancePut(QueueElement& element, bool reportProgress);
    void sendPutClose(QueueElement& element, QueueTarget& target);
    // A put whose line the device's router refused: asks the device, through the router,
    // to cancel what it holds of this node's transfers; nothing waits for the answer.
    void cancelAtDevice(QueueTarget& target);
    // Ends a get opened here early: `text` goes into the closing request and is reported
    // when its reply comes; the temporary goes at once.
    void closeGetEarly(QueueTarget& target, const std::string& text);
    // A reply or block the target does not wait for (state 12): it ends, never succeeds.
    void onUnexpected(QueueElement& element, QueueTarget& target);
    void putBlockReply(Message& reply, QueueElement& element, QueueTarget& target);
    void servedBlockReply(Message& reply, QueueElement& element, QueueTarget& target);
    void putBegun(Message& reply, QueueElement& element, QueueTarget& target);
    void putClosed(Message& reply, QueueElement& element, QueueTarget& target);
    void getBegun(Message& reply, QueueElement& element, QueueTarget& target);
    void getClosed(Message& reply, QueueElement& element, QueueTarget& target);
    // Takes the target out of the active list, then reports it: `error` null for success.
    void leave(QueueElement& element, QueueTarget& target, const char* error);
    // Moves the target out of its element (still in its vector, moved-from) with what its
    // report reads; a get's success reads its own device's length and digest.
    LeavingTarget leavingOf(const QueueElement& element, QueueTarget& target, bool success);
    // The one report of a target that left; `failure` null for success.
    void reportLeft(LeavingTarget& left, const char* failure);
    // A get opened here whose copy is proven: it replaces the destination once no other
    // copy is being installed; else it waits for that install's result.
    void holdProvenCopy(QueueElement& element, QueueTarget& target);
    void installCopy(QueueElement& element, QueueTarget& target);
    // The result of a copy's install: on success it and every copy proven meanwhile
    // succeed; on failure it fails and the next proven copy installs its own.
    void copyInstalled(const InstallTicket* ticket, const InstallResult& result);

    // --- file-system words and firmware update (FileSystemHandlers.cpp) -----------------
public:
    // A log line of a disk job, written on the loop.
    struct DiskLog {
        int level = 1;
        std::string text;
        std::string detail;
    };
    // What a disk job leaves: its reply, and the log lines to write. A listing names the
    // length its line must stay under and the reply to send past it.
    struct DiskOutcome {
        std::unique_ptr<Message> reply;
        std::vector<DiskLog> logs;
        std::size_t lineBound = 0;
        std::unique_ptr<Message> whenTooLong;
    };
    using DiskWork = std::function<void(DiskOutcome&)>;
    // Where a file-system word acts: the peer's path as the host's, or below `root` when
    // the node confines the words beneath its storage root.
    struct FileSystemPlace {
        std::string path;
        std::string root;
        bool beneath = false;
    };

private:
    struct DiskJob;
    // The six words' signals in the service's map (the device object's filters connect
    // there).
    void registerFileSystemWords();
    void dispatchFileSystem(MessageSignalData& data, Message& message, const std::string& word, bool reply);
    void raiseWord(const std::string& word, MessageSignalData& data);
    void HandleDelete(MessageSignalData& data, const char* path);
    void HandleListFiles(MessageSignalData& data);
    void HandleFreeSpace(MessageSignalData& data, const char* path);
    void HandleMkDir(MessageSignalData& data, const char* path);
    void HandleRmDir(MessageSignalData& data, const char* path);
    void HandleFirmwareUpdate(MessageSignalData& data);
    // Runs `work` on the disk worker after every request that came before, starting from
    // `reply` (the word's reply form); its reply goes back on the request's connection,
    // built there with the request's header and sent unchanged on the loop.
    void onDisk(MessageSignalData& data, std::unique_ptr<Message> reply, DiskWork work);
    void diskJobDone(DiskJob& job);
    // False, with the refusal sent in arrival order, for a path the node refuses; else
    // `place` says where the word acts. Confined without a storage root, every path is
    // refused.
    bool pathAllowed(MessageSignalData& data, std::unique_ptr<Message>& reply, const char* path, bool folderRemoval,
                     FileSystemPlace& place);
    // The common road of a word whose request is a path alone: without one the reply is
    // `noPath`; a refused path is answered at once; else `work` runs on the disk worker.
    using PathWork = void (*)(const FileSystemPlace& place, DiskOutcome& out);
    void answerPath(MessageSignalData& data, const char* path, std::unique_ptr<Message> reply, const char* noPath,
                    bool folderRemoval, PathWork work);
    // Ends, as a cancel does, the transfers answered here for that connection and source
    // whose file is `normalPath` (NormalPath).
    void endAnsweredOn(const std::shared_ptr<TcpSocket>& socket, const std::string& source,
                       const std::string& normalPath);
    // One transfer answered here ended as by a cancel (AnsweringSide.cpp).
    void endAnswered(QueueElement& element, QueueTarget& target);

    // --- queue, timer, interruption and stop (TransferQueue.cpp) -------------------------
    void StartTransferTimer();
    void StopTransferTimer();
    void WaitTransferTimer();
    void OnTransferTimer();
    // Ends the targets silent too long: this node's own after the reply time-out (the
    // silence bound when it is 0), those answered here after the shorter of the two.
    void sweepTimeouts(std::uint64_t timeoutMs);
    // Reports the targets the sweep took out with "timeout", their temporaries gone;
    // `closeConnections`: the connections of those reached directly too, as the reply
    // time-out does. A router's connection carries others' lines and always stays.
    void endTimedOut(std::vector<LeavingTarget> endings, bool closeConnections);
    // Ends the transfer answered here for that connection and source when its peer has
    // cancelled it, or left it silent longer than the reopen quiet, so that a new request
    // of the same route takes its place; a live one, or one whose file is being installed,
    // stays. True when one ended.
    bool giveWayToReopen(const TcpSocket* socket, const std::string& source);
    void endRequesterGone(void* handle, const std::string& source);
    // Ends answered transfers taken out for their peer's absence: each logged with `log`
    // and its path, its temporary gone, reported with `text`; the connection stays.
    void endAbsent(std::vector<LeavingTarget> endings, const char* log, const char* text);
    void startNext();
    void OnDeviceDisconnected(void* handle);
    // The transfers opened here with that device through a router end: it is gone.
    void endDeviceGone(const std::string& guid);
    // Reports the targets taken out because their device went with "end-point
    // disconnected", their temporaries gone.
    void endDisconnected(std::vector<LeavingTarget> endings);
    // Ends every active transfer; with `report` each target's `done` hears (false,
    // "transfer canceled") and the waiting queue is emptied the same way.
    void stopOnLoop(bool report);
    // Runs stopOnLoop on the loop and waits for it at most 2 s (at once on the loop, or
    // when the loop does not run).
    void stopAndWait(bool report);

    IServiceSender* _sender;
    ITransferDevices* _devices;
    IDeviceState* _deviceState;
    boost::asio::io_context& _io;

    std::mutex _handlerMutex;  // the four handlers and the storage root
    PutHandler _putHandler;
    GetHandler _getHandler;
    BlockHandler _blockHandler;
    ProgressHandler _progressHandler;
    std::string _storageRoot;
    const std::vector<std::string> _refusedRoots{"ftp://", "http://", "https://"};

    std::atomic<bool> _fileSystemConfined{false};
    std::atomic<unsigned long> _transferCount{DefaultTransferCount};
    std::atomic<unsigned long> _blockSize{65536};
    std::atomic<unsigned long> _transferInterval{DefaultTransferInterval};
    std::atomic<std::chrono::milliseconds::rep> _answeredSilenceMs{DefaultAnsweredSilence.count()};
    std::atomic<std::chrono::milliseconds::rep> _reopenQuietMs{DefaultReopenQuiet.count()};

    std::unique_ptr<boost::asio::steady_timer> _transferTimer;
    bool _timerStopped = true;

    std::mutex _queueMutex;
    std::deque<QueueElement> _waitQueue;  // under _queueMutex
    std::deque<QueueElement> _activeList;  // loop thread only

    Signal<MessageSignalData> _deleteSignal;
    Signal<MessageSignalData> _listSignal;
    Signal<MessageSignalData> _freeSpaceSignal;
    Signal<MessageSignalData> _mkdirSignal;
    Signal<MessageSignalData> _rmdirSignal;
    Signal<MessageSignalData> _firmwareSignal;
    std::atomic<std::size_t> _listingLineBound;

    // Declared last: destroyed first, so that no job runs against a half-destroyed service.
    TransferWorker _worker;
    // The file-system words' disk work, apart from the installs: a long listing never
    // holds up a transfer's rename.
    TransferWorker _diskWorker{1024};
    // Loop thread.
    DiskJobShares _diskShares;
    // The MD5 of every block sent or received, beside the loop that reads, writes and
    // encodes the next one.
    TransferWorker _digestWorker{1024};
};

}  // namespace Zelkor
