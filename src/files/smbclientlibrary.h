#pragma once

// libsmbclient, loaded at run time. It brings some 70 of Samba's libraries with it, which a
// monitor on a local station file never needs, so the programs do not link it:
// smbclientlibrary.cpp defines each smbc_* function that the SMB code calls as a forwarder into
// the library, loaded by the first of them. A new smbc_* call in the SMB code fails to link
// until it has a forwarder there too.
namespace orvendal::files {

// Loads libsmbclient once for the whole process, from any thread. Throws Error, with the advice
// to install the package, when it is missing or lacks a function we call; a later call tries
// again.
void requireSmbClientLibrary();

} // namespace orvendal::files
