#include "filetransfer/NodeTransferTestSupport.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

namespace ZelkorTest {

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (std::size_t at = 0; at < size; at += 4) {
        const std::uint32_t word = generator();
        std::memcpy(&bytes[at], &word, std::min<std::size_t>(4, size - at));
    }
    return bytes;
}

void WriteRandomFile(const std::string& path, std::uint64_t size, std::uint32_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    constexpr std::uint64_t kPiece = 1 << 20;
    for (std::uint64_t done = 0; done < size; done += kPiece) {
        const std::string piece = RandomBytes(static_cast<std::size_t>(std::min(kPiece, size - done)),
                                              seed + static_cast<std::uint32_t>(done / kPiece));
        out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    }
}

std::string Md5Sum(const std::string& path) {
    // The test's folders hold no quote in their names.
    const std::string command = "md5sum -- '" + path + "' 2>/dev/null";
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) {
        return "";
    }
    char digest[33] = {};
    return std::fread(digest, 1, 32, pipe.get()) == 32 ? std::string(digest, 32) : "";
}

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> OpenUnder(pid_t pid, const std::string& folder) {
    std::vector<std::string> open;
    std::error_code error;
    const std::string prefix = std::filesystem::canonical(folder, error).string() + "/";
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        char target[PATH_MAX];
        const ssize_t size = ::readlink(entry.path().c_str(), target, sizeof target);
        if (size > 0 && std::string(target, static_cast<std::size_t>(size)).rfind(prefix, 0) == 0) {
            open.emplace_back(target, static_cast<std::size_t>(size));
        }
    }
    return open;
}

std::string TransferCommand(const std::string& cmd, const std::vector<std::string>& devices,
                            const std::string& local, const std::string& remote, const std::string& tag,
                            unsigned long blockSize) {
    Json::Value command;
    command["cmd"] = cmd;
    for (const auto& guid : devices) {
        command["device"].append(guid);
    }
    command["local"] = local;
    command["remote"] = remote;
    command["tag"] = tag;
    if (blockSize != 0) {
        command["blocksize"] = static_cast<Json::UInt64>(blockSize);
    }
    return CompactJson(command);
}

bool IsDoneLine(const Json::Value& line) { return line["event"] == "sendfile" || line["event"] == "recvfile"; }

NodeProcess::Match DoneLine(const std::string& tag) {
    return [tag](const Json::Value& line) { return IsDoneLine(line) && line["tag"] == tag; };
}

std::vector<Json::Value> LinesOf(const NodeProcess& node, const std::string& event) {
    std::vector<Json::Value> found;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (const auto& text : node.Lines()) {
        Json::Value line;
        std::string errors;
        if (reader->parse(text.data(), text.data() + text.size(), &line, &errors) && line["event"] == event) {
            found.push_back(line);
        }
    }
    return found;
}

std::vector<Json::Value> DoneLines(const NodeProcess& node) {
    std::vector<Json::Value> found = LinesOf(node, "sendfile");
    for (auto& line : LinesOf(node, "recvfile")) {
        found.push_back(std::move(line));
    }
    return found;
}

std::map<std::string, std::vector<Json::Value>> AwaitDones(NodeProcess& node, std::size_t total,
                                                           std::chrono::milliseconds deadline) {
    // Counted in every line read, taken or not: an ending may have come before the caller's
    // last wait passed over it.
    const auto enough = [&node, total] {
        const auto& lines = node.Lines();
        const auto done = [](const std::string& line) {
            return line.find(R"("event":"sendfile")") != std::string::npos ||
                   line.find(R"("event":"recvfile")") != std::string::npos;
        };
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), done)) >= total;
    };
    if (!enough()) {
        node.Await([&](const Json::Value&) { return enough(); }, deadline);
    }
    // In the order they came, whichever command they end.
    std::map<std::string, std::vector<Json::Value>> dones;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (const auto& text : node.Lines()) {
        Json::Value line;
        std::string errors;
        if (reader->parse(text.data(), text.data() + text.size(), &line, &errors) && IsDoneLine(line)) {
            dones[line["tag"].asString()].push_back(line);
        }
    }
    return dones;
}

std::string TreeAllowingParentPaths(const TempDir& dir) {
    Json::Value tree;
    std::string errors;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const std::string text = ReadFile(kSampleTreeFile);
    if (!reader->parse(text.data(), text.data() + text.size(), &tree, &errors)) {
        ADD_FAILURE() << "sample tree unreadable: " << errors;
    }
    tree["configuration"]["network"]["rules"]["security"]["allowparentpaths"][".value"] = true;
    const std::string file = dir.File("parent-paths-tree.json");
    WriteFile(file, CompactJson(tree));
    return file;
}

std::vector<std::string> StoringDeviceOptions(const std::string& name, const std::string& guid,
                                              unsigned short port, const std::string& root,
                                              std::vector<std::string> more) {
    // The runner's own tree: it allows no parent paths, as a node does by default.
    std::vector<std::string> arguments{"--guid", guid, "--listen", "127.0.0.1:" + std::to_string(port)};
    if (std::find(more.begin(), more.end(), "--storage-root") == more.end()) {
        arguments.insert(arguments.end(), {"--storage-root", root});
    }
    arguments.insert(arguments.end(), more.begin(), more.end());
    return Options("device", name, std::move(arguments));
}

TransferNodes::TransferNodes(const std::string& tag, std::vector<std::string> deviceMore,
                             std::vector<std::string> controllerMore, bool secondDevice)
    : space(tag),
      place(space.Made() ? space.Name() : ""),
      deviceOptions(StoringDeviceOptions("amp1", kAmp, 4197, deviceRoot.Path().string(), std::move(deviceMore))),
      device(std::make_unique<Node>(deviceOptions, place)),
      second(secondDevice ? std::make_unique<Node>(
                                StoringDeviceOptions("amp2", kAmp2, 4199, secondRoot.Path().string()), place)
                          : nullptr),
      controller([&] {
          controllerMore.insert(controllerMore.end(), {"--transfer-interval", "50"});
          return ControllerOptions(false, "ctl1", 4198, std::move(controllerMore));
      }(),
                 place) {}

bool TransferNodes::Connect() {
    if (Device().AwaitEvent("listenerAdded").isNull() || !ConnectTo(Controller(), "127.0.0.1", 4197, kAmp, false)) {
        return false;
    }
    return !second || (!second->process.AwaitEvent("listenerAdded").isNull() &&
                       ConnectTo(Controller(), "127.0.0.1", 4199, kAmp2, false));
}

void TransferNodes::RestartDevice() {
    device.reset();
    device = std::make_unique<Node>(deviceOptions, place);
}

}  // namespace ZelkorTest
