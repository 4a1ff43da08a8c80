#include "tools/tablet_sim/sim_options.h"

#include <initializer_list>
#include <optional>
#include <string_view>

#include "host/common/logger.h"
#include "host/common/net.h"
#include "host/common/parse.h"
#include "host/common/utf.h"
#include "tools/tablet_sim/sim_auth.h"

namespace orvane::sim {
namespace {

// At most 9 digits: the shared parser's limit, which keeps the value in range.
std::optional<uint32_t> ParseNumber(std::string_view text, size_t max_digits, uint32_t min, uint32_t max) {
  const std::optional<uint32_t> v = ParseDecimalDigits(text, max_digits);
  if (!v || *v < min || *v > max) return std::nullopt;
  return v;
}

bool ValidText(const std::string& text, size_t max_bytes) { return text.size() <= max_bytes && IsValidUtf8(text); }

// Pieces joined by appending (GCC 12 warns falsely about "literal" + string).
std::string Join(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (const std::string_view p : parts) out.append(p);
  return out;
}

// Comma-separated numbers, 1..kMaxListItems of them, each within min..max.
std::optional<std::vector<uint32_t>> ParseNumberList(std::string_view text, uint32_t min, uint32_t max) {
  std::vector<uint32_t> out;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string_view item = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
    const auto v = ParseNumber(item, 9, min, max);
    if (!v || out.size() == kMaxListItems) return std::nullopt;
    out.push_back(*v);
    if (comma == std::string_view::npos) return out;
    start = comma + 1;
  }
}

// "h264,hevc" (names or numbers, the host must cope with unknown ones);
// "none" for an empty list.
std::optional<std::vector<uint32_t>> ParseCodecList(std::string_view text) {
  if (text == "none") return std::vector<uint32_t>{};
  std::vector<uint32_t> out;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string_view item = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
    std::optional<uint32_t> v;
    if (item == "h264") {
      v = 1;
    } else if (item == "hevc") {
      v = 2;
    } else {
      v = ParseNumber(item, 9, 0, 999'999'999);
    }
    if (!v || out.size() == kMaxListItems) return std::nullopt;
    out.push_back(*v);
    if (comma == std::string_view::npos) return out;
    start = comma + 1;
  }
}

// "WxH", each side 0..kMaxScreenSide.
bool ParseScreen(std::string_view text, uint32_t* width, uint32_t* height) {
  const size_t x = text.find('x');
  if (x == std::string_view::npos) return false;
  const auto w = ParseNumber(text.substr(0, x), 5, 0, kMaxScreenSide);
  const auto h = ParseNumber(text.substr(x + 1), 5, 0, kMaxScreenSide);
  if (!w || !h) return false;
  *width = *w;
  *height = *h;
  return true;
}

// A figure of 0..max with at most three decimals ("120", "12.5"), read
// exactly in thousandths (no locale, no rounding of the digits given).
std::optional<float> ParseFigure(std::string_view text, uint32_t max) {
  const size_t dot = text.find('.');
  const auto whole = ParseNumber(text.substr(0, dot), 4, 0, max);
  if (!whole) return std::nullopt;
  uint32_t thousandths = *whole * 1000;
  if (dot != std::string_view::npos) {
    const std::string_view digits = text.substr(dot + 1);
    const auto fraction = ParseNumber(digits, 3, 0, 999);
    if (!fraction) return std::nullopt;
    uint32_t scaled = *fraction;
    for (size_t i = digits.size(); i < 3; ++i) scaled *= 10;
    thousandths += scaled;
  }
  if (thousandths > max * 1000) return std::nullopt;
  return static_cast<float>(thousandths) / 1000.0f;
}

}  // namespace

ParseResult ParseSimCommandLine(const std::vector<std::string>& args) {
  ParseResult r;
  SimOptions& o = r.options;
  auto fail = [&](const std::string& message) {
    r.status = ParseStatus::kError;
    r.error = message;
    return r;
  };

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      r.status = ParseStatus::kHelp;
      return r;
    }
    if (arg == "--no-hello") {
      o.send_hello = false;
      continue;
    }
    if (arg == "--quiet") {
      o.quiet = true;
      continue;
    }
    if (arg == "--software-decode") {
      o.capabilities.hardware_decode = false;
      continue;
    }
    if (arg == "--no-directional-nonce") {
      o.directional_nonce = false;
      continue;
    }
    if (arg == "--accept-new-identity") {
      o.accept_new_identity = true;
      continue;
    }
    const bool takes_value = arg == "--host" || arg == "--port" || arg == "--name" || arg == "--id" ||
                             arg == "--app-version" || arg == "--protocol-version" || arg == "--hold" ||
                             arg == "--send" || arg == "--codecs" || arg == "--screen" || arg == "--fps" ||
                             arg == "--route" || arg == "--max-fragments" || arg == "--orientation" ||
                             arg == "--answer-wait" || arg == "--key-order" || arg == "--auth-version" ||
                             arg == "--pairing-code" || arg == "--state-file" || arg == "--input-port" ||
                             arg == "--drop-percent" || arg == "--drop-seed" || arg == "--check-synthetic" ||
                             arg == "--report-decode" || arg == "--report-late";
    if (!takes_value) return fail(Join({"unknown option '", EscapeUntrusted(Utf8Prefix(arg, 64)), "'"}));
    if (i + 1 >= args.size()) return fail(Join({arg, " needs a value"}));
    const std::string& value = args[++i];

    if (arg == "--host") {
      if (!net::IsValidIpv4(value)) return fail("--host needs a dotted IPv4 address");
      o.host = value;
    } else if (arg == "--port") {
      const auto v = ParseNumber(value, 5, 1, 65535);
      if (!v) return fail("--port needs a number from 1 to 65535");
      o.port = static_cast<uint16_t>(*v);
    } else if (arg == "--name") {
      if (!ValidText(value, kMaxClientNameBytes)) {
        return fail(Join({"--name needs UTF-8 text of at most ", std::to_string(kMaxClientNameBytes), " bytes"}));
      }
      o.client_name = value;
    } else if (arg == "--id") {
      if (!ValidText(value, kMaxClientIdBytes)) {
        return fail(Join({"--id needs UTF-8 text of at most ", std::to_string(kMaxClientIdBytes), " bytes"}));
      }
      o.client_id = value;
    } else if (arg == "--app-version") {
      if (!ValidText(value, kMaxAppVersionBytes)) {
        return fail(Join({"--app-version needs UTF-8 text of at most ", std::to_string(kMaxAppVersionBytes), " bytes"}));
      }
      o.app_version = value;
    } else if (arg == "--protocol-version") {
      const auto v = ParseNumber(value, 9, 0, kMaxProtocolVersion);
      if (!v) return fail(Join({"--protocol-version needs a number from 0 to ", std::to_string(kMaxProtocolVersion)}));
      o.protocol_version = *v;
    } else if (arg == "--hold") {
      const auto v = ParseNumber(value, 6, 0, kMaxHoldSeconds);
      if (!v) return fail(Join({"--hold needs a number of seconds from 0 to ", std::to_string(kMaxHoldSeconds)}));
      o.hold_seconds = *v;
    } else if (arg == "--send") {
      std::string error;
      if (!ParseScript(value, &o.script, &error)) return fail(error);
    } else if (arg == "--codecs") {
      auto v = ParseCodecList(value);
      if (!v) {
        return fail(Join({"--codecs needs h264, hevc or numbers separated by commas (at most ",
                          std::to_string(kMaxListItems), "), or none"}));
      }
      o.capabilities.codecs = std::move(*v);
    } else if (arg == "--screen") {
      if (!ParseScreen(value, &o.capabilities.screen_width, &o.capabilities.screen_height)) {
        return fail(Join({"--screen needs WIDTHxHEIGHT, each from 0 to ", std::to_string(kMaxScreenSide)}));
      }
    } else if (arg == "--fps") {
      auto v = ParseNumberList(value, 0, 999'999'999);
      if (!v) {
        return fail(Join({"--fps needs numbers separated by commas (at most ", std::to_string(kMaxListItems), ")"}));
      }
      o.capabilities.fps = std::move(*v);
    } else if (arg == "--route") {
      if (!ValidText(value, kMaxRouteClassBytes)) {
        return fail(Join({"--route needs UTF-8 text of at most ", std::to_string(kMaxRouteClassBytes), " bytes"}));
      }
      o.capabilities.route_class = value;
    } else if (arg == "--max-fragments") {
      const auto v = ParseNumber(value, 9, 0, 999'999'999);
      if (!v) return fail("--max-fragments needs a number from 0 to 999999999");
      o.capabilities.max_fragments = *v;
    } else if (arg == "--orientation") {
      if (value == "unspecified") {
        o.capabilities.orientation = 0;
      } else if (value == "landscape") {
        o.capabilities.orientation = 1;
      } else if (value == "portrait") {
        o.capabilities.orientation = 2;
      } else {
        return fail("--orientation needs landscape, portrait or unspecified");
      }
    } else if (arg == "--key-order") {
      if (value == "lsb") {
        o.key_order = KeyOrder::kLsb;
      } else if (value == "msb") {
        o.key_order = KeyOrder::kMsb;
      } else {
        return fail("--key-order needs lsb or msb");
      }
    } else if (arg == "--auth-version") {
      if (value == "1") {
        o.auth_version = 1;
      } else if (value == "2") {
        o.auth_version = 2;
      } else {
        return fail("--auth-version needs 1 or 2");
      }
    } else if (arg == "--pairing-code") {
      if (!IsPairingCodeText(value)) return fail("--pairing-code needs the six digits the host shows");
      o.pairing_code = value;
    } else if (arg == "--state-file") {
      if (value.empty() || !ValidText(value, kMaxStatePathBytes)) {
        return fail(Join({"--state-file needs a path of 1 to ", std::to_string(kMaxStatePathBytes),
                          " bytes of UTF-8"}));
      }
      o.state_file = value;
    } else if (arg == "--input-port") {
      const auto v = ParseNumber(value, 5, 1, 65535);
      if (!v) return fail("--input-port needs a number from 1 to 65535");
      o.input_port = static_cast<uint16_t>(*v);
    } else if (arg == "--drop-percent") {
      const auto v = ParseNumber(value, 2, 0, kMaxDropPercent);
      if (!v) return fail(Join({"--drop-percent needs a number from 0 to ", std::to_string(kMaxDropPercent)}));
      o.drop_percent = *v;
    } else if (arg == "--drop-seed") {
      const auto v = ParseNumber(value, 9, 0, 999'999'999);
      if (!v) return fail("--drop-seed needs a number from 0 to 999999999");
      o.drop_seed = *v;
    } else if (arg == "--report-decode") {
      const auto v = ParseFigure(value, kMaxReportDecodePct);
      if (!v) {
        return fail(Join({"--report-decode needs a number from 0 to ", std::to_string(kMaxReportDecodePct),
                          " (at most three decimals)"}));
      }
      o.report_decode_pressure_pct = *v;
    } else if (arg == "--report-late") {
      const auto v = ParseFigure(value, kMaxReportLatePct);
      if (!v) {
        return fail(Join({"--report-late needs a number from 0 to ", std::to_string(kMaxReportLatePct),
                          " (at most three decimals)"}));
      }
      o.report_late_drop_pct = *v;
    } else if (arg == "--check-synthetic") {
      if (value == "on") {
        o.check_synthetic = true;
      } else if (value == "off") {
        o.check_synthetic = false;
      } else {
        return fail("--check-synthetic needs on or off");
      }
    } else {  // --answer-wait
      const auto v = ParseNumber(value, 6, 0, kMaxAnswerWaitMs);
      if (!v) {
        return fail(Join({"--answer-wait needs a number of milliseconds from 0 to ", std::to_string(kMaxAnswerWaitMs)}));
      }
      o.answer_wait_ms = *v;
    }
  }
  return r;
}

std::string SimUsageText() {
  std::string text =
      "Usage: orvane-tablet-sim [options]\n"
      "\n"
      "Plays the tablet's side of the control channel against an Orvane Display host:\n"
      "connects over TCP, says Hello with an ephemeral key, authenticates, derives the\n"
      "session keys from the host's answer, sends the messages of its script (in secure\n"
      "frames once keys exist) and prints what the host answers.\n"
      "\n"
      "Options:\n"
      "  --host ADDR              host's IPv4 address (default 127.0.0.1)\n"
      "  --port N                 control port, 1..65535 (default 9430)\n"
      "  --name NAME              client_name of the Hello (default \"Orvane Tablet Sim\")\n"
      "  --id CLIENT_ID           client_id of the Hello (default \"orvane-tablet-sim\")\n"
      "  --app-version V          app_version of the Hello, sent as given (default 1.3.5)\n"
      "  --protocol-version N     protocol_version of the Hello and the envelope (default 1,\n"
      "                           at most 999999999)\n"
      "  --no-hello               connect and send no Hello (the script still runs)\n"
      "  --send STEPS             after the Hello exchange, send these messages in order,\n"
      "                           separated by commas, e.g. capability,ping,start-stream,empty.\n"
      "                           A step that expects an answer waits for it (--answer-wait),\n"
      "                           the others wait 100 ms; what arrives meanwhile is printed.\n"
      "                           Steps:\n";
  text += ScriptUsageText();
  text +=
      "  --answer-wait MS         how long a step waits for its answer (default 2000,\n"
      "                           at most 600000)\n"
      "  --hold SECONDS           stay connected this long after the Hello exchange and the\n"
      "                           script (counted from the HelloAck, or from the Hello or the\n"
      "                           connect when none arrives, or from the script's end);\n"
      "                           0 = until the host closes (default 0, at most 86400)\n"
      "  --key-order lsb|msb      which of the two session keys of the key agreement the\n"
      "                           tablet uses: lsb (default; the host's active key) or msb\n"
      "                           (the host's compatibility key, which the host then promotes)\n"
      "  --no-directional-nonce   Hello without directional_control_nonce (host and tablet\n"
      "                           frames then share one nonce sequence)\n"
      "\n"
      "Authentication:\n"
      "  --auth-version 1|2       1 (default): the Hello carries the pairing proof over its\n"
      "                           own ephemeral key. 2: the Hello carries none; the tablet\n"
      "                           checks the host's signature over the handshake transcript\n"
      "                           and its identity key, derives the session key from the\n"
      "                           transcript and proves its credential with AuthProof\n"
      "  --pairing-code NNNNNN    pair: derive the credential from the six-digit code the\n"
      "                           host shows (preferred over a stored credential); after\n"
      "                           the host accepts it, the credential is stored\n"
      "  --state-file PATH        what the tablet remembers between runs: its credential\n"
      "                           (for its --id) after a pairing, and the host identity key\n"
      "                           it saw first. Missing: created when there is something to\n"
      "                           remember. Damaged or unreadable: the run does not start\n"
      "  --accept-new-identity    trust a host identity other than the remembered one (and\n"
      "                           remember it); without it such a host is refused\n"
      "  A run with --state-file, --pairing-code or --auth-version 2 tries to\n"
      "  authenticate: it stops when that fails and then ends with exit code 4. Without\n"
      "  them the tablet proves nothing; after a refused Hello it goes on with its script,\n"
      "  to try the host's handling of unauthenticated tablets. A whole visit:\n"
      "    --state-file tab.state --send capability,ping,key-rotation,end\n"
      "\n"
      "Media and input (after authentication):\n"
      "  The tablet opens a UDP socket on an ephemeral port, sends the media punch\n"
      "  (three times, 100 ms apart) from it to the host's input port once the\n"
      "  CapabilityAccept names that port (or at start-stream), reassembles the video,\n"
      "  repairs losses with the parity packets and NackRequest, sends a StatsReport\n"
      "  every second while media arrives and prints a summary at the end. The access\n"
      "  units reach the decoder in sequence order; after one that was given up (or\n"
      "  does not decode) the decoder skips to the next keyframe and asks for one with\n"
      "  RequestKeyframe; a keyframe copy is decoded once; pictures must have the\n"
      "  negotiated size or that of the last StreamResize.\n"
      "  --input-port N           the host's input port until a CapabilityAccept names\n"
      "                           it (default 9432)\n"
      "  --drop-percent P         drop P percent (0..50) of the received media datagrams\n"
      "                           on purpose, before they are opened (default 0)\n"
      "  --drop-seed S            seed of the choice of dropped datagrams: the same seed\n"
      "                           drops the same ones (default 1, at most 999999999)\n"
      "  --report-decode P        decode_pressure_pct of every StatsReport the tablet\n"
      "                           sends: P from 0 to 1000, at most three decimals (default\n"
      "                           0, not reported); above 100 the decoder cannot keep up\n"
      "  --report-late P          late_drop_pct of every StatsReport the tablet sends:\n"
      "                           P from 0 to 100, at most three decimals (default 0)\n"
      "  --check-synthetic on|off check what arrives (default on): an access unit that is\n"
      "                           the host's synthetic byte stream byte by byte; video\n"
      "                           is decoded (Linux) and every picture compared with the\n"
      "                           test pattern it carries the counter of (Y-PSNR); failures\n"
      "                           count as mismatched\n"
      "\n"
      "Other options:\n"
      "  --quiet                  print errors only\n"
      "  --help, -h               this text\n"
      "\n"
      "CapabilityExchange (the capability step):\n"
      "  --codecs LIST            supported_codecs in order: h264, hevc or numbers; none for\n"
      "                           no codec (default h264,hevc)\n"
      "  --screen WxH             preferred_resolution (default 2560x1600; 0x0 leaves it out)\n"
      "  --fps LIST               supported_fps (default 30,60,90,120)\n"
      "  --route CLASS            route_class, sent as given (default wifi_local)\n"
      "  --max-fragments N        max_fragments_per_frame (default 512; 0 leaves it out)\n"
      "  --orientation O          display_orientation: landscape (default), portrait or\n"
      "                           unspecified\n"
      "  --software-decode        codec_capabilities without hardware decode\n"
      "\n"
      "Output (one line per event, flushed at once):\n"
      "  [Sim] State file 'PATH': credential=... host identity fingerprint=...\n"
      "  [Sim] Connected to ADDR:PORT (local port N)\n"
      "  [Sim] Credential for client_id='...': stored | derived from the pairing code | none\n"
      "  [Sim] Sent Hello client_id=... client_name=... app_version=... protocol_version=N\n"
      "        ephemeral_fp=XXXXXXXX directional_control_nonce=N auth_version=N\n"
      "        pairing_proof=stored|code|none (N bytes)\n"
      "  [Sim] Received HelloAck auth_result=NAME (N) max_sessions=N host_id=... ...\n"
      "  [Sim] Session keys derived: key_order=lsb fp=XXXXXXXX other_fp=XXXXXXXX ...\n"
      "  [Sim] Host signature verified: transcript_fp=XXXXXXXX           (auth v2)\n"
      "  [Sim] Host identity fingerprint=xx:xx:...:xx (first seen; remembered, ...)\n"
      "        or (as remembered); a different key: [Sim] HOST IDENTITY CHANGED: ...\n"
      "  [Sim] Session keys derived: auth_version=2 fp=XXXXXXXX transcript_fp=XXXXXXXX ...\n"
      "  [Sim] Sent AuthProof proof=32 bytes ... credential=stored|code|none (...)\n"
      "  [Sim] Received AuthStatus auth_result=NAME (N) ... secure ctr=N\n"
      "  [Sim] Authenticated (auth vN) with the stored credential | the pairing code\n"
      "  [Sim] Stored credential for client_id='...' (saved in 'PATH')\n"
      "  [Sim] Pairing required: the host shows a pairing code; run again with\n"
      "        --pairing-code CODE\n"
      "  [Sim] Rejected: the host refused the tablet (auth vN)\n"
      "  [Sim] Not authenticated: WHY          (standard error; exit code 4)\n"
      "  [Sim] Received TYPE ... secure ctr=N   (a message that came in a secure frame)\n"
      "  [Sim] Sent TYPE ... (N bytes)        (a script step, with its key fields; once\n"
      "                                       keys exist: (N bytes, secure ctr=N))\n"
      "  [Sim] Key rotation ...                (each step of a key rotation)\n"
      "  [Sim] Received a secure frame (...) ...; dropped   (standard error: a frame that\n"
      "                                       does not open, with the reason)\n"
      "  [Sim] Received TYPE ... (any other message, with its key fields)\n"
      "  [Sim]   monitor id=... ...            (one per entry of a MonitorListResponse)\n"
      "  [Sim] Ping round trip N.NNN ms\n"
      "  [Sim] No answer to STEP within N ms\n"
      "  [Sim] Waited N ms\n"
      "  [Sim] Script done (N steps)\n"
      "  [Sim] Connection closed by host\n"
      "  [Sim] Held the connection for N s; closing it\n"
      "  [Sim] Closing the connection (end step)\n"
      "  [Sim] Media socket open on port N\n"
      "  [Sim] Sent media punch to port N from port N\n"
      "  [Sim] Sent input touch action=down pointer_id=1 x=... (N bytes, input ctr=N) to port N\n"
      "        (and mouse action=move button=none x=... y=... seq=N, pen action=hover-enter\n"
      "        x=... y=... pressure=0.00 buttons=0x00 tool=pen seq=N, key action=down ...)\n"
      "  [Sim] StreamResize encoded=WxH logical=WxH scale=N/1000   (after the Received line\n"
      "        of each StreamResize)\n"
      "  [Sim] Host bitrate current_bitrate_kbps=N   (after the Received line of each\n"
      "        StatsReport of the host)\n"
      "  [Sim] Parity group size N              (the first parity packet's group size,\n"
      "        then each change of it)\n"
      "  [Sim] Media: first access unit complete: seq=N ts=N N bytes in N fragments ...\n"
      "  [Sim] Media: N access units complete after N ms   (wait-media; or: only N of N\n"
      "        access units complete within N ms)\n"
      "  [Sim] Sent NackRequest ... / Sent StatsReport ...   (the first few of each)\n"
      "  [Sim] Media: datagrams=N opened=N dropped_on_purpose=N access_units complete=N\n"
      "        (by_fec=N by_nack=N) incomplete=N mismatched=N nacks_sent=N\n"
      "        sequence_numbers_requested=N           (one line, at the end)\n"
      "  [Sim] Media details: video=N parity=N audio=N ...   (at the end)\n"
      "  [Sim] Parity groups: size=N count=N ... changes=N   (at the end, by size; or none)\n"
      "  [Sim] Video: first picture decoded: WxH CODEC keyframe=yes ts=N\n"
      "  [Sim] Video: first picture decoded after StreamResize: WxH CODEC keyframe=yes ts=N\n"
      "        (the first picture of the size of each StreamResize)\n"
      "  [Sim] Video: N pictures decoded after N ms   (wait-decoded; or: only N of N\n"
      "        pictures decoded within N ms)\n"
      "  [Sim] Video: keyframe decoded N ms after the keyframe step\n"
      "  [Sim] Sent RequestKeyframe ... (the decoder waits for a keyframe)\n"
      "  [Sim] Video: decoded=N fps=F first_frame_ms=M keyframes=K picture_ok=P\n"
      "        picture_bad=B psnr_min=X psnr_avg=Y skipped_to_keyframe=S decode_errors=E\n"
      "        latency_p50_ms=L latency_p99_ms=L stop_to_last_ms=T   (one line, at the\n"
      "        end; first frame from StreamStarted, latency from the host's timestamp,\n"
      "        stop from the StopStream sent or else the StreamStopped; -1: not measured)\n"
      "  [Sim] Video details: decoder=... units=N ... picture_sizes=WxH:N,...   (at the end)\n"
      "  [Sim] Audio: first packet seq=N pts=N duration_ms=N N bytes decoded=N samples per\n"
      "        channel av_offset_ms=M   (the first audio packet, decoded with Opus)\n"
      "  [Sim] Audio: packets=N pps=F seq_gaps=N pts_steps_other=N (max_step_us=N)\n"
      "        tone_hz=F av_offset_ms median=M max=M min=M after_gap_ms=N|never|none\n"
      "        decode_errors=N ...   (one line, at the end; offset: a packet's pts minus\n"
      "        the newest video timestamp before it; after_gap_ms: from the first packet\n"
      "        after the longest pause of at least 200 ms until an offset within 80 ms,\n"
      "        with (gap_pause_ms=N gap_pts_step_us=N first_offset_ms=M); or:\n"
      "        [Sim] Audio: none)\n"
      "\n"
      "Exit codes: 0 normal end (host closed, the hold ran out or the script ended the\n"
      "run); 1 could not connect; 2 bad command line; 3 the connection failed or the\n"
      "host broke the framing; 4 not authenticated (a run that tries to authenticate:\n"
      "pairing required, rejected by the host, no answer, or the tablet refused the\n"
      "host's signature or a changed host identity); 5 the state file cannot be read or\n"
      "is damaged (nothing was sent), or could not be written.\n";
  return text;
}

}  // namespace orvane::sim
