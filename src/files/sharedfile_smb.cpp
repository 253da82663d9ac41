// The SMB layer's entry points: one client for the process (smbclient.h), which opens files
// (smbopener.h) that are then read through it (smbfileaccess.h).
#include "smbclient.h"
#include "smbfile.h"
#include "smbopener.h"

namespace orvendal::files {

void useCredentialsFile(const std::string& path) {
    smb::SmbClient& client = smb::SmbClient::instance();
    const std::lock_guard lock(client.mutex);
    client.useCredentialsFile(path);
}

void setPasswordPrompt(PasswordPrompt prompt) {
    smb::SmbClient::instance().setPrompt(std::move(prompt));
}

std::unique_ptr<FileAccess> openSmbFile(const std::string& url) {
    return smb::SmbOpener(smb::SmbClient::instance(), url).open();
}

void requireSmbRegularFile(const std::string& url) {
    smb::SmbOpener(smb::SmbClient::instance(), url).requireRegularFile();
}

} // namespace orvendal::files