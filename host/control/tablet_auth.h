#pragma once
// TabletAuthenticator: who may use the host.
//
// One per session pool, shared by every slot: it holds the trusted-device
// store, the host identity and the memory of recently accepted auth v1
// Hellos. For each Hello that passed the version check, the tablet limit and
// the handshake start it establishes the session keys in the connection's
// key state and decides:
//
// - auth v1: both session keys from the ECDH secret, then the Hello's
//   pairing proof (challenge = the tablet's ephemeral key) against the stored
//   credential or the current pairing code;
// - auth v2: the session key bound to the signed handshake transcript; the
//   tablet proves its credential afterwards with an encrypted AuthProof.
//
// A tablet without a valid proof is asked to pair (the code is shown on the
// PC, never sent) or refused while pairing is impossible.
//
// An auth v1 proof covers only the tablet's own ephemeral key, so a Hello
// captured on the network would verify again; accepted (client_id,
// ephemeral key) pairs are remembered and a repeat is refused.

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "host/control/protocol_handler.h"
#include "host/security/control_key_state.h"
#include "host/security/device_trust.h"
#include "host/security/host_identity.h"
#include "orvane_protocol_v1.pb.h"

namespace orvane {

struct TabletAuthCallbacks {
  // A tablet must pair: show the code on the PC.
  std::function<void(const std::string& client_name, const std::string& code)> pairing_code_requested;
  // A tablet paired with a code; the store now holds trusted_devices.
  std::function<void(const std::string& client_name, size_t trusted_devices)> tablet_paired;
};

class TabletAuthenticator {
 public:
  // Accepted auth v1 Hellos remembered against replays.
  static constexpr size_t kRememberedHellos = 256;

  // identity may be null or unavailable: auth v2 tablets are then refused.
  TabletAuthenticator(std::shared_ptr<security::DeviceTrust> trust,
                      std::shared_ptr<const security::HostIdentity> identity);

  void SetCallbacks(TabletAuthCallbacks callbacks);

  // The HelloAuthenticator of every slot's protocol handler.
  HelloAuthDecision AuthenticateHello(const protocol::v1::Hello& hello, security::ControlKeyState& keys);
  // The AuthProof of an auth v2 tablet (ControlSecurityHooks).
  void HandleAuthProof(const protocol::v1::AuthProof& proof, bool encrypted, ProtocolHandler& handler);

  // Installs both on a handler.
  void Attach(ProtocolHandler& handler);

  security::DeviceTrust& trust() { return *trust_; }
  std::shared_ptr<security::DeviceTrust> shared_trust() { return trust_; }
  bool IdentityAvailable() const;

 private:
  HelloAuthDecision AuthenticateV1(const protocol::v1::Hello& hello, security::ControlKeyState& keys);
  HelloAuthDecision AuthenticateV2(const protocol::v1::Hello& hello, security::ControlKeyState& keys);
  // The answer to a tablet without a valid proof.
  protocol::v1::AuthResult DecidePairing(const std::string& client_name);
  // Stores the device after a verified proof and raises the paired
  // notification when a code was used.
  void TrustVerifiedDevice(const std::string& client_id, const std::string& client_name,
                           const security::PairingProofResult& verified);
  // False when the pair was accepted before; records it otherwise.
  bool RememberHello(const std::string& client_id, const std::string& ephemeral_key);
  bool SeenHello(const std::string& client_id, const std::string& ephemeral_key);

  std::shared_ptr<security::DeviceTrust> trust_;
  std::shared_ptr<const security::HostIdentity> identity_;

  std::mutex callbacks_mu_;
  TabletAuthCallbacks callbacks_;

  std::mutex hellos_mu_;
  std::deque<std::string> hello_order_;  // digests, oldest first
  std::set<std::string> hello_set_;
};

}  // namespace orvane
