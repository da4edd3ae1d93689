#pragma once
// A device-state object for tests and fuzz drivers whose firmware update answers as the
// caller says (by default it succeeds); its state and preset texts are "{}" and it applies
// no network settings. It keeps the arguments of every update asked of it.
//
// Threads: UpdateFirmware and the readers may run on different threads.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "device/IDeviceState.h"

namespace ZelkorTest {

class FirmwareHost final : public Zelkor::IDeviceState {
public:
    using Update = std::function<bool(std::string& error, const std::string& arguments)>;

    explicit FirmwareHost(Update update = [](std::string&, const std::string&) { return true; })
        : _update(std::move(update)) {}

    std::string GetDeviceStateText() override { return "{}"; }
    std::string GetPresetInfo() override { return "{}"; }
    bool ApplyNetworkSettings(const std::string&, const std::string&, const std::string&, const std::string&,
                              bool&) override {
        return false;
    }
    bool UpdateFirmware(std::string& error, std::string arguments) override {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _given.push_back(arguments);
        }
        ++updates;
        return _update(error, arguments);
    }

    std::vector<std::string> Given() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _given;
    }
    std::atomic<int> updates{0};

private:
    const Update _update;
    mutable std::mutex _mutex;
    std::vector<std::string> _given;
};

}  // namespace ZelkorTest
