#pragma once

// Login proofs of the camera protocol (docs/network-protocol.md, "Login").
//
//   client proof = HMAC-SHA256(key = password,
//                              "VLNX-LOGIN-CLIENT-1" || 0x00 || server nonce || client nonce
//                              || u8 user length || user)
//   camera proof = HMAC-SHA256(key = password,
//                              "VLNX-LOGIN-CAMERA-1" || 0x00 || client nonce || server nonce
//                              || u8 user length || user)
//
// The password itself never leaves the process. Thread-safe free functions.

#include <cstddef>
#include <string_view>

#include "wire/wire.h"

namespace velmora::wire {

Proof ComputeClientProof(std::string_view password, const Nonce& serverNonce, const Nonce& clientNonce,
                         std::string_view user);
Proof ComputeCameraProof(std::string_view password, const Nonce& clientNonce, const Nonce& serverNonce,
                         std::string_view user);
// Constant-time comparison.
bool ProofsEqual(const Proof& a, const Proof& b);
// Fills `out` with cryptographically random bytes; returns false if the generator failed.
bool RandomBytes(uint8_t* out, size_t length);

}  // namespace velmora::wire
