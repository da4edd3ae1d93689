#include "PublishesOwed.h"

#include <algorithm>

#include "RunClock.h"

namespace ZelkorSoak {
namespace {

// How long a device's changes are kept to be found by the values publishes carry: a
// publish carrying an older value settles nothing still owed.
constexpr double kKept = 2 * PublishesOwed::kBound;

}  // namespace

bool PublishesOwed::through(const Key& key, const Subscription& subscription, const std::string& node) {
    return std::get<1>(key) == node || (!subscription.via.empty() && subscription.via == node);
}

bool PublishesOwed::forgiven(const Key& key, const Subscription& subscription, const Change& change) const {
    for (const auto& fault : _faults) {
        if (through(key, subscription, fault.node) && change.to >= fault.from && change.from <= fault.to + kSettle) {
            return true;
        }
    }
    return false;
}

void PublishesOwed::settle(Subscription& subscription, unsigned long serial) {
    auto& owed = subscription.owed;
    owed.erase(
        std::remove_if(owed.begin(), owed.end(), [serial](const Change& each) { return each.serial <= serial; }),
        owed.end());
}

void PublishesOwed::forgetNotDue(Subscription& subscription, double at) {
    auto& owed = subscription.owed;
    owed.erase(std::remove_if(owed.begin(), owed.end(), [at](const Change& change) { return change.to + kBound > at; }),
               owed.end());
}

void PublishesOwed::end(Subscription& subscription, double at) {
    subscription.state = Subscription::State::Ended;
    subscription.endedAt = at;
    forgetNotDue(subscription, at);
}

void PublishesOwed::Subscribing(const std::string& sub, const std::string& via, const std::string& dev,
                                const std::string& path) {
    Subscription& subscription = _subscriptions[{sub, dev, path}];
    subscription.via = via;
    subscription.owedUntil = kNever;
    if (subscription.state != Subscription::State::Standing) {
        subscription.state = Subscription::State::Asked;
    }
}

void PublishesOwed::Subscribed(const std::string& sub, const std::string& dev, const std::string& path, bool ok,
                               double at) {
    const auto found = _subscriptions.find({sub, dev, path});
    if (found == _subscriptions.end()) {
        return;
    }
    Subscription& subscription = found->second;
    // A success read after the loss of its connection was answered before it: gone too.
    if (subscription.state == Subscription::State::Ended) {
        return;
    }
    if (!ok) {
        end(subscription, at);
    } else if (subscription.state == Subscription::State::Asked) {
        subscription.state = Subscription::State::Standing;
        subscription.since = at;
    }
}

void PublishesOwed::Unsubscribing(const std::string& sub, const std::string& dev, const std::string& path,
                                  double at) {
    const auto found = _subscriptions.find({sub, dev, path});
    if (found == _subscriptions.end() || found->second.state != Subscription::State::Standing) {
        return;
    }
    Subscription& subscription = found->second;
    subscription.owedUntil = std::min(subscription.owedUntil, at - kMargin);
    auto& owed = subscription.owed;
    owed.erase(std::remove_if(owed.begin(), owed.end(),
                              [&subscription](const Change& change) { return change.to >= subscription.owedUntil; }),
               owed.end());
}

void PublishesOwed::Unsubscribed(const std::string& sub, const std::string& dev, const std::string& path,
                                 double at) {
    const auto found = _subscriptions.find({sub, dev, path});
    if (found != _subscriptions.end() && found->second.state != Subscription::State::Ended) {
        // What it was owed before its unsubscribe stays owed.
        found->second.state = Subscription::State::Ended;
        found->second.endedAt = at;
    }
}

void PublishesOwed::Unknown(const std::string& sub, const std::string& dev, const std::string& path, double at) {
    const auto found = _subscriptions.find({sub, dev, path});
    if (found != _subscriptions.end() && found->second.state != Subscription::State::Ended) {
        end(found->second, at);
        found->second.state = Subscription::State::Unknown;
    }
}

void PublishesOwed::SubscribeTimedOut(const std::string& sub, const std::string& dev, const std::string& path,
                                      double at) {
    const auto found = _subscriptions.find({sub, dev, path});
    if (found != _subscriptions.end() && found->second.state != Subscription::State::Standing) {
        Unknown(sub, dev, path, at);
    }
}

void PublishesOwed::Lost(const std::string& sub, const std::string& dev, double at) {
    for (auto& [key, subscription] : _subscriptions) {
        if (std::get<0>(key) == sub && std::get<1>(key) == dev &&
            subscription.state != Subscription::State::Ended) {
            end(subscription, at);
        }
    }
}

void PublishesOwed::FaultBegins(const std::string& node, bool ends, double at) {
    _faults.push_back({node, at, kNever});
    for (auto& [key, subscription] : _subscriptions) {
        if (!through(key, subscription, node)) {
            continue;
        }
        forgetNotDue(subscription, at);
        if (ends && subscription.state != Subscription::State::Ended) {
            end(subscription, at);
        }
    }
}

void PublishesOwed::FaultEnds(const std::string& node, double at) {
    for (auto& fault : _faults) {
        if (fault.node == node && fault.to == kNever) {
            fault.to = at;
        }
    }
}

void PublishesOwed::Changed(const std::string& dev, const std::string& path, const std::string& value, double from,
                            double to) {
    const Change change{++_serial, value, from, to};
    auto& kept = _changes[{dev, path}];
    kept.push_back(change);
    while (kept.front().to < to - kKept) {
        kept.pop_front();
    }
    for (auto& [key, subscription] : _subscriptions) {
        if (std::get<1>(key) != dev || std::get<2>(key) != path) {
            continue;
        }
        // Published already: this change and, as one source makes a path's changes in turn,
        // every one before it.
        const auto& heard = subscription.heard;
        if (std::any_of(heard.begin(), heard.end(),
                        [&](const auto& each) { return each.first == value && each.second >= from; })) {
            settle(subscription, change.serial);
        } else if (subscription.state == Subscription::State::Standing && from >= subscription.since &&
                   to < subscription.owedUntil && !forgiven(key, subscription, change)) {
            subscription.owed.push_back(change);
        }
    }
}

PublishesOwed::Kind PublishesOwed::Published(const std::string& sub, const std::string& dev,
                                             const std::string& path, const std::string& value, double at) {
    const auto found = _subscriptions.find({sub, dev, path});
    if (found == _subscriptions.end()) {
        return Kind::Foreign;
    }
    Subscription& subscription = found->second;
    subscription.heard.emplace_back(value, at);
    while (subscription.heard.front().second < at - kKept) {
        subscription.heard.pop_front();
    }
    const auto kept = _changes.find({dev, path});
    if (kept != _changes.end()) {
        const auto change = std::find_if(kept->second.rbegin(), kept->second.rend(),
                                         [&value](const Change& each) { return each.value == value; });
        if (change != kept->second.rend()) {
            settle(subscription, change->serial);
        }
    }
    if (subscription.state != Subscription::State::Ended) {
        return Kind::Subscribed;
    }
    return at - subscription.endedAt <= kLate ? Kind::Late : Kind::Foreign;
}

std::vector<std::string> PublishesOwed::Missing(double now) {
    std::vector<std::string> missing;
    for (auto found = _subscriptions.begin(); found != _subscriptions.end();) {
        const auto& [sub, dev, path] = found->first;
        Subscription& subscription = found->second;
        while (!subscription.owed.empty() && subscription.owed.front().to + kBound <= now) {
            const Change& change = subscription.owed.front();
            missing.push_back(Stamp(now) + " " + sub + " from " + dev + ", " + path + " = " + change.value +
                              ", changed within " + Stamp(change.from) + " - " + Stamp(change.to) +
                              ", subscribed since " + Stamp(subscription.since) + ": no publish within " +
                              std::to_string(static_cast<int>(kBound)) + " s");
            subscription.owed.pop_front();
        }
        const bool done = subscription.state == Subscription::State::Ended && subscription.owed.empty() &&
                          now - subscription.endedAt > kLate;
        found = done ? _subscriptions.erase(found) : std::next(found);
    }
    return missing;
}

}  // namespace ZelkorSoak
