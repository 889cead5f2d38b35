// The errors of the signature library. Every check reports a refusal by throwing one of these; the
// callers (the manifest authentication, gwmtool) catch them at their boundary and turn them into
// result codes. The kinds are those a caller must tell apart.
#pragma once

#include <stdexcept>
#include <string>

namespace signature {

// Any failure of the library; thrown as such for what fits no kind below (out of memory inside
// OpenSSL, a root certificate that does not load).
class error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The bytes are not what they claim to be: no DER signed-data, no signer, a guard file that does
// not parse.
class bad_data_error : public error {
public:
    using error::error;
};

// The signed-data is well formed but its signature does not cover these bytes.
class bad_sig_error : public error {
public:
    using error::error;
};

// The signer's own certificate is not acceptable: expired, not yet valid, without the trusted
// organisational unit, or missing from the signature.
class bad_cert_error : public error {
public:
    using error::error;
};

// The signer's certificate does not chain to the trusted root.
class bad_chain_error : public error {
public:
    using error::error;
};

// A file whose digest no accepted guard file lists.
class not_listed_error : public error {
public:
    using error::error;
};

}  // namespace signature
