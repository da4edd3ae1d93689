// Construction and destruction of the driver, the start-up of its services, its getters,
// the logger settings it forwards and the node-name repair.

#include "driver/ZelkorDriver.h"

#include <sstream>

#include <boost/asio/ip/host_name.hpp>
#include <json/value.h>

#include "discovery/DiscoveryService.h"
#include "driver/CommandTable.h"
#include "filetransfer/FileTransferService.h"
#include "services/CommandInterfaceService.h"
#include "services/DeviceStateService.h"
#include "services/EventSubscriptionService.h"
#include "services/FolderModificationService.h"
#include "services/ISubscriptionService.h"
#include "services/ListCommandRouter.h"
#include "services/ListPresets.h"
#include "services/ListPublishers.h"
#include "services/MultiSetGetWorker.h"
#include "services/SubscriberKey.h"
#include "services/SubscriptionService.h"
#include "storage/StorageModel.h"
#include "transport/ByteBudget.h"
#include "transport/LinuxPlatform.h"
#include "transport/LineFramer.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

const char* const kDeviceNamePath = "/configuration/device/name";

}  // namespace

ZelkorDriver::ZelkorDriver(std::shared_ptr<boost::asio::io_context> context) : ZelkorDriver(*context) {
    _ownedContext = std::move(context);
}

ZelkorDriver::ZelkorDriver(boost::asio::io_context& context)
    : ZelkorLoggable("ZDRV"),
      _io(context),
      // The generic method: the highest TLS version both peers support.
      _sslContext(boost::asio::ssl::context::sslv23) {
    _messageSignalMap.SetMessageSignalFactory(MessageSignalFactory("error", &_errorSignal, CreateErrorReply));
    _errorConnection = _errorSignal += static_cast<ISignalObserver<MessageSignalData>*>(this);
    _router = std::make_unique<ListCommandRouter>(this);
    _router->GiveMessageMapToMessageReceiver(this);
    // Peers' lines may be megabytes long; see the driver's header.
    Platform::KeepLargeBlocksMapped();
}

ZelkorDriver::~ZelkorDriver() {
    _router.reset();
    // Before the connection-result signal it observes.
    _folderModification.reset();
    _subscriptions.reset();
    _subscriptionService.reset();
    _eventSubscriptions.reset();
    _deviceStateService.reset();
    _fileTransfer.reset();
    _commandInterface.reset();
    if (!_io.stopped()) {
        _io.stop();
    }
    // Connections that outlive the driver must not report to it any more.
    for (const auto& socket : _live.Connections()) {
        socket->SetSink(nullptr);
    }
    closeServed();
}

std::string ZelkorDriver::Tag(const void* handle) {
    std::ostringstream text;
    text << "0000" << handle;
    const std::string full = text.str();
    return full.substr(full.size() - 4);
}

std::shared_ptr<IDriverDiscovery> ZelkorDriver::discovery() const {
    std::lock_guard<std::mutex> lock(_serviceMutex);
    return _discovery;
}

IDriverDiscovery* ZelkorDriver::GetDriverDiscovery() { return discovery().get(); }

FolderModificationService* ZelkorDriver::folderModification() const {
    std::lock_guard<std::mutex> lock(_serviceMutex);
    return _folderModification.get();
}

IFolderModificationService* ZelkorDriver::GetFolderModificationService() { return folderModification(); }

void ZelkorDriver::Refresh() {
    auto current = discovery();
    if (!current) {
        return;
    }
    // Every transfer ends with its callback: the devices they went to are forgotten.
    if (const auto transfers = fileTransfer()) {
        transfers->Refresh();
    }
    current->ResetDeviceList();
    current->ResetIncomingConnections();
}

void ZelkorDriver::DisconnectAllExcept(void* handle) {
    Trace("ZK78D3I ZelkorDriver::DisconnectAllExcept begin");
    auto current = discovery();
    if (!current) {
        Warning("ZK7829W Discovery service not initialized");
        return;
    }
    current->ResetAllExcept(handle);
    Trace("ZK78D4I ZelkorDriver::DisconnectAllExcept end");
}

bool ZelkorDriver::refuseSecondDiscovery() {
    if (discovery()) {
        // The services of the first hold signals and routes the driver still uses.
        Error("ZK78F0E Discovery already initialized");
        return true;
    }
    return false;
}

void ZelkorDriver::InitDiscovery(IStorage* storage) {
    if (!storage) {
        Error("ZK7831E Null storage pointer passed to InitDiscovery");
        return;
    }
    if (!refuseSecondDiscovery()) {
        initDiscovery(std::make_shared<DiscoveryService>(this, storage));
    }
}

void ZelkorDriver::InitDiscovery(std::shared_ptr<IStorage> storage) {
    if (!storage) {
        Error("ZK78E1E Null storage pointer passed to InitDiscovery");
        return;
    }
    if (!refuseSecondDiscovery()) {
        initDiscovery(std::make_shared<DiscoveryService>(this, std::move(storage)));
    }
}

void ZelkorDriver::initDiscovery(std::shared_ptr<DiscoveryService> service) {
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        _discovery = service;
        _discoveryService = std::move(service);
    }
    initDiscoveryImpl();
}

DiscoveryService* ZelkorDriver::GetDiscovery() {
    std::lock_guard<std::mutex> lock(_serviceMutex);
    return _discoveryService.get();
}

IDiscoveryService* ZelkorDriver::GetDiscoveryService() { return GetDiscovery(); }

void ZelkorDriver::UseSubscriptionService(std::shared_ptr<ISubscriptionService> subscriptions) {
    if (!subscriptions) {
        return;
    }
    std::shared_ptr<SubscriptionService> made;
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        _subscriptions = subscriptions;
        made = _subscriptionService;
    }
    if (made && made.get() != subscriptions.get()) {
        // Kept, as the word map holds its signals, but answering nothing any more.
        made->Finalize();
        if (const auto storage = made->Storage()) {
            storage->SetStorageEventHandler(subscriptions.get());
        }
    }
}

IServiceSender::QueuedOutput ZelkorDriver::QueuedOutputOf(void* handle) {
    QueuedOutput output;
    if (const auto socket = tcpOf(handle)) {
        output.bytes = socket->QueuedBytes();
        output.bound = socket->MaxQueuedBytes();
        output.open = !socket->IsFinalized();
    }
    return output;
}

std::string ZelkorDriver::AnsweredWord(void* handle) {
    const auto socket = tcpOf(handle);
    return socket ? socket->AnsweredRequest().word : std::string();
}

std::uint64_t ZelkorDriver::RequestsTaken(void* handle) {
    const auto socket = tcpOf(handle);
    return socket ? socket->LastRequestTaken() : 0;
}

ISubscriptionService* ZelkorDriver::GetSubscriptionService() {
    std::lock_guard<std::mutex> lock(_serviceMutex);
    return _subscriptions.get();
}

void ZelkorDriver::ForgetRoutedRequester(void* handle, const MessageForwardInfo& header) {
    const SubscriberKey requester = SubscriberKey::Of(handle, header);
    if (!requester.Routed()) {
        return;
    }
    // What is queued for it would reach its router after this, and could be taken there
    // for the notice of whoever holds the name next.
    if (const auto socket = tcpOf(handle)) {
        socket->ForgetQueuedTo(header.SourceList());
    }
    std::shared_ptr<SubscriptionService> subscriptions;
    std::shared_ptr<EventSubscriptionService> events;
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        subscriptions = _subscriptionService;
        events = _eventSubscriptions;
    }
    if (subscriptions) {
        subscriptions->RemoveSubscriber(requester);
    }
    if (events) {
        events->RemoveSubscriber(requester);
    }
    if (const auto transfers = fileTransfer()) {
        transfers->RequesterGone(handle, header.GetSource());
    }
}

void ZelkorDriver::requesterGone(const MessageSignalData& data, const std::string& command) {
    if (!data.IsReliable() || (command != "publish" && command != "log" && command != "event" && command != "block")) {
        return;
    }
    const Message& reply = *data.GetMessage();
    std::string error;
    if (!reply.GetIsError(error)) {
        // A publish's refusal rides on its one entry.
        if (const auto* values = dynamic_cast<const MultiSetGetWorker*>(&reply)) {
            for (const auto& [key, entries] : values->GetValues()) {
                for (const auto& entry : entries) {
                    if (entry.Error()) {
                        error = entry.Error();
                    }
                }
            }
        }
    }
    if (SubscriberGone(error)) {
        ForgetRoutedRequester(data.Handle(), reply.GetMessageForwardInfo());
    }
}

bool ZelkorDriver::HoldsSubscriptions(void* handle) {
    std::shared_ptr<SubscriptionService> subscriptions;
    std::shared_ptr<EventSubscriptionService> events;
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        subscriptions = _subscriptionService;
        events = _eventSubscriptions;
    }
    return (subscriptions && subscriptions->Holds(handle)) || (events && events->Holds(handle));
}

bool ZelkorDriver::OwesDiskWork(void* handle) {
    const auto transfers = fileTransfer();
    return transfers && transfers->OwesDiskWork(handle);
}

IEventSubscriptionService* ZelkorDriver::GetEventSubscriptionService() {
    std::lock_guard<std::mutex> lock(_serviceMutex);
    return _eventSubscriptions.get();
}

void ZelkorDriver::UseDiscovery(std::shared_ptr<IDriverDiscovery> given) {
    if (!given) {
        Error("ZK78F4E Null discovery passed to UseDiscovery");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        if (!_discovery) {
            _discovery = std::move(given);
        }
    }
    if (given) {
        Error("ZK78F0E Discovery already initialized");
        return;
    }
    initDiscoveryImpl();
}

void ZelkorDriver::initDiscoveryImpl() {
    auto current = discovery();
    current->Initialize();
    current->GiveMessageMapToMessageReceiver(this);
    if (_router) {
        _router->AddRoute("discovered", current.get());
    }
    auto folders = std::make_unique<FolderModificationService>(this, current->GetStorageModel());
    folders->GiveMessageMapToMessageReceiver(this);
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        _folderModification = std::move(folders);
    }
    auto subscriptions = std::make_shared<SubscriptionService>(
        this, current->GetStorageModel(), [this](SubscriptionService::LoopJob job) { onLoop(std::move(job)); });
    subscriptions->GiveMessageMapToMessageReceiver(this);
    if (const auto storage = current->GetStorageModel()) {
        storage->SetStorageEventHandler(subscriptions.get());
    }
    if (_router) {
        _router->AddRoute(ListPublishers::Option, subscriptions.get());
    }
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        _subscriptions = subscriptions;
        _subscriptionService = std::move(subscriptions);
    }
    auto events = std::make_shared<EventSubscriptionService>(this, [this](EventSubscriptionService::LoopJob job) {
        onLoop(std::move(job));
    });
    events->GiveMessageMapToMessageReceiver(this);
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        _eventSubscriptions = std::move(events);
    }
}

void ZelkorDriver::InitFileTransfer(IDeviceState* deviceState) {
    if (!deviceState) {
        return;
    }
    auto service = std::make_shared<DeviceStateService>(this, deviceState, [this](DeviceStateService::LoopJob job) {
        onLoop(std::move(job));
    });
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        if (!_deviceStateService) {
            _deviceStateService = service;
            first = true;
        }
    }
    if (!first) {
        // The word map keeps the first service's signals: freeing it would leave them
        // dangling.
        Error("ZK78F1E File transfer already initialized");
        return;
    }
    service->GiveMessageMapToMessageReceiver(this);
    // The router reads its routes on the loop without a lock: once the loop runs, the
    // route is added there.
    const auto route = [this, observer = service->PresetsRoute()] {
        if (_router) {
            _router->AddRoute(ListPresets::Option, observer);
        }
    };
    bool added = false;
    {
        std::lock_guard<std::mutex> lock(_runMutex);
        if (!_running) {
            route();
            added = true;
        }
    }
    if (!added) {
        onLoop(route);
    }
    auto transfers = std::make_shared<FileTransferService>(this, &_transferDevices, deviceState, _io);
    transfers->GiveMessageMapToMessageReceiver(this);
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        _fileTransfer = transfers;
    }
    transfers->Start();
}

IDeviceStateService* ZelkorDriver::GetDeviceStateService() {
    std::lock_guard<std::mutex> lock(_serviceMutex);
    return _deviceStateService.get();
}

unsigned long ZelkorDriver::GetFileTransferCount() {
    const auto transfers = fileTransfer();
    return transfers ? transfers->GetFileTransferCount() : FileTransferService::DefaultTransferCount;
}

ICommandInterfaceService* ZelkorDriver::InitCommandInterface() {
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        if (_commandInterface) {
            return _commandInterface.get();
        }
    }
    auto made = std::make_unique<CommandInterfaceService>(this);
    CommandInterfaceService* service = made.get();
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        // A call on another thread may have won meanwhile: ours goes before its word
        // joins the map, which keeps a word's first service.
        if (_commandInterface) {
            return _commandInterface.get();
        }
        _commandInterface = std::move(made);
    }
    service->GiveMessageMapToMessageReceiver(this);
    return service;
}

ICommandInterfaceService* ZelkorDriver::GetCommandInterfaceService() {
    std::lock_guard<std::mutex> lock(_serviceMutex);
    return _commandInterface.get();
}

CommandInterfaceService* ZelkorDriver::commandInterface() const {
    std::lock_guard<std::mutex> lock(_serviceMutex);
    return _commandInterface.get();
}

IFileTransferService* ZelkorDriver::GetFileTransferService() { return fileTransfer().get(); }

std::shared_ptr<FileTransferService> ZelkorDriver::fileTransfer() const {
    std::lock_guard<std::mutex> lock(_serviceMutex);
    return _fileTransfer;
}

void ZelkorDriver::applyLineLimits(TcpSocket& socket) const {
    const std::size_t limit = _transferBlockSize.load() + LineFramer::LineAllowance;
    socket.SetMaxLineLength(limit);
    socket.SetMaxQueuedBytes(limit);
}

void ZelkorDriver::SetTransferBlockSize(std::size_t blockSize) {
    _transferBlockSize.store(blockSize);
    const std::size_t limit = blockSize + LineFramer::LineAllowance;
    ByteBudget::Input().SetLimit(2 * limit);
    ByteBudget::Output().SetLimit(2 * limit);
    // A connection's limits belong to its loop.
    onLoop([this] {
        for (const auto& connection : _live.Connections()) {
            applyLineLimits(*connection);
        }
    });
}

void ZelkorDriver::UpdateDiscoReplyValue(const std::string& name, const std::string& value) {
    if (auto current = discovery()) {
        current->UpdateDiscoReplyValue(name, value);
    }
}

void ZelkorDriver::SetMessageSignalFactory(const MessageSignalFactory& factory) {
    std::lock_guard<std::mutex> lock(_mapMutex);
    if (!_messageSignalMap.GetMessageSignalFactory(factory.Command()).MessageSignal()) {
        _messageSignalMap.SetMessageSignalFactory(factory);
    }
}

boost::signals2::connection ZelkorDriver::AddHandler2(const std::string& word, IServiceBase::Handler handler) {
    std::lock_guard<std::mutex> lock(_mapMutex);
    return IServiceBaseImpl<IServiceBase>::AddHandler2(word, std::move(handler));
}

std::string ZelkorDriver::GetResponseError(const std::string& line) const {
    MessageForwardInfo header;
    const std::string text = header.PullHeader(line);
    const MessageFactoryFunction create = LookupCommand(header.GetCommand());
    if (!create) {
        return "";
    }
    std::unique_ptr<Message> message = create();
    if (!message) {
        return "";
    }
    std::string error;
    message->FromNetworkFormat(false, text, error);
    std::string answer = message->GetParamValue(Param::error);
    // A class with a body of its own (the multi-value replies) keeps the body's "error"
    // in its entries, not as a parameter.
    const Json::Value& body = header.JsonBody();
    if (answer.empty() && body.isObject() && body["error"].isString()) {
        answer = body["error"].asString();
    }
    return answer;
}

bool ZelkorDriver::ReplaceEmptyDevNameToHostname() {
    auto current = discovery();
    std::shared_ptr<StorageModel> storage = current ? current->GetStorageModel() : nullptr;
    if (!storage) {
        return true;
    }
    std::string name;
    const IStorage::STATUS read = storage->GetValueForPath(kDeviceNamePath, "variant", name);
    if (read != 0) {
        Error(std::string("ZK7856E GetValueForPath on ") + kDeviceNamePath + " returned " +
              storage->GetStatusString(read));
        return false;
    }
    if (!name.empty()) {
        Info("ZK7860I Device Name", name);
        return true;
    }
    const std::string host = boost::asio::ip::host_name();
    if (host.empty()) {
        Error("ZK7857E host_name returned empty");
        return false;
    }
    const IStorage::STATUS written = storage->SetValueForPath(kDeviceNamePath, "variant", Json::Value(host), false);
    if (written == 0) {
        Info("ZK7859I Device name changed to", host);
        return true;
    }
    Error(std::string("ZK7858E SetValueForPath on ") + kDeviceNamePath + " returned " +
          storage->GetStatusString(written));
    return false;
}

void ZelkorDriver::OnCustomCommand(CustomCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _customCommand = std::move(callback);
}

void ZelkorDriver::OnCustomCommandResponse(CustomCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _customResponse = std::move(callback);
}

void ZelkorDriver::RegisterExternalLogger(std::function<void(std::string&)> logger) {
    ZelkorLoggable::RegisterExternalLogger(std::move(logger));
}
void ZelkorDriver::SetLogLevel(unsigned long& level) { ZelkorLoggable::SetLogLevel(level); }
void ZelkorDriver::SetLogPath(std::string& path) { ZelkorLoggable::SetLogPath(path); }
void ZelkorDriver::SetLogPrefix(std::string& prefix) { ZelkorLoggable::SetLogPrefix(prefix); }
void ZelkorDriver::SetLogBase(std::string& base) { ZelkorLoggable::SetLogBase(base); }
void ZelkorDriver::SetLogSuffix(std::string& suffix) { ZelkorLoggable::SetLogSuffix(suffix); }
void ZelkorDriver::SetWritePrelog(bool on) { ZelkorLoggable::SetWritePrelog(on); }
void ZelkorDriver::SetWriteFile(bool on) { ZelkorLoggable::SetWriteFile(on); }
void ZelkorDriver::SetWriteConsole(bool on) { ZelkorLoggable::SetWriteConsole(on); }

}  // namespace Zelkor
