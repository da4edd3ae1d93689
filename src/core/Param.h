#pragma once
// The closed vocabulary of message parameter names. The numbers are part of the
// protocol's internal contract: tables elsewhere are keyed by them.
//
// The lookup tables are built once, before first use, and never change; they may be
// read from any thread.

#include <map>
#include <string>
#include <string_view>

namespace Zelkor {

enum class Param : int {
    arguments = 0, batchid, blockno, blocksize, canceled, category, checksum, classname, code,
    command, container, creationdate, current, data, defaultargs, descriptorlocation,
    descriptorversion, devicelisttime, devicestate, dhcp, inclusions, endidentify, endpoints,
    error, event, exclusions, isdirty, family, fingerprint, files, format, gateway, guid, ip,
    ipv4, ipv6, isflags, label, length, level, locatestate, locating, location, mac,
    manufacturer, mark, marker, message, mode, model, modifieddate, muteparam, name, new_,
    params, path, port, priority, protocolversion, reason, readonly, replyport, requestid,
    result, serialnumber, service, size, status, targets, timeout, type, value, seqno, state,
    subnetmask, time, version, writeonly,
    unknown = 78
};

constexpr int kParamCount = 78;

// Name of a parameter; the empty text for any value outside 0..77.
const char* ParamName(Param p);
// Case-insensitive lookup of a name (the text is lower-cased, not trimmed); 78 when absent.
Param ParamFromName(std::string_view name);

// Exact-key tables: discovery replies are looked up here by their lower-case keys.
const std::map<std::string, Param>& ParamFromString();
const std::map<Param, std::string>& StringFromParam();

}  // namespace Zelkor
