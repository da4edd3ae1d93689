// The receive road: every received line is filtered for duplicates, checked for its
// route, forwarded or handled here, authorised and dispatched; refusals go back to the
// requester as error replies. All of it runs on the event-loop thread.

#include <array>
#include <exception>
#include <sstream>
#include <string_view>
#include <utility>

#include <json/value.h>

#include "core/JsonText.h"
#include "core/Message.h"
#include "core/RequestErrors.h"
#include "discovery/DiscoveryService.h"
#include "driver/CommandTable.h"
#include "driver/ZelkorDriver.h"
#include "filetransfer/FileSystemWords.h"
#include "filetransfer/FileTransferService.h"
#include "services/CommandInterfaceService.h"
#include "services/EndedRequest.h"
#include "services/FolderModificationService.h"
#include "storage/RequestBound.h"
#include "transport/SourceGroup.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

namespace Zelkor {

namespace {

std::string quoted(const std::string& text) { return "(" + text + ")"; }

// Whether `connection`'s peer proved this node's code. Without a code held, a proof of the
// empty one proves nothing.
bool provedCode(IDriverDiscovery& current, const TcpSocket& connection) {
    return connection.IsAuthenticated() && current.HasVerificationCode();
}

// The text a line's message is read from: one buffer per thread, reused from line to
// line, so that reading a line allocates nothing for it. A road entered again on the
// same thread (from within a handler) uses a text of its own, and a buffer grown by a
// long line is let go rather than kept for the thread's life.
class LineText {
public:
    LineText() {
        thread_local Buffer buffer;
        if (!buffer.busy) {
            buffer.busy = true;
            _shared = &buffer;
        }
    }
    ~LineText() {
        if (_shared) {
            if (_shared->text.capacity() > kKeptCapacity) {
                std::string().swap(_shared->text);
            }
            _shared->busy = false;
        }
    }
    LineText(const LineText&) = delete;
    LineText& operator=(const LineText&) = delete;

    std::string& Text() { return _shared ? _shared->text : _own; }

private:
    struct Buffer {
        std::string text;
        bool busy = false;
    };
    static constexpr std::size_t kKeptCapacity = 4096;

    Buffer* _shared = nullptr;
    std::string _own;
};

// What `connection` tells of its request of `ordinal`, and of the output ahead of what it
// queued, as routing judges a notice's age.
ForwardedRequests::InFlight inFlightOn(const TcpSocket& connection, std::uint64_t ordinal) {
    const TcpSocket::OutputStall stall = connection.StalledOutput(ForwardedRequests::Clock::now());
    ForwardedRequests::InFlight inFlight{ordinal, {}, {}, stall.total, stall.runStart};
    const TcpSocket::RequestWrite& write = connection.LastRequestWrite();
    if (ordinal != 0 && write.ordinal == ordinal) {
        inFlight.behind = write.behind;
        inFlight.at = write.at;
    }
    return inFlight;
}

// The notices a device sends what asked for them, which the device's handlers here take
// only when they come the way this node reaches it (DeviceImpl::MatchSource).
bool followedNotice(std::string_view word) { return word == "publish" || word == "log" || word == "event"; }

}  // namespace

void ZelkorDriver::handlePacket(Packet& packet) {
    // One failing handler costs its own line, never the loop or the connection's reading.
    try {
        SignalRaised(packet);
    } catch (const std::exception& error) {
        Error("ZK7863E Driver error", error.what());
    } catch (...) {
        Error("ZK7863E Driver error", "unknown exception");
    }
}

bool ZelkorDriver::IsAuthenticatedCommand(const std::string& word) {
    static const std::array<const char*, 23> allowed = {
        "authenticate", "cd", "event", "exec", "freespace", "get", "getdevicestate", "getpresetinfo",
        "goodbye", "listfiles", "ls", "poll", "publish", "rls", "set", "setverificationcode",
        "starttls", "subscribe", "subscribeevent", "subscribepoll", "unsubscribe", "unsubscribeevent",
        "unsubscribepoll"};
    for (const char* entry : allowed) {
        if (word == entry) {
            return true;
        }
    }
    return false;
}

void ZelkorDriver::SignalRaised(Packet& packet) {
    MessageForwardInfo& header = *packet.header;
    const std::string command = header.GetCommand();
    // Compared as a view: the word is asked after twice on every line.
    const bool disco = std::string_view(command) == "disco";
    const bool tcp = packet.reliable;
    const auto current = discovery();
    if (!current) {
        Error("ZK7879E No discovery service");
        if (tcp) {
            header.ReversePaths();
            SendErrorReply(packet, command, "No discovery service", header);
        }
        return;
    }
    std::string own = current->InstanceName();
    const MessageForwardInfo::PathList& targets = header.TargetList();
    if (!targets.empty() && !targets.front().empty() && targets.front() != own) {
        Detail("ZK7880I Misrouted message intended for", targets.front());
        if (tcp) {
            header.ReversePaths();
            SendErrorReply(packet, command, "Message is misrouted", header);
        }
        return;
    }
    if (tcp && !packet.socket) {
        Warning("ZK7870W No message source TcpSocket");
        return;
    }
    if (!tcp && packet.isReply && !disco && !answersOwnDatagram(packet, command)) {
        return;
    }
    if (!tcp && !packet.isReply && !disco && strict(*current)) {
        // A datagram proves nothing of its sender: with the strict rule only discovery
        // is served that way.
        PeerWarning("ZK78E4W Datagram request dropped: encrypted connection required", command);
        return;
    }
    header.SetDeviceName(std::move(own));
    const MessageFactoryFunction create = LookupCommand(command);
    // Any reply to a request written after a device was told of a requester's end shows
    // that the device heard it: its later notices for that name are the name's holder's.
    if (tcp && packet.isReply && _passed.Size() > 0) {
        _passed.Answered(packet.socket.get(), packet.socket->AnsweredRequest().ordinal);
    }

    std::string next;
    if (header.TransitionTargetToSource(next)) {
        forward(packet, *current, command, create, next);
        return;
    }
    if (tcp && !packet.isReply) {
        if (const char* refusal = authorise(packet, *current, command, create != nullptr, false)) {
            header.ReversePaths();
            SendErrorReply(packet, command, refusal, header);
            return;
        }
    }
    // Only after authorisation: a line refused must neither be answered with what another
    // requester's line of the same hash was answered, nor leave a mark that answers it.
    if (tcp && !disco && header.hasHash && !admitDuplicate(packet, command)) {
        return;
    }
    if (tcp && packet.isReply && create && packet.requestSent != TimePoint{} && packet.received != TimePoint{} &&
        packet.requestSent <= packet.received) {
        current->UpdateStatistics(packet.socket, packet.requestSent, packet.received);
    }
    // A device's notice through a router, come on a connection that reaches neither the
    // device nor its router here: a service would answer it, and the device's handlers
    // would then pass it by, so the device would hold it delivered. Refused, the device
    // knows (it forgets what it keeps for this node on that route). Routed notices only:
    // a device's own connection is always its way.
    if (tcp && !packet.isReply && header.SourceList().size() > 1 && followedNotice(command) &&
        current->WayOfNotice(header.GetSource(), packet.handle) == IDriverDiscovery::NoticeWay::Stray) {
        PeerWarning("ZK78C2W Notice refused: it came on a connection that reaches neither its device nor its router",
                    header.GetSource());
        header.ReversePaths();
        SendErrorReply(packet, command, kDeviceNotConnected, header);
        return;
    }
    // The word and the JSON text, as the message classes read a received line. A block's
    // message takes the body the header parsed and never reads the line's copy of it: a
    // block, the one large line, is not copied for nothing.
    LineText text;
    std::string& line = text.Text();
    const std::string_view json = header.JsonText();
    const bool bodyTaken = command == "block" && !json.empty() && json.front() == '{' && header.ParsedJsonBody();
    line.clear();
    line.reserve(command.size() + (bodyTaken ? 0 : json.size()) + 2);
    line += packet.isReply ? "@" : "";
    line += command;
    line += ' ';
    if (!bodyTaken) {
        line += json;
    }
    // A body of more values than a peer may send was never read. A word without a reader
    // of its own (the application's, "disco") is not handed it: its request hears why.
    if (header.BodyOverBound() && (!create || disco)) {
        if (!packet.isReply) {
            header.ReversePaths();
            SendErrorReply(packet, command, kTooManyEntries, header);
        }
        return;
    }
    if (!create) {
        customCommand(packet, command, line);
        return;
    }
    if (disco) {
        if (packet.isReply) {
            current->HandleDiscoReply(packet);
        } else {
            current->SendDiscoReply(packet);
        }
        return;
    }
    std::unique_ptr<Message> message = create();
    if (!message) {
        Error("ZK7876E Message factory failed");
        header.ReversePaths();
        SendErrorReply(packet, command, "Message factory failed", header);
        return;
    }
    std::string error;
    // Refused as the word's reader refuses a body over the bound, unread.
    const bool overBound = header.BodyOverBound();
    if (overBound) {
        error = kTooManyEntries;
    }
    if (overBound || !message->FromReceived(!packet.isReply, line, header, error)) {
        Detail("ZK7877I Bad message", error);
        const std::string text = error.empty() ? "Invalid message body" : error;
        // The file words work over TCP only: a datagram of one gets not even a refusal.
        if (!packet.reliable && FileTransferService::IsServiceWord(command)) {
            return;
        }
        if (packet.isReply && IsFileSystemWord(command)) {
            // Its result callback hears of it, rather than wait for an answer that came.
            refuseUnreadableReply(packet, *current, command, std::move(header), text);
            return;
        }
        if (packet.isReply) {
            // Replies meet their requests by order alone: a dropped one would hand every
            // later reply on the connection to the request before it.
            if (auto* folders = folderModification()) {
                folders->UnreadableReply(packet.handle, command, text, line);
            }
            auto* commands = commandInterface();
            if (commands && command == "exec") {
                commands->UnreadableReply(packet.handle, line, text);
            }
            return;
        }
        header.ReversePaths();
        SendErrorReply(packet, command, text, header);
        return;
    }
    // The message takes the line's header, and with it the line's text: the road is done
    // with both.
    message->SetMessageForwardInfo(std::move(header));
    message->SetIsReply(packet.isReply);
    message->SetRawTextFromHeader();
    MessageSignalData data(packet.handle, packet.socket, packet.reliable, std::move(message));
    dispatch(data, packet, *current, command);
}

bool ZelkorDriver::answersOwnDatagram(const Packet& packet, const std::string& command) {
    const auto source = SocketOf(packet.handle)->GetRemoteIP();
    if (_datagramRequests.Answers(command, source, DatagramRequests::Clock::now())) {
        return true;
    }
    // Only a line logged is written: a flood of forged datagrams costs no text.
    if (LogLevel() >= 5) {
        PeerDetail("ZK78C1I Datagram reply to no request of this node dropped", Join(command, " from ", source));
    }
    return false;
}

bool ZelkorDriver::admitDuplicate(Packet& packet, const std::string& command) {
    const MessageForwardInfo& header = *packet.header;
    // The connection's tag takes a formatted write: it is made only for a line logged.
    const auto detail = [&](const char* what, const char* where) {
        if (LogLevel() >= 5) {
            Detail(std::string("ZK7878I ") + what + quoted(header.HashText()) + where + quoted(Tag(packet.handle)));
        }
    };
    if (packet.isReply) {
        if (_replyCache.TakeKnownReply(header.HashText(), command, packet.handle)) {
            detail("Discarding reply ", " on ");
            return false;
        }
        return true;
    }
    ReplyCache::Admission admission = _replyCache.Admit(header.HashText(), command, header.JsonText(), packet.socket,
                                                       header.GetSourcePaths());
    switch (admission.verdict) {
        case ReplyCache::Verdict::Handle:
            packet.cacheEntry = admission.entry;
            detail("Handling ", " on ");
            return true;
        case ReplyCache::Verdict::Replay:
            BuildAndSendRawCommand(packet.handle, admission.reply, false);
            detail("Replaying ", " to ");
            return false;
        case ReplyCache::Verdict::Pending:
            detail("Reply pending for ", " to ");
            return false;
    }
    return false;
}

void ZelkorDriver::forward(Packet& packet, IDriverDiscovery& current, const std::string& command,
                           MessageFactoryFunction create, const std::string& next) {
    MessageForwardInfo& header = *packet.header;
    if (!packet.reliable) {
        PeerWarning("ZK7870W UDP message forwarding not supported");
        return;
    }
    // Replies and what a device sends its requester go back only from where the
    // requester's own requests went, and only to the requester's connection.
    std::shared_ptr<TcpSocket> onward;
    if (packet.isReply) {
        const std::uint64_t answered = packet.socket->AnsweredRequest().ordinal;
        // A reply that answers nothing this node wrote on its connection is nobody's answer:
        // passed on, it would release its requester's lock-step, whose connection here may
        // carry requests to other devices, and be taken for the answer to one of them.
        if (answered == 0) {
            PeerDetail("ZK78CBI Reply that answers no request passed on dropped", packet.socket->Tag());
            return;
        }
        ForwardedRequests::Pending asked;
        if (!_forwarded.Answered(packet.socket.get(), answered, inFlightOn(*packet.socket, answered),
                                 ForwardedRequests::Clock::now(), &asked)) {
            Detail("ZK78EEI Late reply to a request already refused dropped", packet.socket->Tag());
            return;
        }
        if (asked.notice && asked.toRequester) {
            _silent.Answered(asked.destination, packet.socket.get(), ForwardedRequests::Clock::now());
        }
        // The answer to a request of the requester's own goes back to the connection it came
        // on, whoever holds its name by now: a name that passed on takes none of the answers
        // its earlier holder awaited.
        const std::string requester = header.FinalDestination();
        const bool ownRequest = asked.ordinal != 0 && !asked.notice && asked.source == requester;
        onward = ownRequest ? asked.requester.lock() : _returnRoutes.Back(requester, packet.socket.get());
        if (ownRequest && (!onward || onward->IsFinalized())) {
            Detail("ZK78C7I Answer for a requester connection gone dropped", requester);
            return;
        }
        if (!onward) {
            PeerWarning("ZK7871W No return route for reply");
            return;
        }
        // A reply speaks for the node that answers, as a request does for its requester:
        // one in the name of another connection's requester or device is not passed on.
        // A device takes a router's refusal of its notice as the word that the requester
        // is gone, and drops what it keeps for it.
        if (replyInAnothersName(current, header.GetSource(), packet.socket)) {
            PeerWarning("ZK78FEW Reply in the name of another connection's node dropped", header.GetSource());
            return;
        }
        if (command == "authenticate") {
            // Only the answer to a proof its requester sent: a device that sends refusals
            // of its own must not have the router close whoever it names.
            if (!onward->TakeForwardedProof()) {
                PeerWarning("ZK78E8W Answer to no forwarded authentication dropped", onward->Tag());
                return;
            }
            countRefusedProof(current, header, *onward);
        }
    } else {
        if (!current.IsRouter()) {
            Detail("ZK78E5I Only a router forwards requests", next);
            stepBack(packet, command, "Device not found");
            return;
        }
        // "starttls" acts on the connection it comes on: passed on, it would secure this
        // node's own connection to the next one, which every requester behind shares.
        if (command == "starttls") {
            Detail("ZK78E7I Not forwarded: the word acts on its own connection", command);
            stepBack(packet, command, "Command not permitted");
            return;
        }
        // The node behind trusts this node's connection: what the requester may not ask
        // here, it may not ask through here.
        if (const char* refusal = authorise(packet, current, command, create != nullptr, true)) {
            stepBack(packet, command, refusal);
            return;
        }
        bool listed = false;
        if (isRouteNotice(command)) {
            // A notice for a requester goes to the connection its requests came on, with
            // that connection's security, and to none other: a node that has another
            // connection under the requester's name (one it dialled, one a restarted
            // requester made) is not where it is owed.
            const std::string requester = header.FinalDestination();
            if (_passed.Knows(packet.socket.get(), requester)) {
                PeerDetail("ZK78C0I Notice for a requester name that ended, sent before its device heard so, answered",
                           requester);
                acknowledgeStale(packet, command, create);
                return;
            }
            onward = _returnRoutes.Back(requester, packet.socket.get());
            if (!onward && _returnRoutes.IsRequester(requester)) {
                PeerDetail("ZK78C5I Notice for a requester whose requests came another way refused", requester);
                stepBack(packet, command, "Device not found");
                return;
            }
        }
        if (!onward) {
            listed = current.GetDeviceHandleByName(next, onward);
        }
        if (!listed && !onward) {
            PeerWarning("ZK7872W No device found for target name", next);
            stepBack(packet, command, "Device not found");
            return;
        }
        if (!onward) {
            PeerWarning("ZK7873W target device is not connected", next);
            stepBack(packet, command, kDeviceNotConnected);
            return;
        }
        // Refused as a requester gone: forwarded, it would hold the device's connection
        // again until its bound ran out.
        if (isRouteNotice(command) && packet.socket->IsOutgoing() && refusesNotice(header, *onward)) {
            stepBack(packet, command, kDeviceNotConnected);
            return;
        }
    }
    if (!create) {
        Error("ZK7874E Message factory failed");
        stepBack(packet, command, "Message factory failed");
        return;
    }
    if (!create()) {
        Error("ZK7875E Message creation failed");
        stepBack(packet, command, "Message creation failed");
        return;
    }
    if (!packet.isReply) {
        // The route a requester's own request takes is where its end is told.
        const bool ownRequest = !isRouteNotice(command);
        ReturnRoutes::Way way;
        if (ownRequest) {
            way.targets = header.TargetList();
            way.sources = header.SourceList();
        }
        const ReturnRoutes::Claimed claimed =
            nameOfAnotherDevice(current, header.GetSource(), packet.socket)
                ? ReturnRoutes::Claimed::InUse
                : claimName(current, header.GetSource(), packet.socket, onward, ownRequest ? &way : nullptr);
        if (claimed == ReturnRoutes::Claimed::InUse) {
            PeerWarning("ZK78E2W Source name held by another connection", header.GetSource());
            stepBack(packet, command, "Source name in use");
            return;
        }
        if (claimed == ReturnRoutes::Claimed::Full) {
            PeerWarning("ZK78ECW No room for another requester from", packet.socket->Tag());
            stepBack(packet, command, "Too many requesters");
            return;
        }
        // While its notices are refused, a subscription would be dropped at the device by
        // the first refusal: the requester is told now, not after it thinks it holds one.
        if (subscribes(command) && _silent.Refuses(header.GetSource(), packet.socket.get(),
                                                   SourceGroup(packet.socket->GetRemoteIP()),
                                                   ForwardedRequests::Clock::now())) {
            PeerDetail("ZK78C6I Subscription refused: the requester's notices are refused for a time",
                       header.GetSource());
            stepBack(packet, command, kNoticesRefused);
            return;
        }
        if (command == "authenticate") {
            // Held here as a proof made to this node would be, by the requester's own
            // address: the node behind trusts this node to bound them.
            bool counts = false;
            if (const char* refusal = current.AdmitForwardedProof(*packet.socket, counts)) {
                if (counts) {
                    closeAfterRefusedProofs(*packet.socket);
                }
                stepBack(packet, command, refusal);
                return;
            }
            packet.socket->NoteProofForwarded();
        }
    }
    // The body goes on as the requester wrote it: the node it is for reads it and answers
    // for it, and nothing a router does not understand is lost on the way. Reading it into
    // its message and writing it again cost most of a forward.
    std::string out;
    if (!header.AppendMessageForwardHeader(out)) {
        return;
    }
    if (packet.isReply) {
        out += '@';
    }
    out += command;
    const std::size_t headLength = out.size();
    const std::string_view body = header.TrimmedJsonText();
    if (!body.empty()) {
        out += ' ';
        out += body;
    }
    out += '\n';
    if (packet.isReply) {
        sendLine(HandleOf(onward.get()), out, false, header, command, false);
        return;
    }
    forwardRequest(packet, current, onward, std::move(out), headLength, command);
}

void ZelkorDriver::forwardRequest(Packet& packet, IDriverDiscovery& current, const std::shared_ptr<TcpSocket>& onward,
                                  std::string line, std::size_t headLength, const std::string& command) {
    // Should the request never be answered from beyond, its refusal is made from the
    // line's head (routing header and word), kept for that with what the refusal repeats
    // of its body (a list's option): seldom needed, so not made now.
    std::string head = line.substr(0, headLength);
    if (const Json::Value repeated = IdentifyingMembers(command, packet.header->JsonBody()); !repeated.empty()) {
        head += ' ';
        head += WriteCompactJson(repeated);
    }
    // Before the line goes: an idle connection begins its write at once.
    const auto queued = ForwardedRequests::Clock::now();
    const bool asking = _forwarded.Asking(packet.socket.get());
    // Behind every requester's listings queued on the device's connection, a get would be
    // refused before its turn came: it goes before them, for a quarter time-out of each.
    const auto quarter = current.AnswerBound(AnswerWait::Prompt, 0, true) / 4;
    const bool taken = sendable(line) && (isRouteNotice(command)
                                              ? onward->SendDataNow(std::move(line), true)
                                              : onward->PassOnNow(std::move(line), packet.socket.get(), quarter));
    if (taken) {
        const MessageForwardInfo& header = *packet.header;
        ForwardedRequests::Pending pending;
        pending.ordinal = onward->LastRequestTaken();
        pending.requester = packet.socket;
        pending.head = std::move(head);
        pending.source = header.GetSource();
        pending.requesterKey = packet.socket.get();
        pending.notice = isRouteNotice(command);
        pending.queued = queued;
        if (!pending.notice) {
            const std::size_t beyond = std::max<std::size_t>(header.TargetList().size(), 1) - 1;
            const AnswerWait wait = AnswerWaitOf(command, header.JsonText());
            // Its requester says nothing while it waits: its name is held for it as long as
            // the requester waits for this node's answer, which comes by then.
            pending.holdUntil = queued + current.AnswerBound(wait, beyond + 1, true);
            // An answer that takes work is worth waiting for behind others as long as its
            // requester allows; a prompt one that waits a quarter time-out is refused, so
            // that once written it keeps its whole bound before its requester gives up. So
            // is one more from a connection that already awaits one here, as a peer that
            // keeps the lock-step never has: else one burst of listings would hold the
            // device's connection, and every other requester's turn on it, for minutes.
            const bool waitsLong = wait == AnswerWait::Work && !asking;
            pending.queuedUntil = queued + (waitsLong ? current.ForwardedDeadline(wait, beyond) : quarter);
            // Its turn may come so late that the device's own bound for it, counted from
            // its write, outlasts its requester, whose connection here may be a router's.
            if (waitsLong) {
                pending.answerBy = pending.queuedUntil;
                pending.ownBound = current.AnswerBound(wait, beyond, true);
            }
        }
        if (pending.notice) {
            pending.toRequester = packet.socket->IsOutgoing();
            pending.destination = header.FinalDestination();
            // One more target than the requester: the connection leads to a router in front.
            pending.direct = header.TargetList().size() <= 1;
            pending.bound = pending.direct ? ForwardedRequests::NoticeBound : 2 * ForwardedRequests::NoticeBound;
            if (!pending.toRequester) {
                // A device answering a requester's blocks has as long as its name is held
                // for it while it says nothing.
                pending.bound = std::chrono::milliseconds(2 * current.GetKeepAliveDiscoInterval());
            }
            pending.stalledAtQueue = onward->StalledOutput(queued).total;
            if (pending.toRequester && _silent.LeftOutputLately(SourceGroup(onward->GetRemoteIP()), queued)) {
                pending.grace = {};
            }
            // Its write began before the notice was kept here.
            if (onward->RequestInFlight() == pending.ordinal) {
                pending.written = pending.queued;
            }
        }
        ForwardedRequests::Pending givenUp;
        if (!_forwarded.Forwarded(onward.get(), std::move(pending), &givenUp)) {
            // Left on its connection, it would be written and awaited for nobody, never
            // refused here: it is taken back, or, written, its late answer dropped, and its
            // requester (its device, for a notice) hears at once.
            PeerWarning("ZK78E9W Forwarded requests past the bound: the oldest of the requester holding most refused",
                        onward->Tag());
            if (!onward->WithdrawQueued(givenUp.ordinal)) {
                _forwarded.GiveUp(onward.get(), givenUp.ordinal);
            }
            refuseForwarded(givenUp, givenUp.notice ? nullptr : kTimedOut);
        }
        return;
    }
    // Its connection went while the request was on its way.
    PeerWarning("ZK7873W target device is not connected", onward->Tag());
    stepBack(packet, command, kDeviceNotConnected);
}

void ZelkorDriver::forgetConnection(const TcpSocket& ended) {
    // A requester restarted on its host takes its name back within the quiet time; another
    // address waits that long for it.
    const auto current = discovery();
    const auto grace =
        current ? std::chrono::milliseconds(2 * current->GetKeepAliveDiscoInterval()) : std::chrono::milliseconds(0);
    const std::vector<ReturnRoutes::Ended> names = _returnRoutes.Closed(&ended, ReturnRoutes::Clock::now(), grace);
    _passed.Closed(&ended);
    _forwarded.RequesterClosed(&ended);
    tellEnded(names, refuseUnanswered(ended));
    // Only now: what it left unanswered is told against the requesters it answered for.
    _silent.Closed(&ended);
}

void ZelkorDriver::tellEnded(const std::vector<ReturnRoutes::Ended>& ended, const Told& told) {
    // Sent as a reply, the refusal goes before every request the connection writes later,
    // the name's next holder's among them; the device drops what it kept for the name,
    // queued notices included, before it reads anything of the next holder.
    for (const auto& name : ended) {
        for (const auto& [carrier, ways] : name.carriers) {
            if (carrier->IsFinalized()) {
                continue;
            }
            // A notice of the name refused there as its connection ended told it already.
            if (told.count({carrier.get(), name.name}) == 0) {
                for (const auto& way : ways) {
                    MessageForwardInfo header;
                    if (!header.SetTargetPaths(MessageForwardInfo::GetPaths(way.targets)) ||
                        !header.SetSourcePaths(MessageForwardInfo::GetPaths(way.sources))) {
                        continue;
                    }
                    std::string refusal = RefusalLine(header, "publish", kDeviceNotConnected);
                    if (!refusal.empty()) {
                        carrier->SendDataNow(std::move(refusal), false);
                    }
                }
            }
            _passed.Told(carrier.get(), name.name, carrier->LastRequestTaken());
        }
        if (!name.carriers.empty()) {
            PeerDetail("ZK78C3I Devices told that a requester name ended on its connection", name.name);
        }
    }
}

void ZelkorDriver::endPassed(const std::vector<ReturnRoutes::Ended>& ended) {
    Told told;
    for (const auto& name : ended) {
        // Its old owner's answers to them would reach devices that forgot the name by
        // then: they are refused now, as its end.
        for (const auto& refused :
             _forwarded.RefuseNotices(name.owner, [&name](const ForwardedRequests::Pending& pending) {
                 return pending.toRequester && pending.destination == name.name;
             })) {
            told.emplace(refused.pending.requesterKey, name.name);
            refuseForwarded(refused.pending);
        }
    }
    tellEnded(ended, told);
}

void ZelkorDriver::acknowledgeStale(Packet& packet, const std::string& command, MessageFactoryFunction create) {
    std::unique_ptr<Message> answer = create ? create() : nullptr;
    if (!answer) {
        stepBack(packet, command, kDeviceNotConnected);
        return;
    }
    MessageForwardInfo& header = *packet.header;
    header.ReversePaths();
    std::string previous;
    header.TransitionTargetToSource(previous);
    answer->SetMessageForwardInfo(header.WithoutBody());
    answer->SetIsReply(true);
    SendReply(packet.handle, answer->Build(false), std::string(), command);
}

bool ZelkorDriver::subscribes(const std::string& command) {
    return command == "subscribe" || command == "subscribepoll" || command == "sublog" || command == "subscribeevent";
}

ZelkorDriver::Told ZelkorDriver::refuseUnanswered(const TcpSocket& ended) {
    const auto current = discovery();
    const auto now = ForwardedRequests::Clock::now();
    Told told;
    for (const auto& [pending, unanswered] :
         _forwarded.Ended(&ended, inFlightOn(ended, ended.RequestInFlight()), now)) {
        Detail("ZK78EAI Forwarded request refused: its connection ended before the reply", ended.Tag());
        // Left unanswered, then gone: else a requester would hold the device again and
        // again, each time just short of the bound, on a new connection.
        if (current && pending.toRequester && unanswered >= SilentRequesters::LeftAtEnd) {
            silent(pending.destination, &ended, SourceGroup(ended.GetRemoteIP()), false, now,
                   current->ScaledBound(SilentRequesters::Period));
        }
        if (pending.toRequester) {
            told.emplace(pending.requesterKey, pending.destination);
        }
        refuseForwarded(pending);
    }
    return told;
}

void ZelkorDriver::silent(const std::string& requester, const TcpSocket* connection,
                          const boost::asio::ip::address& source, bool own, std::chrono::steady_clock::time_point now,
                          std::chrono::steady_clock::duration period) {
    // Several of its notices may go at once: the requester is refused, and logged, once.
    if (_silent.Refuses(requester, connection, source, now)) {
        return;
    }
    PeerWarning("ZK78B3W Requester left a notice unanswered: its notices are refused for a time",
                requester + " from " + source.to_string());
    if (_silent.Silent(requester, connection, source, own, now, period)) {
        PeerWarning("ZK78B5W Requesters from one source left notices unanswered: its notices are refused for a time",
                    source.to_string());
    }
}

void ZelkorDriver::ExpireForwardedNotices(std::chrono::steady_clock::time_point now) {
    const auto current = discovery();
    if (!current) {
        return;
    }
    // A request that waits here behind another would outlast its requester's bound: past
    // its time in the queue it is refused, the requester's connection to this node kept;
    // so is one that takes work written too late to be answered in its requester's time.
    for (const auto& pending :
         _forwarded.ExpireQueued(now, [this](const TcpSocket* onward, std::uint64_t ordinal) {
             const auto socket = liveConnection(onward);
             return socket && socket->WithdrawQueued(ordinal);
         })) {
        PeerDetail("ZK78C4I Forwarded request refused: it waited too long behind others for its device", pending.source);
        refuseForwarded(pending, kTimedOut);
    }
    const auto period = current->ScaledBound(SilentRequesters::Period);
    const auto inFlight = [this](const TcpSocket* onward) {
        const auto socket = liveConnection(onward);
        return socket ? inFlightOn(*socket, socket->RequestInFlight()) : ForwardedRequests::InFlight{};
    };
    std::vector<ForwardedRequests::Refused> refused = _forwarded.ExpireNotices(now, inFlight);
    std::vector<ForwardedRequests::Refused> alongside;
    for (const auto& expired : refused) {
        if (!expired.unanswered) {
            PeerDetail("ZK78B6I Notice refused: its connection is held by one its requester left unanswered",
                       expired.pending.destination);
            continue;
        }
        if (expired.behindOutput) {
            PeerWarning("ZK78BBW Notice that waited behind output its requester does not take refused to its device",
                        expired.pending.destination);
        } else if (expired.pending.written == ForwardedRequests::Clock::time_point{}) {
            PeerWarning("ZK78BAW Notice that waited behind its requester's unanswered ones past the bound refused "
                        "to its device",
                        expired.pending.destination);
        } else {
            PeerWarning("ZK78EFW Notice left unanswered by its requester refused to its device",
                        expired.pending.destination);
        }
        // A connection on its way out refuses the rest as it ends.
        const auto onward = liveConnection(expired.onward);
        if (onward && expired.behindOutput) {
            _silent.LeftOutputUntaken(SourceGroup(onward->GetRemoteIP()), now,
                                      current->ScaledBound(SilentRequesters::GraceMemory));
        }
        if (onward && expired.pending.toRequester) {
            for (auto& more : silenced(expired, *onward, now, period)) {
                alongside.push_back(std::move(more));
            }
        }
    }
    for (const auto& each : refused) {
        refuseForwarded(each.pending);
    }
    for (const auto& each : alongside) {
        refuseForwarded(each.pending);
    }
}

std::vector<ForwardedRequests::Refused> ZelkorDriver::silenced(const ForwardedRequests::Refused& expired,
                                                               const TcpSocket& onward,
                                                               std::chrono::steady_clock::time_point now,
                                                               std::chrono::steady_clock::duration period) {
    const ForwardedRequests::Pending& pending = expired.pending;
    const auto source = SourceGroup(onward.GetRemoteIP());
    silent(pending.destination, &onward, source, pending.direct, now, period);
    return _forwarded.RefuseNotices(&onward, [&](const ForwardedRequests::Pending& other) {
        if (!other.toRequester || !_silent.Refuses(other.destination, &onward, source, now)) {
            return false;
        }
        PeerDetail("ZK78B4I Notice refused at once: its requester left one unanswered", other.destination);
        return true;
    });
}

bool ZelkorDriver::refusesNotice(const MessageForwardInfo& header, const TcpSocket& onward) {
    const std::string requester = header.FinalDestination();
    if (_forwarded.Blocked(&onward, onward.RequestInFlight())) {
        PeerDetail("ZK78B6I Notice refused: its connection is held by one its requester left unanswered", requester);
        return true;
    }
    if (_silent.Refuses(requester, &onward, SourceGroup(onward.GetRemoteIP()), ForwardedRequests::Clock::now())) {
        PeerDetail("ZK78B4I Notice refused at once: its requester left one unanswered", requester);
        return true;
    }
    return false;
}

void ZelkorDriver::refuseForwarded(const ForwardedRequests::Pending& pending, const char* text) {
    const auto requester = pending.requester.lock();
    MessageForwardInfo header;
    if (!requester || !header.ReadReceived(pending.head, false)) {
        return;
    }
    // Turned round and stepped past this node, as the road's own refusals are. A request
    // was lost with the connection; a notice found its requester gone, which tells the
    // device to forget what it keeps for that requester. A requester's firmware update is
    // a request of its own: only a device's, toward its requester, is a notice.
    const std::string word = header.GetCommand();
    const bool notice = pending.notice && (pending.toRequester || word != "fwupdate");
    header.ReversePaths();
    std::string previous;
    header.TransitionTargetToSource(previous);
    std::string refusal =
        RefusalOf(pending.head, header, text ? text : notice ? kDeviceNotConnected : kConnectionLost);
    if (!refusal.empty()) {
        requester->SendDataNow(std::move(refusal), false);
    }
}

void ZelkorDriver::stepBack(Packet& packet, const std::string& command, const std::string& text) {
    // Turned round, the first target is this node again: step past it towards the
    // requester, as the forwarded request would have come back.
    MessageForwardInfo& header = *packet.header;
    header.ReversePaths();
    std::string previous;
    header.TransitionTargetToSource(previous);
    SendErrorReply(packet, command, text, header);
}

void ZelkorDriver::customCommand(Packet& packet, const std::string& command, const std::string& line) {
    MessageForwardInfo& header = *packet.header;
    CustomCallback callback;
    {
        std::lock_guard<std::mutex> lock(_callbackMutex);
        callback = packet.isReply ? _customResponse : _customCommand;
    }
    if (packet.isReply) {
        if (callback) {
            std::string text = line;
            callback(text);
        }
        if (packet.reliable && packet.socket && command == "unrecognized") {
            leaveHandshake(*packet.socket);
        }
        return;
    }
    if (!packet.reliable) {
        return;
    }
    if (callback) {
        std::string text = line;
        callback(text);
    }
    header.ReversePaths();
    std::ostringstream out;
    if (!header.PutHeader(out, false, command.c_str())) {
        return;
    }
    out << header.JsonText();
    std::string echo = out.str();
    if (echo.empty() || echo.back() != '\n') {
        echo += '\n';
    }
    sendReply(packet, command, echo, header);
}

std::shared_ptr<TcpSocket> ZelkorDriver::connectionOfDevice(IDriverDiscovery& current, const std::string& name,
                                                           const std::shared_ptr<TcpSocket>& from) {
    // A connection whose peer has not answered discovery on it yet (one this node is still
    // setting up) is not yet known to reach the device: meanwhile the device is as one not
    // connected.
    std::shared_ptr<TcpSocket> own;
    current.GetDeviceHandleByName(name, own);
    if (!own || own->AnsweredGuid().empty()) {
        return nullptr;
    }
    // This node's own dial reached the device where it looked for it, and a proof of the
    // code vouches for what its peer says. A peer's own word on a connection it made does
    // not take the name from the requester that held it first: the discovery service
    // refuses such a record, and one that came by another road counts for nothing here.
    if (own != from && !own->IsOutgoing() && !provedCode(current, *own)) {
        const auto quiet = std::chrono::milliseconds(2 * current.GetKeepAliveDiscoInterval());
        const auto now = ReturnRoutes::Clock::now();
        if (_returnRoutes.Holder(name, nullptr, now, quiet, awaitsAnswer(now, quiet)) == from) {
            return nullptr;
        }
    }
    return own;
}

bool ZelkorDriver::nameOfAnotherDevice(IDriverDiscovery& current, const std::string& name,
                                       const std::shared_ptr<TcpSocket>& from) {
    // A device this node is connected to speaks for itself on its own connection; a line
    // from another host that gives its name would take its place.
    const auto own = connectionOfDevice(current, name, from);
    return own && anotherUnit(current, own, from);
}

bool ZelkorDriver::replyInAnothersName(IDriverDiscovery& current, const std::string& name,
                                       const std::shared_ptr<TcpSocket>& from, const TcpSocket* yielding) {
    // A device this node is connected to answers on its own connection (or from its host),
    // whoever else took its name as a requester's.
    if (const auto own = connectionOfDevice(current, name, from); own && own.get() != yielding) {
        return anotherUnit(current, own, from);
    }
    const auto quiet = std::chrono::milliseconds(2 * current.GetKeepAliveDiscoInterval());
    const auto now = ReturnRoutes::Clock::now();
    const auto holder = _returnRoutes.Holder(name, from.get(), now, quiet, awaitsAnswer(now, quiet));
    return holder && !sameUnit(current, from, holder);
}

ReturnRoutes::Awaits ZelkorDriver::awaitsAnswer(ReturnRoutes::Clock::time_point now,
                                               ReturnRoutes::Clock::duration quiet) const {
    return [this, now, quiet](const TcpSocket& owner, const std::string& name) {
        return _forwarded.Awaits(&owner, name, now, quiet);
    };
}

ReturnRoutes::Claimed ZelkorDriver::claimName(IDriverDiscovery& current, const std::string& name,
                                              const std::shared_ptr<TcpSocket>& from,
                                              const std::shared_ptr<TcpSocket>& onward, const ReturnRoutes::Way* way) {
    const auto now = ReturnRoutes::Clock::now();
    std::chrono::milliseconds quiet(2 * current.GetKeepAliveDiscoInterval());
    ReturnRoutes::Awaits awaits = awaitsAnswer(now, quiet);
    // A peer that proved the code need not wait out the grace a vacated name keeps for its
    // closed owner's address; a name some live connection holds is not its to take.
    const bool proven = provedCode(current, *from);
    // A unit back on a new connection (restarted, say, before its old one went quiet) need
    // not wait for the old one: a holder it proves it shares a unit with holds nothing
    // against it.
    const auto holder = _returnRoutes.Holder(name, from.get(), now, quiet, awaits);
    if (holder && sameUnit(current, from, holder)) {
        quiet = std::chrono::milliseconds::zero();
        awaits = nullptr;
    }
    std::vector<ReturnRoutes::Ended> ended;
    const ReturnRoutes::Claimed claimed =
        _returnRoutes.Claim(name, from, onward, now, quiet, way, awaits, &ended, proven);
    endPassed(ended);
    return claimed;
}

bool ZelkorDriver::anotherUnit(IDriverDiscovery& current, const std::shared_ptr<TcpSocket>& own,
                               const std::shared_ptr<TcpSocket>& from) {
    // A host with several addresses may connect from another one than this node reached it
    // at: the address alone does not tell another unit.
    return own != from && own->GetRemoteIP() != from->GetRemoteIP() && !sameUnit(current, from, own);
}

bool ZelkorDriver::sameUnit(IDriverDiscovery& current, const std::shared_ptr<TcpSocket>& claimant,
                            const std::shared_ptr<TcpSocket>& other) {
    // The GUID a peer answers discovery with is its own word, which a stranger may copy: the
    // claimant must also prove it. A peer that proved the code is trusted with what it
    // says; without a code, only the key that the other connection's peer holds tells the
    // same unit.
    const std::string& guid = claimant->AnsweredGuid();
    if (guid.empty() || guid != other->AnsweredGuid()) {
        return false;
    }
    if (!provedCode(current, *claimant) && !claimant->SamePeerKey(*other)) {
        return false;
    }
    if (LogLevel() >= 5) {
        PeerDetail("ZK78DAI Name spoken on a connection proven to come from its unit", guid + " on " + claimant->Tag());
    }
    return true;
}

bool ZelkorDriver::SameUnit(const std::shared_ptr<TcpSocket>& claimant, const std::shared_ptr<TcpSocket>& other) {
    const auto current = discovery();
    return current && claimant && other && sameUnit(*current, claimant, other);
}

bool ZelkorDriver::NameSpokenElsewhere(const std::string& name, const std::shared_ptr<TcpSocket>& from,
                                       const TcpSocket* yielding) {
    const auto current = discovery();
    if (!current || !from) {
        return false;
    }
    if (replyInAnothersName(*current, name, from, yielding)) {
        return true;
    }
    // A requester restarting on its host takes its name back within the grace its address
    // keeps it for: a record made meanwhile from another address would shut it out.
    return !provedCode(*current, *from) &&
           _returnRoutes.VacatedElsewhere(name, from->GetRemoteIP(), ReturnRoutes::Clock::now());
}

void ZelkorDriver::countRefusedProof(IDriverDiscovery& current, const MessageForwardInfo& reply,
                                     TcpSocket& requester) {
    // The node behind leaves the requesters of this node's connection to this node: their
    // addresses wait here, and their own connections are closed here, as that node would.
    const Json::Value& body = reply.JsonBody();
    const Json::Value& error = body.isObject() ? body["error"] : Json::Value::nullSingleton();
    // An error that is no text is no proof either.
    if (current.ForwardedProofAnswered(requester,
                                       error.isNull() ? std::string() : error.isString() ? error.asString() : "?")) {
        closeAfterRefusedProofs(requester);
    }
}

void ZelkorDriver::closeAfterRefusedProofs(TcpSocket& requester) {
    if (requester.CountFailedAuthentication() >= DiscoveryService::MaxFailedAuthentications) {
        PeerWarning("ZK78E6W Closing a connection after its failed authentications through this node",
                    requester.Tag());
        requester.SetCloseAfterSend(true);
    }
}

bool ZelkorDriver::strict(IDriverDiscovery& current) const {
    return _requireTls.load() && current.HasVerificationCode();
}

const char* ZelkorDriver::authorise(Packet& packet, IDriverDiscovery& current, const std::string& command,
                                    bool known, bool forwarded) {
    const TcpSocket& socket = *packet.socket;
    if (socket.GetRemoteIP().is_loopback()) {
        Detail("ZK78D6I Loopback sources require no authentication");
        return nullptr;
    }
    const bool code = current.HasVerificationCode();
    if (socket.GetState() != TcpSocket::Tls && code && _requireTls.load()) {
        return refuseOnPlain(socket, command, forwarded);
    }
    if (socket.GetState() != TcpSocket::Tls || !code) {
        Detail("ZK78D7I All commands allowed when no authentication code is set");
        return nullptr;
    }
    if (socket.IsKasdorAuthenticated()) {
        Detail("ZK78D8I All commands allowed to Kasdor authenticated clients");
        return nullptr;
    }
    // The nodes this node connected to never prove the code to it: their notices, and the
    // keep-alive each sends on the connection as soon as it is secured, pass; every other
    // request is held to the rules below.
    if (noticeOfReachedDevice(socket, command) || keepAliveOfReachedNode(socket, command, forwarded)) {
        return nullptr;
    }
    if (socket.IsAuthenticated()) {
        if (!known || IsAuthenticatedCommand(command)) {
            Detail("ZK78D9I Command allowed for non-Kasdor client", command);
            return nullptr;
        }
        Detail("ZK78E0I Command not allowed for non-Kasdor client", command);
        return "Command not permitted";
    }
    if (command == "authenticate") {
        return nullptr;
    }
    return "Not authenticated";
}

const char* ZelkorDriver::refuseOnPlain(const TcpSocket& socket, const std::string& command, bool forwarded) {
    // What a peer needs to reach TLS and be found, on its own connection; a code is
    // refused its own way. Said through this node, the same words would act on this node's
    // connection to the next one.
    if (!forwarded &&
        (command == "starttls" || command == "disco" || command == "goodbye" || command == "setverificationcode")) {
        return nullptr;
    }
    if (noticeOfReachedDevice(socket, command)) {
        return nullptr;
    }
    Detail("ZK78E3I Request refused on a plain connection", command);
    return "Requires encrypted connection";
}

bool ZelkorDriver::noticeOfReachedDevice(const TcpSocket& socket, const std::string& command) {
    if (socket.IsOutgoing() && isRouteNotice(command)) {
        Detail("ZK78F9I Notice allowed on a connection this node opened", command);
        return true;
    }
    return false;
}

bool ZelkorDriver::keepAliveOfReachedNode(const TcpSocket& socket, const std::string& command, bool forwarded) {
    // Said through this node, the word would be asked of another node, which holds its
    // requester to its own rules.
    if (socket.IsOutgoing() && !forwarded && command == "disco") {
        Detail("ZK78EDI Keep-alive allowed on a connection this node opened", command);
        return true;
    }
    return false;
}

bool ZelkorDriver::isRouteNotice(const std::string& command) {
    // A device serving a get sends its blocks as requests toward the one that asked.
    return AwaitedRequests::IsNotice(command) || command == "goodbye";
}

void ZelkorDriver::refuseUnreadableReply(Packet& packet, IDriverDiscovery& current, const std::string& command,
                                         MessageForwardInfo header, const std::string& text) {
    std::unique_ptr<Message> refused = LookupCommand(command)();
    if (!refused) {
        return;
    }
    refused->SetParameter(Param::error, text.c_str());
    refused->SetMessageForwardInfo(std::move(header));
    refused->SetIsReply(true);
    MessageSignalData data(packet.handle, packet.socket, packet.reliable, std::move(refused));
    dispatch(data, packet, current, command);
}

void ZelkorDriver::dispatch(MessageSignalData& data, Packet& packet, IDriverDiscovery& current,
                            const std::string& command) {
    if (packet.isReply) {
        requesterGone(data, command);
    }
    // The word first: the service's handle is taken under a lock, which every other
    // line can do without.
    if (FileTransferService::IsServiceWord(command)) {
        if (const auto transfers = fileTransfer()) {
            transfers->SignalRaised(data);
            return;
        }
    }
    if (current.IsServiceCommand(command)) {
        current.SignalRaised(data);
        return;
    }
    if (ProcessFolderNavigatorCommand(command, data)) {
        return;
    }
    Signal<MessageSignalData>* signal = nullptr;
    {
        std::lock_guard<std::mutex> lock(_mapMutex);
        signal = _messageSignalMap.GetMessageSignalFactory(command.c_str()).MessageSignal();
    }
    if (!signal) {
        // The message holds the line's header by now.
        MessageForwardInfo header = data.GetMessage()->GetMessageForwardInfo();
        header.ReversePaths();
        SendErrorReply(packet, command, "No message signal data", header);
        return;
    }
    signal->Raise(data);
}

void ZelkorDriver::SendErrorReply(Packet& packet, const std::string& command, const std::string& text,
                                  MessageForwardInfo& header) {
    if (packet.isReply) {
        return;
    }
    // A list's refusal repeats its option: its requester routes answers of the word by it.
    const std::string line =
        command == "list" && !header.BodyOverBound() ? RefusalOf(header.Text(), header, text)
                                                     : RefusalLine(header, command, text);
    if (line.empty()) {
        return;
    }
    // The road's own refusals are never kept for a repeat: the hash refused may be another
    // requester's. A repeat of an admitted line is then handled, and refused, afresh.
    if (packet.reliable && header.hasHash) {
        _replyCache.Forget(header.HashText(), packet.cacheEntry);
    }
    SendReply(packet.handle, line, std::string(), command);
}

void ZelkorDriver::sendReply(Packet& packet, const std::string& command, const std::string& text,
                             const MessageForwardInfo& header) {
    SendReply(packet.handle, text, packet.reliable && header.hasHash ? header.HashText() : std::string(), command);
}

void ZelkorDriver::RecordReply(void* handle, const std::string& hash, const std::string& word,
                               const std::string& reply) {
    if (hash.empty()) {
        return;
    }
    // The reply is addressed along the route its request came by.
    MessageForwardInfo route;
    route.ReadReceived(reply, false);
    bool found = false;
    bool already = false;
    const auto waiting = _replyCache.Record(hash, word, handle, reply, found, already, route.GetTargetPaths());
    if (!found) {
        return;
    }
    if (already) {
        Detail("ZK7865I Reply already recorded for", hash);
        return;
    }
    Detail("ZK7865I Reply recorded for", hash);
    for (const auto& waiter : waiting) {
        if (waiter->SocketIsConnected()) {
            waiter->SendData(reply, false);
            Detail("ZK7865I Recorded reply for " + quoted(hash) + " sent to", Tag(handle));
        }
    }
}

void ZelkorDriver::leaveHandshake(TcpSocket& socket) {
    // Only a handshake under way falls back to plain: a secured stream stays secured,
    // or clear text would be written into it.
    if (socket.GetState() == TcpSocket::Handshaking) {
        socket.SetState(TcpSocket::Plain);
    }
    // An answer that refused a "starttls" was its answer: a later unasked one is not.
    socket.TakeStartTlsAnswer();
}

void ZelkorDriver::SignalRaised(MessageSignalData& data) {
    Message* message = data.GetMessage();
    if (!message) {
        return;
    }
    if (message->GetIsReply()) {
        const std::string word = message->CommandName();
        if ((word == "error" || word == "unrecognized") && data.Socket()) {
            leaveHandshake(*data.Socket());
        }
        return;
    }
    const std::string text = message->Build(false);
    const MessageForwardInfo& header = message->GetMessageForwardInfo();
    SendReply(data.Handle(), text, header.hasHash ? header.HashText() : std::string(), message->CommandName());
}

}  // namespace Zelkor
