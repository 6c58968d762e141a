#include "link/certs/certs.h"

// Arrays generated from the files of this folder at build time.
namespace certs_data {
extern const unsigned char ca[], client[], client_key[], phone[], phone_key[];
extern const size_t ca_size, client_size, client_key_size, phone_size, phone_key_size;
}  // namespace certs_data

cert_blob certs_get(cert_id id) {
    using namespace certs_data;
    switch (id) {
        case CERT_CA:
            return {ca, ca_size};
        case CERT_CLIENT:
            return {client, client_size};
        case CERT_CLIENT_KEY:
            return {client_key, client_key_size};
        case CERT_PHONE:
            return {phone, phone_size};
        case CERT_PHONE_KEY:
            return {phone_key, phone_key_size};
    }
    return {nullptr, 0};
}
