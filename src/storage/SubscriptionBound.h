#pragma once
// The bound on what one connection may hold subscribed at a device, each kind apart: its
// value subscriptions (path-and-format pairs), its polled targets (over all its polled
// subscriptions) and its event names. Without it a peer grows a device's tables without
// end: every format text ("number(1)", "number(2)", ...) is a subscription of its own and
// adds a value to every publish. Past the bound a subscribe entry is answered "Too many
// entries" ("storage/RequestBound.h") and not subscribed, a "subscribepoll" is refused
// whole with that text, and a "subscribeevent" fails.
//
// Threads: the setting is atomic; it may be changed at any time, and a request under way
// keeps the bound it started with.

#include <cstddef>

namespace Zelkor {

constexpr std::size_t kDefaultMaxSubscriptionsPerConnection = 10000;

// What one connection may hold of each kind; kDefaultMaxSubscriptionsPerConnection until set.
std::size_t MaxSubscriptionsPerConnection();
// At least 1.
void SetMaxSubscriptionsPerConnection(std::size_t count);

}  // namespace Zelkor
