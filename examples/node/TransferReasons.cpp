#include "TransferReasons.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZelkorNode {
namespace {

std::string systemText(int error) { return std::strerror(error); }

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// What stands in the way of reading the local file now: the system's text, "" when
// nothing does.
std::string whyUnreadable(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return systemText(errno);
    }
    ::close(fd);
    return std::string();
}

// What stands in the way of writing beside the destination.
std::string whyUnwritable(const std::string& path) {
    const std::string folder = folderOf(path);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        return "no folder " + folder + " (" + systemText(errno) + ")";
    }
    if (!S_ISDIR(info.st_mode)) {
        return folder + " is not a folder";
    }
    if (::access(folder.c_str(), W_OK) != 0) {
        return "cannot write in " + folder + " (" + systemText(errno) + ")";
    }
    return std::string();
}

TransferReason byDevice(const TransferFailure& failure) {
    const std::string& remote = failure.remote;
    const std::string& text = failure.text;
    TransferReason told{"device", ""};
    if (text == "cannot open file") {
        told.reason = failure.put ? "the device could not open " + remote + " for writing (a folder it lacks, or one "
                                                                             "it may not write in; its log says which)"
                                  : "the device could not open " + remote + " (its log says why)";
    } else if (text == "file is missing") {
        told.reason = "the device has no file " + remote;
    } else if (text == "source is a folder") {
        told.reason = remote + " is a folder on the device";
    } else if (text == "path parameter invalid") {
        told.reason = "the device refused the path " + remote;
    } else if (text == "too many transfers") {
        told.reason = "the device runs as many transfers as it takes";
    } else {
        told.reason = "the device failed the transfer of " + remote + ": " + text;
    }
    return told;
}

TransferReason byNode(const TransferFailure& failure) {
    const std::string& local = failure.local;
    const std::string& text = failure.text;
    TransferReason told{"node", ""};
    if (text == "file is missing") {
        told.reason = "this node has no file " + local;
    } else if (text == "source is a folder") {
        told.reason = local + " is a folder on this node";
    } else if (text == "local file is empty") {
        told.reason = local + " is empty on this node";
    } else if (text == "cannot open file" && failure.put) {
        const std::string why = whyUnreadable(local);
        told.reason = "this node could not open " + local + (why.empty() ? std::string() : ": " + why);
    } else if (text == "cannot open file") {
        const std::string why = whyUnwritable(local);
        told.reason = "this node could not write " + local + (why.empty() ? std::string() : ": " + why);
    } else if (text == "end-point is unknown") {
        told.reason = "this node does not list the device";
    } else if (text == "no connection for transfer") {
        told.reason = "this node has no connection to the device, nor to a router that reaches it";
    } else if (text == "end-point disconnected") {
        told.reason = "the connection to the device (or its router's to it) ended";
    } else if (text == "timeout") {
        told.reason = "the device sent nothing for the transfer within the time allowed";
    } else if (text == "path parameter missing") {
        told.reason = failure.local.empty() ? "no local path was given" : "no remote path was given";
    } else if (text == "transfer canceled") {
        told.reason = "this node canceled it";
    } else if (text == "refused by the device object") {
        told.reason = "a \"..\" in the remote path, which this node's tree does not allow";
    } else {
        told.reason = "this node ended the transfer: " + text;
    }
    return told;
}

}  // namespace

TransferReason ReasonOf(const TransferFailure& failure) {
    return failure.byDevice ? byDevice(failure) : byNode(failure);
}

}  // namespace ZelkorNode
