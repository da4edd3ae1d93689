#pragma once
// Commands run on a device ("exec"), raw command lines, and error replies.
//
// A device runs "exec" requests with handlers of all three argument forms (named, ordered,
// text), each of which writes an "exec" line with "reply" false (the form, the connection's tag, path,
// command and arguments) and knows three commands:
//   "echo"  succeeds, its result the arguments (an object, an array or the text);
//   "fail"  fails, its result "failed as asked";
//   "throw" throws from the handler: a test seam for the library's answer to a handler
//           that throws (a failure);
// any other command fails with "unknown command NAME". --no-callback execnamed,
// execordered or exectext leaves a form without handler.
//
// A controller sends "exec" to a listed device through its device object: with a "tag"
// the reply reaches a callback of its own, without one the default handler. Each reply is
// an "exec" line with "reply" true. A raw line ("get {...}", "exec {...}") goes through the device
// object too; its reply comes as a "raw" line with the text as it came in. An "@error"
// reply from any peer is an "errorReply" line.
//
// Commands: exec, raw.
//
// Threads: handlers, commands and callbacks run on the event loop.

#include <string>

#include <boost/signals2/connection.hpp>
#include <json/value.h>

#include "Commands.h"
#include "Events.h"
#include "Options.h"
#include "driver/IZelkorDriver.h"

namespace Zelkor {
class ICommandInterfaceService;
class MessageSignalData;
}  // namespace Zelkor

namespace ZelkorNode {

class Exec {
public:
    Exec(Zelkor::IZelkorDriver& driver, const Options& options, Events& events);

    // After InitCommandInterface: the device's handlers, the default reply handler and
    // the error replies.
    void Configure(Zelkor::ICommandInterfaceService& service);
    void AddCommands(Commands& commands);

private:
    // One exec request on the device: its line, then the command's outcome.
    bool run(const char* form, void* conn, const std::string& path, const std::string& command,
             const Json::Value& arguments, const std::string& echo, std::string& result);
    void exec(const Json::Value& command);
    void raw(const Json::Value& command);
    // Why the library would not send the raw line ("" when it would).
    std::string rawRefusal(const std::string& line);
    void resultLine(const std::string& tag, bool byDefault, const std::string& guid, const std::string& path,
                    const std::string& command, bool success, const std::string& result,
                    const std::string& requestid);
    void errorLine(Zelkor::MessageSignalData& data);

    Zelkor::IZelkorDriver& _driver;
    const Options& _options;
    Events& _events;
    // The driver's signal goes with the driver, which may go first.
    boost::signals2::scoped_connection _errors;
};

}  // namespace ZelkorNode
