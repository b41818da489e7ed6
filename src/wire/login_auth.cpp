#include "wire/login_auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <vector>

namespace velmora::wire {

namespace {

Proof Hmac(std::string_view password, std::string_view label, const Nonce& first, const Nonce& second,
           std::string_view user) {
    std::vector<uint8_t> msg;
    msg.reserve(label.size() + 1 + 2 * kNonceSize + 1 + user.size());
    msg.insert(msg.end(), label.begin(), label.end());
    msg.push_back(0);
    msg.insert(msg.end(), first.begin(), first.end());
    msg.insert(msg.end(), second.begin(), second.end());
    size_t userLength = user.size() > kMaxUserName ? kMaxUserName : user.size();
    msg.push_back(uint8_t(userLength));
    msg.insert(msg.end(), user.begin(), user.begin() + userLength);

    Proof out{};
    unsigned int outLength = 0;
    // An empty key is valid HMAC input; OpenSSL wants a non-null pointer for it.
    static const unsigned char kEmpty = 0;
    const void* key = password.empty() ? static_cast<const void*>(&kEmpty) : password.data();
    HMAC(EVP_sha256(), key, static_cast<int>(password.size()), msg.data(), msg.size(), out.data(), &outLength);
    return out;
}

}  // namespace

Proof ComputeClientProof(std::string_view password, const Nonce& serverNonce, const Nonce& clientNonce,
                         std::string_view user) {
    return Hmac(password, "VLNX-LOGIN-CLIENT-1", serverNonce, clientNonce, user);
}

Proof ComputeCameraProof(std::string_view password, const Nonce& clientNonce, const Nonce& serverNonce,
                         std::string_view user) {
    return Hmac(password, "VLNX-LOGIN-CAMERA-1", clientNonce, serverNonce, user);
}

bool ProofsEqual(const Proof& a, const Proof& b) { return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0; }

bool RandomBytes(uint8_t* out, size_t length) { return RAND_bytes(out, static_cast<int>(length)) == 1; }

}  // namespace velmora::wire
