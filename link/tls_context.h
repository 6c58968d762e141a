// The TLS client context for the phone: client certificate and key, the CA
// the phone must chain to, peer verification.
#pragma once

#include <openssl/ssl.h>

// Deepest chain the verify callback accepts; deeper chains fail with
// "certificate chain too long".
constexpr int TLS_VERIFY_MAX_DEPTH = 10;
constexpr int TLS_VERIFY_DEPTH = 11;

// Creates the context into *out: TLS 1.0 and newer, the embedded client
// certificate, key and CA, peer verification with tls_verify_callback.
// 0, or -1 after logging why (*out may then hold a context the caller frees).
int tls_context_create(SSL_CTX **out);

// Logs each certificate of the phone's chain; always lets the handshake go
// on (the verdict is taken from SSL_get_verify_result afterwards).
int tls_verify_callback(int preverify_ok, X509_STORE_CTX *store);
