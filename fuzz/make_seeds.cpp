// Writes the hand-made seed inputs of the network fuzz targets into
// <corpus>/<target>/seed-*.bin (existing seeds of the same names are
// replaced; other files stay). The layouts are the ones documented at the top
// of each <target>_fuzz.cpp.
//
//   fuzz_make_seeds <corpus folder>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/common/byte_order.h"
#include "host/control/protocol_handler.h"
#include "host/control/session_manager.h"
#include "host/security/key_agreement.h"
#include "host/security/secure_frame.h"
#include "orvane_protocol_v1.pb.h"

namespace orvane::fuzz {
namespace {

namespace fs = std::filesystem;
namespace pb = protocol::v1;

constexpr char kClientId[] = "tablet-7f3a";

fs::path g_root;
bool g_ok = true;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  const fs::path folder = g_root / target;
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path path = folder / ("seed-" + name + ".bin");
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out.good()) {
    std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
    g_ok = false;
  }
}

Bytes Serialize(const pb::ControlMessage& message) {
  std::string s;
  message.SerializeToString(&s);
  return Bytes(s.begin(), s.end());
}

Bytes Serialize(const pb::InputEvent& event) {
  std::string s;
  event.SerializeToString(&s);
  return Bytes(s.begin(), s.end());
}

Bytes Frame(const Bytes& payload) {
  Bytes out(4);
  StoreBe32(out.data(), static_cast<uint32_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A point on the curve in the 64-byte wire form, so that key derivations of
// Hello and KeyRotation succeed.
std::string ValidPublicKey() {
  static const std::string key = [] {
    security::EphemeralKeyPair pair;
    if (!pair.Generate()) return std::string(64, '\x11');
    return std::string(pair.public_key().begin(), pair.public_key().end());
  }();
  return key;
}

pb::ControlMessage Hello(const std::string& id = kClientId, const std::string& version = ProtocolHandler::kHostVersion,
                         uint32_t auth_version = 1, const std::string& key = ValidPublicKey()) {
  pb::ControlMessage m;
  pb::Hello* h = m.mutable_hello();
  h->set_client_id(id);
  h->set_client_name("Seed Tablet");
  h->set_app_version(version);
  h->set_protocol_version(1);
  h->set_ephemeral_public_key(key);
  h->set_directional_control_nonce(true);
  h->set_auth_version(auth_version);
  return m;
}

pb::ControlMessage Ping() {
  pb::ControlMessage m;
  m.set_sequence_id(2);
  m.mutable_ping()->set_send_timestamp_us(123456);
  return m;
}

pb::ControlMessage Capabilities() {
  pb::ControlMessage m;
  pb::CapabilityExchange* c = m.mutable_capability_exchange();
  c->add_supported_codecs(pb::VIDEO_CODEC_H264);
  c->add_supported_codecs(pb::VIDEO_CODEC_HEVC);
  c->add_supported_fps(60);
  c->add_supported_fps(120);
  c->mutable_audio()->set_opus_supported(true);
  c->mutable_input()->set_touch(true);
  c->mutable_input()->set_pen_pressure(true);
  c->mutable_preferred_resolution()->set_width(2560);
  c->mutable_preferred_resolution()->set_height(1600);
  pb::CodecCapability* hevc = c->add_codec_capabilities();
  hevc->set_codec(pb::VIDEO_CODEC_HEVC);
  hevc->set_max_width(3840);
  hevc->set_max_height(2160);
  hevc->set_max_fps(120);
  hevc->set_hardware_decode(true);
  c->set_display_orientation(pb::DISPLAY_ORIENTATION_LANDSCAPE);
  c->set_stream_resize_supported(true);
  c->set_max_fragments_per_frame(5);
  c->set_route_class("wifi_5ghz");
  return m;
}

std::vector<pb::ControlMessage> SessionMessages() {
  std::vector<pb::ControlMessage> all;
  pb::ControlMessage m;
  all.push_back(Capabilities());
  m.Clear(); m.mutable_start_stream()->set_session_id("s-1"); all.push_back(m);
  m.Clear(); m.mutable_set_quality_profile()->set_target_bitrate_kbps(9000);
  m.mutable_set_quality_profile()->set_target_fps(90); m.mutable_set_quality_profile()->set_codec(pb::VIDEO_CODEC_HEVC);
  all.push_back(m);
  m.Clear(); m.mutable_request_keyframe()->set_stream_id("s-1"); all.push_back(m);
  m.Clear(); m.mutable_set_audio_enabled()->set_enabled(true); all.push_back(m);
  m.Clear(); m.mutable_nack_request()->set_stream_type(1);
  for (uint32_t i = 0; i < 8; ++i) m.mutable_nack_request()->add_sequence_numbers(100 + i);
  all.push_back(m);
  m.Clear();
  pb::StatsReport* s = m.mutable_stats_report();
  s->set_rtt_ms(std::numeric_limits<float>::quiet_NaN());
  s->set_jitter_ms(std::numeric_limits<float>::infinity());
  s->set_packet_loss_pct(250.0f);
  s->set_receiver_drop_pct(-3.0f);
  s->set_route_class("Cellular!");
  s->set_drop_reasons(std::string(600, 'x'));
  all.push_back(m);
  m.Clear(); m.mutable_clipboard_update()->set_text("copied"); m.mutable_clipboard_update()->set_mime_type("text/plain");
  all.push_back(m);
  m.Clear(); m.mutable_select_monitor()->set_monitor_id("\\\\.\\DISPLAY1"); all.push_back(m);
  m.Clear(); m.mutable_monitor_list_request(); all.push_back(m);
  m.Clear(); m.mutable_display_orientation_update()->set_orientation(pb::DISPLAY_ORIENTATION_PORTRAIT); all.push_back(m);
  for (uint32_t i = 0; i < 5; ++i) {
    m.Clear();
    m.mutable_window_command()->set_action(i % 2 ? pb::WINDOW_ACTION_MOVE_BACK
                                                 : pb::WINDOW_ACTION_MOVE_FOREGROUND_TO_CLIENT_DISPLAY);
    m.mutable_window_command()->set_request_id(i + 1);
    all.push_back(m);
  }
  m.Clear(); m.mutable_set_video_paused()->set_paused(true); all.push_back(m);
  m.Clear(); m.mutable_first_frame_rendered()->set_session_id("s-1"); all.push_back(m);
  m.Clear(); m.mutable_start_file_transfer()->set_filename("a.txt"); all.push_back(m);
  m.Clear(); m.mutable_rekey_required()->set_reason("auth-failed"); all.push_back(m);
  all.push_back(Ping());
  m.Clear(); m.mutable_stop_stream()->set_session_id("s-1"); all.push_back(m);
  m.Clear(); m.mutable_session_terminate()->set_reason("user"); all.push_back(m);
  return all;
}

// ------------------------------------------------------------ targets

void FrameReaderSeeds() {
  const std::string t = "control_frame_reader";
  const Bytes hello = Frame(Serialize(Hello()));
  const Bytes ping = Frame(Serialize(Ping()));
  auto input = [](uint8_t flags, uint8_t segment, uint8_t arrived, const Bytes& stream) {
    return Cat({Bytes{flags, segment, arrived}, stream});
  };
  Bytes zero(4, 0);
  Bytes huge(4);
  StoreBe32(huge.data(), 1048577);
  Bytes over_peek(4);
  StoreBe32(over_peek.data(), 16385);
  const Bytes truncated(ping.begin(), ping.begin() + static_cast<std::ptrdiff_t>(ping.size() / 2));
  Bytes secure = Frame(Cat({Bytes{'O', 'V', 'D', '1', 1, 0, 0, 0, 0, 0, 0, 0, 7}, Bytes(20, 0xAB)}));

  Write(t, "frames", input(0, 0, 255, Cat({hello, ping})));
  Write(t, "frames-bytewise", input(0, 1, 3, Cat({hello, ping})));
  Write(t, "length-zero", input(0, 0, 255, Cat({ping, zero})));
  Write(t, "length-too-large", input(0, 0, 255, huge));
  Write(t, "truncated-reset", input(8, 7, 255, Cat({ping, truncated})));
  Write(t, "reconnect", input(1, 0, 255, Cat({hello, ping})));
  Write(t, "reconnect-other-id", input(1, 0, 255, Cat({Frame(Serialize(Hello("someone-else"))), ping})));
  Write(t, "reconnect-late", input(1 | 4, 0, 6, Cat({hello, ping})));
  Write(t, "reconnect-silent", input(1 | 4, 0, 0, hello));
  Write(t, "reconnect-closed", input(1, 0, 255, {}));
  Write(t, "reconnect-other-address", input(1 | 2, 0, 255, hello));
  Write(t, "reconnect-secure-first", input(1, 0, 255, Cat({secure, hello})));
  Write(t, "reconnect-over-peek-limit", input(1, 0, 255, Cat({over_peek, Bytes(64, 0x0A)})));
}

Bytes Rec(uint8_t shape, const Bytes& body) {
  Bytes record{shape};
  record.insert(record.end(), body.begin(), body.end());
  Bytes out;
  AppendRecord(&out, record);
  return out;
}

void PreauthSeeds() {
  const std::string t = "control_preauth";
  const Bytes hello = Serialize(Hello());
  Bytes junk_sealed = Cat({Bytes{0, 0, 0, 0, 0, 0, 0, 9}, Bytes(24, 0x5C)});  // after "OVD1" + flag
  Bytes keyed;
  keyed = Cat({keyed, Rec(0, hello)});
  for (int i = 0; i < 7; ++i) keyed = Cat({keyed, Rec(2 | (2 << 2), junk_sealed)});
  keyed = Cat({keyed, Rec(1, Cat({Bytes{0}, junk_sealed}))});  // plaintext wrapper
  Write(t, "hello-then-sealed", keyed);

  Write(t, "version-mismatch", Cat({Rec(0, Serialize(Hello(kClientId, "0.9.1"))), Rec(0, hello)}));
  pb::ControlMessage busy = Hello();
  busy.mutable_hello()->set_client_name("one tablet too many");
  Write(t, "busy", Cat({Rec(0, Serialize(busy)), Rec(3, hello)}));
  Write(t, "auth-v2", Rec(0, Serialize(Hello(kClientId, ProtocolHandler::kHostVersion, 2))));
  Write(t, "short-key-and-nul-id", Cat({Rec(0, Serialize(Hello(kClientId, ProtocolHandler::kHostVersion, 1,
                                                               std::string(32, '\x07')))),
                                        Rec(0, Serialize(Hello(std::string("tab\0x", 5))))}));
  Bytes before;
  for (const pb::ControlMessage& m : SessionMessages()) before = Cat({before, Rec(1 << 2, Serialize(m))});
  Write(t, "messages-before-hello", before);
}

// A post-auth record: shape, optional counter, body.
Bytes PostRec(uint8_t shape, const Bytes& body, uint64_t counter = 0) {
  Bytes record{shape};
  if (shape & 4) {
    uint8_t be[8];
    StoreBe64(be, counter);
    record.insert(record.end(), be, be + 8);
  }
  record.insert(record.end(), body.begin(), body.end());
  Bytes out;
  AppendRecord(&out, record);
  return out;
}

void PostauthSeeds() {
  const std::string t = "control_postauth";
  Bytes session{0};
  for (const pb::ControlMessage& m : SessionMessages()) session = Cat({session, PostRec(0, Serialize(m))});
  Write(t, "session", session);
  Bytes directional{1};
  for (const pb::ControlMessage& m : SessionMessages()) directional = Cat({directional, PostRec(0 | (3 << 4), Serialize(m))});
  Write(t, "session-directional", directional);

  const Bytes ping = Serialize(Ping());
  Write(t, "compat-promotion", Cat({Bytes{2}, PostRec(1, ping), PostRec(0, ping), PostRec(1, ping)}));

  pb::ControlMessage rotation;
  rotation.mutable_key_rotation()->set_next_epoch(4000000000ull);
  rotation.mutable_key_rotation()->set_ephemeral_public_key(ValidPublicKey());
  pb::ControlMessage ack;
  ack.mutable_key_rotation_ack()->set_next_epoch(4000000000ull);
  ack.mutable_key_rotation_ack()->set_accepted(true);
  pb::ControlMessage stale = rotation;
  stale.mutable_key_rotation()->set_next_epoch(5);
  stale.mutable_key_rotation()->set_ephemeral_public_key(std::string(32, '\x02'));
  Write(t, "key-rotation",
        Cat({Bytes{0}, PostRec(0, Serialize(rotation)), PostRec(2, ping), PostRec(0, Serialize(ack)),
             PostRec(2 | (13 << 4), ping), PostRec(0, Serialize(stale)), PostRec(0, ping)}));

  pb::ControlMessage proof;
  proof.mutable_auth_proof()->set_proof("proof-ok");
  Write(t, "auth-v2-again",
        Cat({Bytes{4 | 1}, PostRec(0, Serialize(Hello(kClientId, ProtocolHandler::kHostVersion, 2))),
             PostRec(0, Serialize(proof)), PostRec(0, ping)}));

  Write(t, "raw-and-replayed",
        Cat({Bytes{0}, PostRec(3, ping), PostRec(4, ping, 1000), PostRec(4, ping, 1000), PostRec(4, ping, 999),
             PostRec(4, ping, 0x8000000000000001ull), PostRec(0, ping)}));
  Write(t, "hello-refused-then-reconnect",
        Cat({Bytes{0}, PostRec(0, Serialize(Hello(kClientId, "9.9.9"))), PostRec(0, ping),
             PostRec(8, Serialize(Capabilities())), PostRec(0, ping)}));
}

void SecureFrameSeeds() {
  const std::string t = "secure_frame";
  crypto::AesGcm cipher;
  const Bytes hello{'h', 'e', 'l', 'l', 'o'};
  Write(t, "sealed-control", security::SealSecureFrame(cipher, FixedKey(), security::kNonceControl, 5, hello));
  Bytes flags = security::SealSecureFrame(cipher, FixedKey(), security::kNonceInput, 77, hello);
  flags[4] = 0x03;
  Write(t, "sealed-input-other-flags", flags);
  Write(t, "header-only", Bytes{'O', 'V', 'D', '1', 1, 0, 0, 0, 0, 0, 0, 0, 1});
  Write(t, "short", Bytes{'O', 'V', 'D'});
  Write(t, "material", Cat({Bytes{2, 0, 0, 0, 0, 0, 0, 1, 0}, Bytes(40, 0x42)}));
}

Bytes InputRec(uint8_t shape, const Bytes& extra, const Bytes& body) {
  Bytes record{shape};
  record.insert(record.end(), extra.begin(), extra.end());
  record.insert(record.end(), body.begin(), body.end());
  Bytes out;
  AppendRecord(&out, record);
  return out;
}

void InputSeeds() {
  const std::string t = "input_datagram";
  pb::InputEvent touch;
  touch.set_sequence_number(1);
  touch.mutable_touch()->set_action(pb::TOUCH_ACTION_MOVE);
  touch.mutable_touch()->set_x_normalized(0.25f);
  touch.mutable_touch()->set_y_normalized(1.5f);
  touch.mutable_touch()->set_pressure(std::numeric_limits<float>::quiet_NaN());
  pb::InputEvent pen;
  pen.mutable_pen()->set_action(pb::PEN_ACTION_HOVER_MOVE);
  pen.mutable_pen()->set_tilt_x(std::numeric_limits<float>::infinity());
  pen.mutable_pen()->set_tool_type(pb::PEN_TOOL_TYPE_ERASER);
  pb::InputEvent key;
  key.mutable_key()->set_action(pb::KEY_ACTION_KEY_UP);
  key.mutable_key()->set_key_code(0x41);
  pb::InputEvent mouse;
  mouse.mutable_mouse()->set_action(pb::MOUSE_ACTION_DOWN);
  mouse.mutable_mouse()->set_button(pb::MOUSE_BUTTON_RIGHT);
  pb::InputEvent bad;
  bad.mutable_touch()->set_action(static_cast<pb::TouchAction>(9));
  const Bytes punch(SessionManager::kMediaPunch, SessionManager::kMediaPunch + sizeof SessionManager::kMediaPunch);
  auto counter = [](uint64_t c) {
    Bytes be(8);
    StoreBe64(be.data(), c);
    return be;
  };

  Write(t, "events", Cat({InputRec(0, counter(10), Serialize(touch)), InputRec(1, {1}, Serialize(pen)),
                          InputRec(1, {1}, Serialize(key)), InputRec(1, {1}, Serialize(mouse)),
                          InputRec(1, {1}, punch), InputRec(1, {1}, Serialize(bad))}));
  Write(t, "replay-window",
        Cat({InputRec(0, counter(100), Serialize(key)), InputRec(0, counter(100), Serialize(key)),
             InputRec(1, {static_cast<uint8_t>(-5)}, Serialize(key)),
             InputRec(1, {static_cast<uint8_t>(-5)}, Serialize(key)),
             InputRec(1, {static_cast<uint8_t>(-64)}, Serialize(key)),
             InputRec(1, {static_cast<uint8_t>(-63)}, Serialize(key)), InputRec(1, {70}, Serialize(key)),
             InputRec(0, counter(0), Serialize(key))}));
  Write(t, "key-changes",
        Cat({InputRec(1, {1}, Serialize(key)), InputRec(4, {7}, {}), InputRec(1, {0}, Serialize(key)),
             InputRec(4, {1}, {}), InputRec(1, {0}, Serialize(key)), InputRec(5, {1, 3}, Serialize(key)),
             InputRec(4, {0}, {}), InputRec(5, {1, 5}, Serialize(key)), InputRec(4, {2}, {}),
             InputRec(1, {1}, Serialize(key)), InputRec(4, {0}, {}), InputRec(4, {6}, {}),
             InputRec(1, {1}, Serialize(key)), InputRec(1 | 8, {1}, Serialize(key)), InputRec(4, {4}, {}),
             InputRec(4, {5}, {}), InputRec(4, {0}, {}), InputRec(1, {1}, Serialize(key))}));
  Write(t, "drops",
        Cat({InputRec(2, {}, Serialize(touch)), InputRec(2, {}, Bytes{'O', 'V', 'D', '1', 1, 0, 0, 0, 0, 0, 0, 0, 3, 9}),
             InputRec(3, {1}, Serialize(key)), InputRec(6, {1}, Serialize(key)), InputRec(7, {2}, Serialize(mouse)),
             InputRec(7, {3}, Serialize(mouse)), InputRec(1, {1}, {})}));
}

}  // namespace
}  // namespace orvane::fuzz

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  using namespace orvane::fuzz;
  g_root = argv[1];
  FrameReaderSeeds();
  PreauthSeeds();
  PostauthSeeds();
  SecureFrameSeeds();
  InputSeeds();
  return g_ok ? 0 : 1;
}
