#pragma once
// The command-word table: the 42 words of the protocol, each with the function that
// makes an empty message of its class. A received line names its message only by its
// word; this table turns the word into the message that then reads the line.
//
// The table is filled during static initialisation and only read afterwards, so lookups
// need no lock. Words are bare and lower case; a lookup compares byte for byte.

#include <map>
#include <memory>
#include <string>

#include "core/MessageSignalFactory.h"

namespace Zelkor {

class Message;

extern const std::map<std::string, MessageFactoryFunction> _factoryMap;

// The creating function of the word; null when the word is not in the table.
MessageFactoryFunction LookupCommand(const std::string& word);

std::unique_ptr<Message> CreateAuthenticateCommand();
std::unique_ptr<Message> CreateBlockCommand();
std::unique_ptr<Message> CreateCancelPutFileCommand();
std::unique_ptr<Message> CreateCDCommand();
std::unique_ptr<Message> CreateDeleteCommand();
std::unique_ptr<Message> CreateDiscoCommand();
std::unique_ptr<Message> CreateErrorReply();
std::unique_ptr<Message> CreateEventCommand();
std::unique_ptr<Message> CreateExecCommand();
std::unique_ptr<Message> CreateFirmwareUpdateCommand();
std::unique_ptr<Message> CreateFreeSpaceCommand();
std::unique_ptr<Message> CreateGetCommand();
std::unique_ptr<Message> CreateGetDeviceStateCommand();
std::unique_ptr<Message> CreateGetFileCommand();
std::unique_ptr<Message> CreateGetPresetInfoCommand();
std::unique_ptr<Message> CreateGoodbyeCommand();
std::unique_ptr<Message> CreateIdentifyCommand();
std::unique_ptr<Message> CreateListFilesCommand();
std::unique_ptr<Message> CreateLocateCommand();
std::unique_ptr<Message> CreateLogCommand();
std::unique_ptr<Message> CreateLSCommand();
std::unique_ptr<Message> CreateMKDIRCommand();
std::unique_ptr<Message> CreatePollCommand();
std::unique_ptr<Message> CreatePublishCommand();
std::unique_ptr<Message> CreatePutFileCommand();
std::unique_ptr<Message> CreateRebootCommand();
std::unique_ptr<Message> CreateRLSCommand();
std::unique_ptr<Message> CreateRMDIRCommand();
std::unique_ptr<Message> CreateSendDiscoCommand();
std::unique_ptr<Message> CreateSetCommand();
std::unique_ptr<Message> CreateSetIPCommand();
std::unique_ptr<Message> CreateSetVerificationCodeCommand();
std::unique_ptr<Message> CreateStartTLSCommand();
std::unique_ptr<Message> CreateSubLogCommand();
std::unique_ptr<Message> CreateSubscribeCommand();
std::unique_ptr<Message> CreateSubscribeEventCommand();
std::unique_ptr<Message> CreateSubscribePollCommand();
std::unique_ptr<Message> CreateUnsubLogCommand();
std::unique_ptr<Message> CreateUnsubscribeCommand();
std::unique_ptr<Message> CreateUnsubscribeEventCommand();
std::unique_ptr<Message> CreateUnsubscribePollCommand();

}  // namespace Zelkor
