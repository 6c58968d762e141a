// The phone's TLS server context: the phone certificate signed by the
// project's CA, and a client certificate required from the PC and verified
// against that CA. TLS 1.0 is admitted because the PC may speak nothing newer.
#pragma once

#include <openssl/ssl.h>

#include <string>

// 0 with a new context in *out, or -1 with the reason in *err.
int phone_sim_tls_context(SSL_CTX **out, std::string *err);

// OpenSSL's queued errors as one line (empties the queue).
std::string phone_sim_tls_errors();
