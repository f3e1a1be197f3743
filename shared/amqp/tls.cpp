// TLS sockets on librabbitmq's OpenSSL socket; see tls.h. librabbitmq checks the peer itself
// after the handshake and reports only a status, so a verify callback keeps OpenSSL's own
// result, per thread: a connection is opened on one thread from start to end.
#include "amqp/tls.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

struct Seen {
    std::string failure;     // the first certificate check that failed, with the certificate
    std::string dnsNames;    // of the broker's own certificate
    std::string alert;       // the first alert the broker sent, but for a close
    bool certAsked = false;  // the broker asked for a client certificate we do not have
};
thread_local Seen seen;

std::string DnsNames(X509* cert) {
    auto* names =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    std::string list;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type != GEN_DNS) continue;
        const auto* text = reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName));
        list += (list.empty() ? "" : ", ") +
                std::string(text, static_cast<size_t>(ASN1_STRING_length(name->d.dNSName)));
    }
    GENERAL_NAMES_free(names);
    return list;
}

// Only watches: the verify mode stays librabbitmq's (none), which judges the result itself.
int Watch(int ok, X509_STORE_CTX* store) {
    X509* cert = X509_STORE_CTX_get_current_cert(store);
    const int depth = X509_STORE_CTX_get_error_depth(store);
    if (depth == 0 && cert) seen.dnsNames = DnsNames(cert);
    if (!ok && seen.failure.empty()) {
        char subject[256] = "";
        if (cert) X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
        seen.failure = std::string(X509_verify_cert_error_string(X509_STORE_CTX_get_error(store))) +
                       " (certificate " + subject + ")";
    }
    return ok;
}

// A broker that refuses our certificate says so by an alert, which may come only after the
// handshake, at the login (unless a reset takes it first); the library drops the error.
void WatchAlerts(const SSL* /*ssl*/, int where, int alert) {
    if ((where & SSL_CB_READ_ALERT) && (alert & 0xff) != SSL3_AD_CLOSE_NOTIFY &&
        seen.alert.empty()) {
        const std::string text = SSL_alert_desc_string_long(alert);
        // OpenSSL 3.0 has no text for TLS 1.3's own alerts (116: certificate required).
        seen.alert = text == "unknown" ? "number " + std::to_string(alert & 0xff) : text;
    }
}

// Called only when we have no certificate to send: one that is required shows as a broken
// connection at the login, often without the alert, which a reset takes with it.
int NoCertificate(SSL* /*ssl*/, X509** /*cert*/, EVP_PKEY** /*key*/) {
    seen.certAsked = true;
    return 0;
}

// Why `path` cannot be read, or "" when it can.
std::string Unreadable(const std::string& path) {
    FILE* file = fopen(path.c_str(), "r");
    if (!file) return path + ": " + strerror(errno);
    fclose(file);
    return std::string();
}

// OpenSSL's latest error on this thread, or "".
std::string OpenSslError() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? reason : "";
}

// Loads what `tls` names into the socket's context; false with `detail`.
bool Configure(amqp_socket_t* socket, const BrokerTls& tls, std::string* detail) {
    const std::string keyFile = tls.key_file.empty() ? tls.cert_file : tls.key_file;
    for (const std::string* file : {&tls.ca_file, &tls.cert_file, &keyFile}) {
        *detail = file->empty() ? std::string() : Unreadable(*file);
        if (!detail->empty()) return false;
    }
    auto* context = static_cast<SSL_CTX*>(amqp_ssl_socket_get_context(socket));
    // librabbitmq 0.11 loads no CA of its own: without a file, the system's store.
    const int status =
        tls.ca_file.empty()
            ? (SSL_CTX_set_default_verify_paths(context) == 1 ? AMQP_STATUS_OK
                                                              : AMQP_STATUS_SSL_ERROR)
            : amqp_ssl_socket_set_cacert(socket, tls.ca_file.c_str());
    if (status != AMQP_STATUS_OK) {
        *detail = "cannot load the CA certificates " +
                  (tls.ca_file.empty() ? std::string("of the system") : tls.ca_file) + ": " +
                  OpenSslError();
        return false;
    }
    if (!tls.cert_file.empty() &&
        amqp_ssl_socket_set_key(socket, tls.cert_file.c_str(), keyFile.c_str()) != AMQP_STATUS_OK) {
        *detail = "cannot load the client certificate " + tls.cert_file + " with key " + keyFile +
                  ": " + OpenSslError();
        return false;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, Watch);
    SSL_CTX_set_info_callback(context, WatchAlerts);
    SSL_CTX_set_client_cert_cb(context, NoCertificate);
    amqp_ssl_socket_set_verify_peer(socket, tls.verify ? 1 : 0);
    amqp_ssl_socket_set_verify_hostname(socket, tls.verify ? 1 : 0);
    return true;
}

}  // namespace

amqp_socket_t* AmqpNewSocket(amqp_connection_state_t conn, const BrokerTls& tls,
                             std::string* detail) {
    if (!tls.on) {
        amqp_socket_t* socket = amqp_tcp_socket_new(conn);
        if (!socket) *detail = "out of memory for a socket";
        return socket;
    }
    seen = Seen();
    ERR_clear_error();
    amqp_socket_t* socket = amqp_ssl_socket_new(conn);
    if (!socket) {
        *detail = "cannot make a TLS socket: " + OpenSslError();
        return nullptr;
    }
    return Configure(socket, tls, detail) ? socket : nullptr;
}

std::string AmqpTlsReason(int status, const std::string& host) {
    if (status == AMQP_STATUS_SSL_PEER_VERIFY_FAILED && !seen.failure.empty()) {
        return "the broker's certificate does not verify: " + seen.failure;
    }
    if (status == AMQP_STATUS_SSL_HOSTNAME_VERIFY_FAILED) {
        return "the broker's certificate does not name \"" + host +
               "\" (its DNS names: " + (seen.dnsNames.empty() ? "none" : seen.dnsNames) +
               "; addresses are not compared, name the broker by a DNS name)";
    }
    if (seen.certAsked) {
        return "the broker asked for a client certificate and none is given (tls_cert_file)";
    }
    if (!seen.alert.empty()) {
        return "the broker ended TLS with the alert \"" + seen.alert + "\"";
    }
    const std::string error = OpenSslError();
    return error.empty() ? std::string() : "TLS: " + error;
}
