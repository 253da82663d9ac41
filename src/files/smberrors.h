#pragma once

#include "error.h"
#include "smburl.h"

#include <chrono>
#include <string>

// What the SMB layer's classes share: how long a call may wait, how libsmbclient's errno values
// are read, and the errors they become. Internal to the SMB layer.
namespace orvendal::files::smb {

using Clock = std::chrono::steady_clock;

// How long a call waits for a server that stopped answering: long enough for a slow link, short
// enough that the window is not frozen for long when the network goes.
constexpr int kTimeoutMs = 5000;
constexpr auto kTimeout = std::chrono::milliseconds(kTimeoutMs);

// Another session's lock on a byte of the range: Samba and Windows answer a READ with
// STATUS_FILE_LOCK_CONFLICT, which libsmbclient reports as EINVAL, or with
// STATUS_LOCK_NOT_GRANTED, reported as EACCES. A tree connection the server has closed also
// gives EINVAL: confirmLocksSeen() tells the two apart.
bool isLockConflict(int err);

// The server or the way to it is gone; libsmbclient keeps a dead connection cached until told.
bool isConnectionLoss(int err);

// libsmbclient answers EACCES both for a refused log-on and for a refused file (measured
// against Samba 4.17, with and without the anonymous fallback).
bool isRefusal(int err);

Error smbError(std::error_code code, const std::string& what, const SmbLocation& location);
Error connectionError(int err, const SmbLocation& location);
Error loginRefusedError(const SmbLocation& location);

bool equalIgnoringCase(const std::string& a, const std::string& b);
std::string lowered(std::string text);

// A name that does not resolve: libsmbclient says EINVAL, as for much else.
bool serverNameUnknown(const std::string& server);

// The server and port, as libsmbclient's connections are told apart.
std::string serverKey(const SmbLocation& location);

// Shuts down this process's TCP connections to the server: its address where the URL gives
// one, and the SMB port (445 or 139 by default). libsmbclient keeps its sockets to itself, and
// a request on a shut socket fails at once instead of waiting out its time-out.
void shutDownConnections(const std::string& server, int port);

} // namespace orvendal::files::smb
