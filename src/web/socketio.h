#pragma once

#include "error.h"

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

// An accepted connection's socket, the same calls on POSIX and Windows.
namespace orvendal::web {

// Waits up to `timeout` until the socket can be read (or written); false on a timeout, an error
// or a socket shut down.
bool waitSocket(socket_t sock, bool forWriting, std::chrono::milliseconds timeout);

// What recv and send do, without SIGPIPE: bytes moved, 0 at the peer's end, negative on failure.
long receiveSome(socket_t sock, char* data, std::size_t size);
long sendSome(socket_t sock, const char* data, std::size_t size);

// Ends the connection: nothing more is sent or read, and the socket is closed.
void closeSocket(socket_t sock);

// Shuts the connection down without closing the socket: a wait on it returns at once. Safe from
// another thread while the owner still uses the socket.
void shutDownSocket(socket_t sock);

// Sends `response` as far as it goes without waiting, then closes the socket: the answer to a
// connection past the limit, which must cost nothing.
void refuseSocket(socket_t sock, std::string_view response);

// Lowers the calling thread's scheduling priority: a flood of requests then takes the CPU
// only when the watcher's own threads leave it.
void yieldToTheWatcher();

// Why the last bind failed, its number and words for the person who chose the address.
Error bindFailure();

// The numeric address and port of the socket's own end, or of its peer's.
void socketAddress(socket_t sock, bool peer, std::string& ip, int& port);

} // namespace orvendal::web
