// The certificate material carried inside the program: the CA every phone
// certificate must chain to, the client certificate with its encrypted key,
// and a phone certificate with its key for simulators of the phone.
#pragma once

#include <cstddef>

enum cert_id {
    CERT_CA = 0,          // CA certificate, PEM
    CERT_CLIENT = 1,      // client certificate: text dump, then its PEM block
    CERT_CLIENT_KEY = 2,  // client RSA key, PEM, AES-256-CBC under CERT_KEY_PASSPHRASE
    CERT_PHONE = 3,       // a phone's server certificate, PEM (simulators only)
    CERT_PHONE_KEY = 4,   // its RSA key, PEM, unencrypted (simulators only)
};

// Pass phrase of CERT_CLIENT_KEY.
constexpr const char *CERT_KEY_PASSPHRASE = "Dazirid@8260";

struct cert_blob {
    const unsigned char *data;  // not terminated
    size_t size;
};

// The bytes of one item; {nullptr, 0} for an unknown id.
cert_blob certs_get(cert_id id);
