#include "driver/CommandTable.h"

#include <string_view>
#include <unordered_map>

#include "core/ErrorReply.h"
#include "discovery/Authenticate.h"
#include "discovery/Disco.h"
#include "discovery/Goodbye.h"
#include "discovery/Identify.h"
#include "discovery/Locate.h"
#include "discovery/Reboot.h"
#include "discovery/SetVerificationCode.h"
#include "discovery/StartTLS.h"
#include "filetransfer/CancelPutFile.h"
#include "filetransfer/FileSystemMessages.h"
#include "filetransfer/TransferMessages.h"
#include "services/DeviceStateMessages.h"
#include "services/EventMessages.h"
#include "services/ExecMessages.h"
#include "services/FolderNavigationMessages.h"
#include "services/ListCommand.h"
#include "services/LogMessages.h"
#include "services/MultiGetValue.h"
#include "services/MultiSetValue.h"
#include "services/SubscribePollWorker.h"
#include "services/ValueSubscriptionMessages.h"

namespace Zelkor {

std::unique_ptr<Message> CreateAuthenticateCommand() { return std::make_unique<Authenticate>(); }
std::unique_ptr<Message> CreateBlockCommand() { return CreateBlockTransfer(); }
std::unique_ptr<Message> CreateCancelPutFileCommand() { return CreateCancelPutFile(); }
std::unique_ptr<Message> CreateCDCommand() { return std::make_unique<NavigateFolder>(); }
std::unique_ptr<Message> CreateDeleteCommand() { return CreateDelFile(); }
std::unique_ptr<Message> CreateDiscoCommand() { return std::make_unique<Disco>(); }
std::unique_ptr<Message> CreateErrorReply() { return std::make_unique<ErrorReply>(); }
// CreateEventCommand is the event messages' own creator ("services/EventMessages.h").
// CreateExecCommand is the exec message's own creator ("services/ExecMessages.h").
std::unique_ptr<Message> CreateFirmwareUpdateCommand() { return CreateFirmwareUpdateMode(); }
std::unique_ptr<Message> CreateFreeSpaceCommand() { return CreateFreeSpace(); }
std::unique_ptr<Message> CreateGetCommand() { return CreateGetValue(); }
std::unique_ptr<Message> CreateGetDeviceStateCommand() { return CreateGetDeviceState(); }
std::unique_ptr<Message> CreateGetFileCommand() { return CreateGetFile(); }
std::unique_ptr<Message> CreateGetPresetInfoCommand() { return CreateGetPreset(); }
std::unique_ptr<Message> CreateGoodbyeCommand() { return std::make_unique<Goodbye>(); }
std::unique_ptr<Message> CreateIdentifyCommand() { return CreateIdentify(); }
std::unique_ptr<Message> CreateListFilesCommand() { return CreateListFiles(); }
std::unique_ptr<Message> CreateLocateCommand() { return CreateLocate(); }
std::unique_ptr<Message> CreateLogCommand() { return CreateLogRow(); }
std::unique_ptr<Message> CreateLSCommand() { return std::make_unique<ListFolder>(); }
std::unique_ptr<Message> CreateMKDIRCommand() { return CreateMKDIR(); }
std::unique_ptr<Message> CreatePollCommand() { return CreatePollSubscription(); }
std::unique_ptr<Message> CreatePublishCommand() { return CreatePublish(); }
std::unique_ptr<Message> CreatePutFileCommand() { return CreatePutFile(); }
std::unique_ptr<Message> CreateRebootCommand() { return CreateReboot(); }
std::unique_ptr<Message> CreateRLSCommand() { return std::make_unique<RecurseFolder>(); }
std::unique_ptr<Message> CreateRMDIRCommand() { return CreateRMDIR(); }
std::unique_ptr<Message> CreateSendDiscoCommand() { return std::make_unique<SendDiscoMsg>(); }
std::unique_ptr<Message> CreateSetCommand() { return CreateSetValue(); }
std::unique_ptr<Message> CreateSetIPCommand() { return CreateSetIP(); }
std::unique_ptr<Message> CreateSetVerificationCodeCommand() { return std::make_unique<SetVerificationCode>(); }
std::unique_ptr<Message> CreateStartTLSCommand() { return std::make_unique<StartTLS>(); }
std::unique_ptr<Message> CreateSubLogCommand() { return CreateSubLog(); }
std::unique_ptr<Message> CreateSubscribeCommand() { return CreateSubscribe(); }
std::unique_ptr<Message> CreateSubscribeEventCommand() { return CreateSubscribeEvent(); }
std::unique_ptr<Message> CreateSubscribePollCommand() { return CreateSubscribePoll(); }
std::unique_ptr<Message> CreateUnsubLogCommand() { return CreateUnsubLog(); }
std::unique_ptr<Message> CreateUnsubscribeCommand() { return CreateUnsubscribe(); }
std::unique_ptr<Message> CreateUnsubscribeEventCommand() { return CreateUnsubscribeEvent(); }
std::unique_ptr<Message> CreateUnsubscribePollCommand() { return CreateUnsubscribePoll(); }

const std::map<std::string, MessageFactoryFunction> _factoryMap = {
    {"authenticate", CreateAuthenticateCommand},
    {"block", CreateBlockCommand},
    {"cancelputfile", CreateCancelPutFileCommand},
    {"cd", CreateCDCommand},
    {"deletefile", CreateDeleteCommand},
    {"disco", CreateDiscoCommand},
    {"error", CreateErrorReply},
    {"event", CreateEventCommand},
    {"exec", CreateExecCommand},
    {"fwupdate", CreateFirmwareUpdateCommand},
    {"freespace", CreateFreeSpaceCommand},
    {"get", CreateGetCommand},
    {"getdevicestate", CreateGetDeviceStateCommand},
    {"getfile", CreateGetFileCommand},
    {"getpresetinfo", CreateGetPresetInfoCommand},
    {"goodbye", CreateGoodbyeCommand},
    {"identify", CreateIdentifyCommand},
    {"list", CreateListCommand},
    {"listfiles", CreateListFilesCommand},
    {"locate", CreateLocateCommand},
    {"log", CreateLogCommand},
    {"ls", CreateLSCommand},
    {"mkdir", CreateMKDIRCommand},
    {"poll", CreatePollCommand},
    {"publish", CreatePublishCommand},
    {"putfile", CreatePutFileCommand},
    {"reboot", CreateRebootCommand},
    {"rls", CreateRLSCommand},
    {"rmdir", CreateRMDIRCommand},
    {"senddisco", CreateSendDiscoCommand},
    {"set", CreateSetCommand},
    {"setip", CreateSetIPCommand},
    {"setverificationcode", CreateSetVerificationCodeCommand},
    {"starttls", CreateStartTLSCommand},
    {"sublog", CreateSubLogCommand},
    {"subscribe", CreateSubscribeCommand},
    {"subscribeevent", CreateSubscribeEventCommand},
    {"subscribepoll", CreateSubscribePollCommand},
    {"unsublog", CreateUnsubLogCommand},
    {"unsubscribe", CreateUnsubscribeCommand},
    {"unsubscribeevent", CreateUnsubscribeEventCommand},
    {"unsubscribepoll", CreateUnsubscribePollCommand},
};

MessageFactoryFunction LookupCommand(const std::string& word) {
    // Every received line looks its word up here: one hashed search.
    static const std::unordered_map<std::string_view, MessageFactoryFunction> index(_factoryMap.begin(),
                                                                                     _factoryMap.end());
    const auto found = index.find(word);
    return found == index.end() ? nullptr : found->second;
}

}  // namespace Zelkor
