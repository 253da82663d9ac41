#include "tlschannel.h"

#include "error.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>

namespace orvendal::web {
namespace {

using std::chrono::milliseconds;

// The reason of OpenSSL's last failure, "error:0A000086:SSL routines::..." when it has none.
std::string openSslReason() {
    const unsigned long code = ::ERR_get_error();
    ::ERR_clear_error();
    char text[256] = "error desconocido";
    if (code != 0) {
        ::ERR_error_string_n(code, text, sizeof text);
    }
    return text;
}

class TlsChannel final : public Channel {
public:
    TlsChannel(socket_t sock, SSL* ssl) : Channel(sock), ssl_(ssl) {}
    ~TlsChannel() override {
        // close_notify, as far as the socket takes it; the connection ends either way.
        ::SSL_shutdown(ssl_);
        ::SSL_free(ssl_);
    }

    bool readable(milliseconds timeout) override {
        return ::SSL_has_pending(ssl_) == 1 || waitSocket(socket(), false, timeout);
    }
    long read(char* data, std::size_t size) override {
        const int got =
            ::SSL_read(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
        if (got > 0) {
            return got;
        }
        const bool end = ::SSL_get_error(ssl_, got) == SSL_ERROR_ZERO_RETURN;
        ::ERR_clear_error();
        return end ? 0 : -1;
    }
    long write(const char* data, std::size_t size) override {
        const int put =
            ::SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
        if (put > 0) {
            return put;
        }
        ::ERR_clear_error();
        return -1;
    }

private:
    SSL* ssl_;
};

class OpenSslAcceptor final : public TlsAcceptor {
public:
    explicit OpenSslAcceptor(SSL_CTX* context) : context_(context) {}
    ~OpenSslAcceptor() override { ::SSL_CTX_free(context_); }
    OpenSslAcceptor(const OpenSslAcceptor&) = delete;
    OpenSslAcceptor& operator=(const OpenSslAcceptor&) = delete;

    // The handshake runs non-blocking against one deadline: a client that sends its hello a
    // byte at a time cannot hold the connection for a read time-out per byte.
    std::unique_ptr<Channel> accept(socket_t sock, milliseconds limit) override {
        SSL* ssl = ::SSL_new(context_);
        if (ssl == nullptr || ::SSL_set_fd(ssl, sock) != 1) {
            ::SSL_free(ssl);
            ::ERR_clear_error();
            return nullptr;
        }
        const int flags = ::fcntl(sock, F_GETFL);
        ::fcntl(sock, F_SETFL, flags | O_NONBLOCK);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool done = false;
        for (;;) {
            const int result = ::SSL_accept(ssl);
            if (result == 1) {
                done = true;
                break;
            }
            const int error = ::SSL_get_error(ssl, result);
            const auto left =
                std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
            if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
                left <= milliseconds(0) || !waitSocket(sock, error == SSL_ERROR_WANT_WRITE, left)) {
                break;
            }
        }
        ::ERR_clear_error();
        ::fcntl(sock, F_SETFL, flags);
        if (!done) {
            ::SSL_free(ssl);
            return nullptr;
        }
        return std::make_unique<TlsChannel>(sock, ssl);
    }

private:
    SSL_CTX* context_;
};

} // namespace

std::shared_ptr<TlsAcceptor> loadTls(const std::string& certFile, const std::string& keyFile) {
    // OpenSSL writes with send() without MSG_NOSIGNAL: a client gone away must be a failed
    // write, not the end of the watcher.
    std::signal(SIGPIPE, SIG_IGN);
    SSL_CTX* context = ::SSL_CTX_new(::TLS_server_method());
    if (context == nullptr) {
        throw Error(errnoCode(EIO), "no se puede preparar TLS: " + openSslReason());
    }
    auto acceptor = std::make_shared<OpenSslAcceptor>(context);
    ::SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    ::SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    if (::SSL_CTX_use_certificate_chain_file(context, certFile.c_str()) != 1) {
        throw Error(errnoCode(EINVAL),
                    "no se puede leer el certificado " + certFile + ": " + openSslReason());
    }
    if (::SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        throw Error(errnoCode(EINVAL),
                    "no se puede leer la clave " + keyFile + ": " + openSslReason());
    }
    if (::SSL_CTX_check_private_key(context) != 1) {
        throw Error(errnoCode(EINVAL), "la clave " + keyFile + " no es la del certificado " +
                                           certFile + ": " + openSslReason());
    }
    return acceptor;
}

} // namespace orvendal::web
