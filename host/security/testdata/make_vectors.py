#!/usr/bin/python3
r"""Writes key_vectors.inc: known answers for the host's key agreement, secure
frames, pairing proofs, authentication transcript and identity signatures,
computed with an implementation independent of the host's (python3-cryptography
on top of its own OpenSSL build, hashlib/hmac, and plain integer arithmetic).

Run with Debian's interpreter, which has the library:
    /usr/bin/python3 host/security/testdata/make_vectors.py
Deterministic: no randomness, no network; rerunning writes identical bytes.
The one signature made here uses the deterministic nonce of RFC 6979 (checked
against that document's P-256 example) and is verified by the library.

Host signatures (testdata/signatures.txt)
-----------------------------------------
That file holds signatures made by the host's own code, one build each, over
the fixed transcript hash with the fixed identity key: one line
"<platform> <128 hex digits r||s>" per signature; '#' starts a comment. This
script verifies every one with python3-cryptography, writes nothing when one
does not verify, and copies them into key_vectors.inc, where the test checks
them with each build's own verifier too. ECDSA signatures are randomised, so
they are collected once and committed. To renew them (after changing the
identity key or the transcript, or to add a platform), from the repository
root:
  1. /usr/bin/python3 host/security/testdata/make_vectors.py --bootstrap
     writes the vectors while accepting a file without signature lines (the
     test of the committed signatures fails until step 4).
  2. Delete the signature lines from signatures.txt (keep the comments).
  3. Build security_tests in a Linux and a Windows build directory and let
     each append its line:
       ORVANE_WRITE_SIGNATURE_TO=$PWD/host/security/testdata/signatures.txt \
           <linux build>/host/security_tests \
           --gtest_filter=KeyVectorsTest.HostSignsFixedTranscript
       ORVANE_WRITE_SIGNATURE_TO='Z:\work\main\host\security\testdata\signatures.txt' \
           cmake/wine-run.sh <windows build>/host/security_tests.exe \
           --gtest_filter=KeyVectorsTest.HostSignsFixedTranscript
     Wine shows the Linux file system as drive Z:, so the Windows program is
     given the same file as Z: followed by the absolute Linux path with
     backslashes (the example is for a checkout at /work/main). Under Wine the
     line is tagged "windows-wine" (Wine's CNG), on real Windows "windows".
  4. /usr/bin/python3 host/security/testdata/make_vectors.py
"""

import hashlib
import hmac
import os
import struct
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import (Prehashed, decode_dss_signature,
                                                             encode_dss_signature)
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

SESSION_INFO = b"orvane-display-session-v1"
P256_ORDER = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551

NONCE_CONTROL_HOST_DIRECTIONAL = 0x40000001
NONCE_CONTROL = 0x00000001
NONCE_MEDIA = 0x00000002
NONCE_INPUT = 0x00000003

PAIRING_CREDENTIAL_LABEL = b"orvane-pairing-credential-v1"
AUTH_TRANSCRIPT_LABEL = b"OVD-AUTH2"
AUTH_PROOF_LABEL = b"OVD-AUTH2-PROOF"
IDENTITY_BLOB_MAGIC = 0x32534345  # "ECS2" little-endian


# P-256 in plain integers, to check the library's points and shared secrets
# with arithmetic that shares no code with it.
P256_P = 0xFFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF
P256_A = P256_P - 3
P256_G = (0x6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296,
          0x4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5)


def ec_add(p, q):
    if p is None:
        return q
    if q is None:
        return p
    if p[0] == q[0] and (p[1] + q[1]) % P256_P == 0:
        return None
    if p == q:
        slope = (3 * p[0] * p[0] + P256_A) * pow(2 * p[1], -1, P256_P) % P256_P
    else:
        slope = (q[1] - p[1]) * pow(q[0] - p[0], -1, P256_P) % P256_P
    x = (slope * slope - p[0] - q[0]) % P256_P
    return (x, (slope * (p[0] - x) - p[1]) % P256_P)


def ec_mul(k, point):
    result = None
    while k:
        if k & 1:
            result = ec_add(result, point)
        point = ec_add(point, point)
        k >>= 1
    return result


def hkdf(ikm, salt, info, length):
    # None is the library's "no salt" (32 zero bytes).
    return HKDF(algorithm=hashes.SHA256(), length=length, salt=salt, info=info).derive(ikm)


def fnv1a32(data):
    h = 0x811C9DC5
    for b in data:
        h ^= b
        h = (h * 16777619) & 0xFFFFFFFF
    return "%08X" % h


class KeyPair:
    """A P-256 pair whose scalar is SHA-256(label) reduced into [1, n-1]."""

    def __init__(self, label):
        scalar = int.from_bytes(hashlib.sha256(label.encode()).digest(), "big") % (P256_ORDER - 1) + 1
        self.label = label
        self.private = ec.derive_private_key(scalar, ec.SECP256R1())
        self.scalar = scalar.to_bytes(32, "big")
        numbers = self.private.public_key().public_numbers()
        self.public64 = numbers.x.to_bytes(32, "big") + numbers.y.to_bytes(32, "big")
        assert ec_mul(scalar, P256_G) == (numbers.x, numbers.y)
        self.point = (numbers.x, numbers.y)
        self.int_scalar = scalar

    def raw_secret(self, peer):
        # X coordinate of the shared point, most significant byte first.
        peer_key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), b"\x04" + peer.public64)
        secret = self.private.exchange(ec.ECDH(), peer_key)
        assert secret == ec_mul(self.int_scalar, peer.point)[0].to_bytes(32, "big")
        return secret


def derive_session_key(own, peer, salt, p256_reverse):
    x_be = own.raw_secret(peer)
    assert x_be == peer.raw_secret(own)
    ikm = x_be if p256_reverse else x_be[::-1]
    return hkdf(ikm, salt if salt else None, SESSION_INFO, 32)


def secure_frame(key32, prefix, counter, plaintext):
    nonce = struct.pack(">IQ", prefix, counter)
    sealed = AESGCM(key32[:16]).encrypt(nonce, plaintext, None)
    return b"OVD1" + bytes([0x01]) + struct.pack(">Q", counter) + sealed


# --- ECDSA P-256 with the deterministic nonce of RFC 6979 (SHA-256) ----------------
def rfc6979_nonce(scalar, digest):
    # qlen = hlen = 256 bits: bits2int is the plain integer, bits2octets its
    # value mod n.
    x = scalar.to_bytes(32, "big")
    h1 = (int.from_bytes(digest, "big") % P256_ORDER).to_bytes(32, "big")
    v = b"\x01" * 32
    k = b"\x00" * 32
    k = hmac.new(k, v + b"\x00" + x + h1, hashlib.sha256).digest()
    v = hmac.new(k, v, hashlib.sha256).digest()
    k = hmac.new(k, v + b"\x01" + x + h1, hashlib.sha256).digest()
    v = hmac.new(k, v, hashlib.sha256).digest()
    while True:
        v = hmac.new(k, v, hashlib.sha256).digest()
        nonce = int.from_bytes(v, "big")
        if 1 <= nonce < P256_ORDER:
            return nonce
        k = hmac.new(k, v + b"\x00", hashlib.sha256).digest()
        v = hmac.new(k, v, hashlib.sha256).digest()


def ecdsa_sign(scalar, digest):
    """(r, s) over a 32-byte digest, with plain integer arithmetic."""
    e = int.from_bytes(digest, "big") % P256_ORDER
    nonce = rfc6979_nonce(scalar, digest)
    r = ec_mul(nonce, P256_G)[0] % P256_ORDER
    s = pow(nonce, -1, P256_ORDER) * (e + r * scalar) % P256_ORDER
    assert r != 0 and s != 0
    return r, s


def raw_signature(r, s):
    return r.to_bytes(32, "big") + s.to_bytes(32, "big")


def library_verifies(public65, digest, raw):
    """The library's verdict on a 64-byte r || s over a 32-byte digest."""
    if len(raw) != 64:
        return False
    key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), public65)
    der = encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
    try:
        key.verify(der, digest, ec.ECDSA(Prehashed(hashes.SHA256())))
        return True
    except InvalidSignature:
        return False


# RFC 6979, appendix A.2.5: P-256, SHA-256, message "sample".
RFC6979_KEY = 0xC9AFA9D845BA75166B5C215767B1D6934E50C3DB36E89B127B8A622B120F6721
RFC6979_SAMPLE = (0xA6E3C57DD01ABE90086538398355DD4C3B17AA873382B0F24D6129493D8AAD60,
                  0xEFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716,
                  0xF7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8)


def check_rfc6979():
    digest = hashlib.sha256(b"sample").digest()
    assert rfc6979_nonce(RFC6979_KEY, digest) == RFC6979_SAMPLE[0]
    assert ecdsa_sign(RFC6979_KEY, digest) == RFC6979_SAMPLE[1:]
    point = ec_mul(RFC6979_KEY, P256_G)
    public65 = b"\x04" + point[0].to_bytes(32, "big") + point[1].to_bytes(32, "big")
    assert library_verifies(public65, digest, raw_signature(*RFC6979_SAMPLE[1:]))


SIGNATURE_PLATFORMS = ("linux", "windows", "windows-wine")


def read_host_signatures(path, public65, digest, bootstrap):
    """The signatures in signatures.txt, each verified; exits on any fault."""
    try:
        with open(path, "r", encoding="ascii") as f:
            lines = f.read().split("\n")
    except OSError as e:
        sys.exit("cannot read %s: %s" % (path, e))
    found = []
    for number, line in enumerate(lines, 1):
        text = line.split("#", 1)[0].strip()
        if not text:
            continue
        fields = text.split()
        if len(fields) != 2 or fields[0] not in SIGNATURE_PLATFORMS or len(fields[1]) != 128:
            sys.exit("%s:%d: expected \"<%s> <128 hex digits>\"" % (path, number, "|".join(SIGNATURE_PLATFORMS)))
        try:
            raw = bytes.fromhex(fields[1])
        except ValueError:
            sys.exit("%s:%d: not hex" % (path, number))
        if not library_verifies(public65, digest, raw):
            sys.exit("%s:%d: the %s signature does NOT verify over the transcript hash %s with the identity key"
                     % (path, number, fields[0], digest.hex()))
        found.append((fields[0], raw))
    platforms = {p for p, _ in found}
    if not bootstrap and ("linux" not in platforms or not platforms & {"windows", "windows-wine"}):
        sys.exit("%s: needs a linux and a windows signature (see the procedure at the top of this script; "
                 "--bootstrap writes the vectors without them)" % path)
    return found


# RFC 5869, appendix A.1 to A.3 (SHA-256): the library must reproduce them.
RFC5869 = [
    ("rfc5869_a1", bytes([0x0B] * 22), bytes(range(0x00, 0x0D)), bytes(range(0xF0, 0xFA)), 42,
     "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"),
    ("rfc5869_a2", bytes(range(0x00, 0x50)), bytes(range(0x60, 0xB0)), bytes(range(0xB0, 0x100)), 82,
     "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09"
     "da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"),
    ("rfc5869_a3", bytes([0x0B] * 22), b"", b"", 42,
     "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"),
]


def h(data):
    return data.hex()


def c_string(text, indent):
    """A C++ string literal, split into adjacent pieces of at most 96 hex digits."""
    if len(text) <= 96:
        return '"%s"' % text
    pieces = [text[i:i + 96] for i in range(0, len(text), 96)]
    return ("\n" + " " * indent).join('"%s"' % p for p in pieces)


def main(argv):
    bootstrap = argv[1:] == ["--bootstrap"]
    if argv[1:] and not bootstrap:
        sys.exit("usage: make_vectors.py [--bootstrap]")
    check_rfc6979()
    here = os.path.dirname(os.path.abspath(__file__))

    out = []
    w = out.append
    w("// Known answers for key agreement, secure frames, pairing proofs, the")
    w("// authentication transcript and identity signatures.")
    w("// Generated by make_vectors.py (python3-cryptography %s); do not edit." % __import__("cryptography").__version__)
    w("// Every byte string is lower-case hex. Regenerate with:")
    w("//   /usr/bin/python3 host/security/testdata/make_vectors.py")
    w("")
    w("namespace orvane::security::key_vectors {")
    w("")

    # --- HKDF -----------------------------------------------------------------
    hkdf_cases = []
    for name, ikm, salt, info, length, okm in RFC5869:
        got = hkdf(ikm, salt if salt else None, info, length)
        assert got.hex() == okm, name
        hkdf_cases.append((name, ikm, salt, info, length, got))
    # An empty salt means 32 zero bytes: both spellings give the same key.
    ikm = hashlib.sha256(b"orvane-kat-hkdf-ikm").digest()
    empty_salt = hkdf(ikm, None, SESSION_INFO, 32)
    zero_salt = hkdf(ikm, bytes(32), SESSION_INFO, 32)
    assert empty_salt == zero_salt
    hkdf_cases.append(("empty_salt", ikm, b"", SESSION_INFO, 32, empty_salt))
    hkdf_cases.append(("zero_salt", ikm, bytes(32), SESSION_INFO, 32, zero_salt))

    w("struct HkdfVector {")
    w("  const char* name;")
    w("  const char* ikm;")
    w("  const char* salt;")
    w("  const char* info;")
    w("  size_t length;")
    w("  const char* okm;")
    w("};")
    w("")
    w("inline constexpr HkdfVector kHkdf[] = {")
    for name, ikm, salt, info, length, okm in hkdf_cases:
        w('    {"%s",' % name)
        w("     %s," % c_string(h(ikm), 5))
        w("     %s," % c_string(h(salt), 5))
        w("     %s," % c_string(h(info), 5))
        w("     %d," % length)
        w("     %s}," % c_string(h(okm), 5))
    w("};")
    w("")

    # The longest output HKDF allows (255 blocks): its digest and both ends.
    long_ikm = hashlib.sha256(b"orvane-kat-hkdf-long").digest()
    long_okm = hkdf(long_ikm, None, SESSION_INFO, 8160)
    assert len(long_okm) == 8160
    w("struct HkdfLongVector {")
    w("  const char* ikm;")
    w("  const char* info;")
    w("  size_t length;")
    w("  const char* sha256;  // of the whole output")
    w("  const char* first32;")
    w("  const char* last32;")
    w("};")
    w("")
    w("inline constexpr HkdfLongVector kHkdfLong = {")
    w("    %s," % c_string(h(long_ikm), 4))
    w("    %s," % c_string(h(SESSION_INFO), 4))
    w("    %d," % len(long_okm))
    w("    %s," % c_string(hashlib.sha256(long_okm).hexdigest(), 4))
    w("    %s," % c_string(h(long_okm[:32]), 4))
    w("    %s};" % c_string(h(long_okm[-32:]), 4))
    w("")

    # --- Key pairs and session keys ----------------------------------------------
    host = KeyPair("orvane-kat-host-ephemeral")
    tablet = KeyPair("orvane-kat-tablet-ephemeral")
    rot_host = KeyPair("orvane-kat-rotation-host")       # R
    rot_tablet = KeyPair("orvane-kat-rotation-tablet")   # K

    w("struct KeyPairVector {")
    w("  const char* scalar;    // 32 bytes, big-endian")
    w("  const char* public64;  // X || Y")
    w("};")
    w("")
    for cname, pair in (("kHostPair", host), ("kTabletPair", tablet),
                        ("kRotationHostPair", rot_host), ("kRotationTabletPair", rot_tablet)):
        w("// Scalar = SHA-256(\"%s\") mod (n - 1) + 1." % pair.label)
        w("inline constexpr KeyPairVector %s = {" % cname)
        w("    %s," % c_string(h(pair.scalar), 4))
        w("    %s};" % c_string(h(pair.public64), 4))
        w("")

    raw = host.raw_secret(tablet)
    key_a = derive_session_key(host, tablet, b"", False)
    key_c = derive_session_key(host, tablet, b"", True)
    assert key_a != key_c
    transcript = hashlib.sha256(b"orvane-kat-transcript").digest()
    key_v2 = derive_session_key(host, tablet, transcript, True)
    # Rotation: the host answers with R, the tablet offered K; the salt is the
    # previous active key.
    rot_raw = rot_host.raw_secret(rot_tablet)
    key_a2 = derive_session_key(rot_host, rot_tablet, key_a, False)
    key_c2 = derive_session_key(rot_host, rot_tablet, key_a, True)

    w("struct SessionVector {")
    w("  const char* raw_secret;     // X of host * tablet, big-endian")
    w("  const char* active;         // auth v1: no salt, p256_reverse clear")
    w("  const char* compat;         // auth v1: no salt, p256_reverse set")
    w("  const char* active_fp;      // KeyFingerprint(active)")
    w("  const char* compat_fp;      // KeyFingerprint(compat)")
    w("  const char* transcript;     // a fixed 32-byte transcript hash")
    w("  const char* auth_v2;        // salt = transcript, p256_reverse set")
    w("  const char* rotation_raw;   // X of R * K")
    w("  const char* rotated_active; // R with K, salt = active, reverse clear")
    w("  const char* rotated_compat; // R with K, salt = active, reverse set")
    w("};")
    w("")
    w("inline constexpr SessionVector kSession = {")
    for value in (h(raw), h(key_a), h(key_c), fnv1a32(key_a), fnv1a32(key_c), h(transcript), h(key_v2),
                  h(rot_raw), h(key_a2)):
        w("    %s," % c_string(value, 4))
    w("    %s};" % c_string(h(key_c2), 4))
    w("")

    # --- Secure frames ----------------------------------------------------------
    frame_key = hashlib.sha256(b"orvane-kat-frame-key").digest()
    frames = []
    for prefix_name, prefix in (("control, host to tablet, directional", NONCE_CONTROL_HOST_DIRECTIONAL),
                                ("control", NONCE_CONTROL), ("media", NONCE_MEDIA), ("input", NONCE_INPUT)):
        for counter, plaintext in ((0, b"orvane"), (0x0102030405060708, b"\x00\x01\x02\x03 frame \xff")):
            frames.append((prefix_name, prefix, counter, plaintext, secure_frame(frame_key, prefix, counter, plaintext)))
    # An empty plaintext: header and tag only.
    frames.append(("media, empty plaintext", NONCE_MEDIA, 0xFFFFFFFFFFFFFFFF, b"",
                   secure_frame(frame_key, NONCE_MEDIA, 0xFFFFFFFFFFFFFFFF, b"")))

    w("struct FrameVector {")
    w("  const char* name;")
    w("  uint32_t prefix;")
    w("  uint64_t counter;")
    w("  const char* plaintext;")
    w("  const char* frame;  // \"OVD1\", flags, counter, ciphertext, tag")
    w("};")
    w("")
    w("// The session key the frames are sealed with; only its first 16 bytes are")
    w("// the AES-128 key.")
    w("inline constexpr const char* kFrameKey = %s;" % c_string(h(frame_key), 4))
    w("")
    w("inline constexpr FrameVector kFrames[] = {")
    for prefix_name, prefix, counter, plaintext, frame in frames:
        w('    {"%s", 0x%08Xu, 0x%016XULL,' % (prefix_name, prefix, counter))
        w("     %s," % c_string(h(plaintext), 5))
        w("     %s}," % c_string(h(frame), 5))
    w("};")
    w("")

    w("// KeyFingerprint of the three bytes \"abc\".")
    w('inline constexpr const char* kFingerprintAbc = "%s";' % fnv1a32(b"abc"))
    assert fnv1a32(b"abc") == "1A47E90B"
    w("")
    # --- Pairing proofs -----------------------------------------------------------
    client_id = b"tab-1"
    code = b"123456"
    pairing_challenge = bytes(range(64))
    credential = hmac.new(code, client_id + PAIRING_CREDENTIAL_LABEL, hashlib.sha256).digest()
    pairing_proof = hmac.new(credential, client_id + pairing_challenge, hashlib.sha256).digest()

    w("// A tablet pairing with a code: credential = HMAC-SHA256(key = code,")
    w("// client_id || \"%s\"), proof = HMAC-SHA256(key = credential," % PAIRING_CREDENTIAL_LABEL.decode())
    w("// client_id || challenge).")
    w("struct PairingVector {")
    w("  const char* client_id;  // text")
    w("  const char* code;       // text")
    w("  const char* challenge;")
    w("  const char* credential;")
    w("  const char* proof;")
    w("};")
    w("")
    w("inline constexpr PairingVector kPairing = {")
    w('    "%s",' % client_id.decode())
    w('    "%s",' % code.decode())
    w("    %s," % c_string(h(pairing_challenge), 4))
    w("    %s," % c_string(h(credential), 4))
    w("    %s};" % c_string(h(pairing_proof), 4))
    w("")

    # --- Host identity ---------------------------------------------------------------
    identity = KeyPair("orvane-kat-host-identity")
    identity65 = b"\x04" + identity.public64
    identity_blob = struct.pack("<II", IDENTITY_BLOB_MAGIC, 32) + identity.public64 + identity.scalar
    assert identity_blob[:4] == b"ECS2" and len(identity_blob) == 104
    identity_fp = ":".join("%02x" % b for b in hashlib.sha256(identity65).digest()[:16])

    w("struct IdentityVector {")
    w("  const char* scalar;        // 32 bytes, big-endian")
    w("  const char* public65;      // 0x04 || X || Y")
    w("  const char* private_blob;  // \"ECS2\", 32 (both little-endian), X, Y, d")
    w("  const char* fingerprint;   // first 16 bytes of SHA-256(public65)")
    w("};")
    w("")
    w("// Scalar = SHA-256(\"%s\") mod (n - 1) + 1." % identity.label)
    w("inline constexpr IdentityVector kIdentity = {")
    w("    %s," % c_string(h(identity.scalar), 4))
    w("    %s," % c_string(h(identity65), 4))
    w("    %s," % c_string(h(identity_blob), 4))
    w('    "%s"};' % identity_fp)
    w("")

    # --- Authentication v2 -------------------------------------------------------------
    def part(data):
        return struct.pack(">I", len(data)) + data

    transcript_bytes = (AUTH_TRANSCRIPT_LABEL + part(client_id) + part(tablet.public64) + part(host.public64) +
                        part(identity65))
    assert len(transcript_bytes) == 223
    transcript_hash = hashlib.sha256(transcript_bytes).digest()
    proof_challenge = AUTH_PROOF_LABEL + transcript_hash
    auth_proof = hmac.new(credential, client_id + proof_challenge, hashlib.sha256).digest()

    r, s_value = ecdsa_sign(identity.int_scalar, transcript_hash)
    signature = raw_signature(r, s_value)
    other_form = raw_signature(r, P256_ORDER - s_value)
    assert library_verifies(identity65, transcript_hash, signature)
    assert library_verifies(identity65, transcript_hash, other_form)
    # Signing the 32-byte hash is ECDSA with SHA-256 over the transcript itself.
    identity.private.public_key().verify(encode_dss_signature(r, s_value), transcript_bytes,
                                         ec.ECDSA(hashes.SHA256()))
    # And the library's own (randomised) signature over the transcript verifies
    # against the same hash: a check of this script's prehashed path.
    library_r, library_s = decode_dss_signature(identity.private.sign(transcript_bytes, ec.ECDSA(hashes.SHA256())))
    assert library_verifies(identity65, transcript_hash, raw_signature(library_r, library_s))

    w("// Authentication v2 for kPairing's client with the tablet's ephemeral key")
    w("// kTabletPair, the host's kHostPair and the identity kIdentity.")
    w("struct AuthV2Vector {")
    w("  const char* transcript;       // \"OVD-AUTH2\" and four length-prefixed parts")
    w("  const char* transcript_hash;  // SHA-256(transcript)")
    w("  const char* proof_challenge;  // \"OVD-AUTH2-PROOF\" || transcript_hash")
    w("  const char* proof;            // HMAC-SHA256(kPairing.credential, client_id || proof_challenge)")
    w("  const char* signature;        // r || s over transcript_hash, RFC 6979 nonce")
    w("  const char* other_form;       // r || n - s: the same signature's other valid form")
    w("};")
    w("")
    w("inline constexpr AuthV2Vector kAuthV2 = {")
    for value in (h(transcript_bytes), h(transcript_hash), h(proof_challenge), h(auth_proof), h(signature)):
        w("    %s," % c_string(value, 4))
    w("    %s};" % c_string(h(other_form), 4))
    w("")

    # Inputs every ECDSA verifier must refuse; the library refuses each.
    def flip(data, index, mask):
        changed = bytearray(data)
        changed[index] ^= mask
        return bytes(changed)

    order = P256_ORDER.to_bytes(32, "big")
    rejects = [
        ("bit flipped in r", identity65, transcript_hash, flip(signature, 0, 0x80)),
        ("bit flipped in s", identity65, transcript_hash, flip(signature, 63, 0x01)),
        ("bit flipped in the digest", identity65, flip(transcript_hash, 31, 0x01), signature),
        ("another public key", b"\x04" + host.public64, transcript_hash, signature),
        ("r and s swapped", identity65, transcript_hash, signature[32:] + signature[:32]),
        ("r = 0", identity65, transcript_hash, bytes(32) + signature[32:]),
        ("s = 0", identity65, transcript_hash, signature[:32] + bytes(32)),
        ("r = n", identity65, transcript_hash, order + signature[32:]),
        ("s = n", identity65, transcript_hash, signature[:32] + order),
    ]
    for name, public65, digest, raw in rejects:
        assert not library_verifies(public65, digest, raw), name

    w("struct SignatureReject {")
    w("  const char* name;")
    w("  const char* public65;")
    w("  const char* digest;")
    w("  const char* signature;")
    w("};")
    w("")
    w("inline constexpr SignatureReject kSignatureRejects[] = {")
    for name, public65, digest, raw in rejects:
        w('    {"%s",' % name)
        w("     %s," % c_string(h(public65), 5))
        w("     %s," % c_string(h(digest), 5))
        w("     %s}," % c_string(h(raw), 5))
    w("};")
    w("")

    # --- Signatures made by the host ---------------------------------------------------
    host_signatures = read_host_signatures(os.path.join(here, "signatures.txt"), identity65, transcript_hash,
                                           bootstrap)
    w("// Made by each build's own code (KeyVectorsTest.HostSignsFixedTranscript)")
    w("// with kIdentity over kAuthV2.transcript_hash, collected in signatures.txt")
    w("// and verified by the generator.")
    w("struct HostSignature {")
    w("  const char* platform;")
    w("  const char* signature;  // r || s")
    w("};")
    w("")
    w("inline constexpr HostSignature kHostSignatures[] = {")
    for platform, raw in host_signatures:
        w('    {"%s",' % platform)
        w("     %s}," % c_string(h(raw), 5))
    if not host_signatures:
        w('    {"none", ""},  // written with --bootstrap: no signatures collected yet')
    w("};")
    w("")
    w("}  // namespace orvane::security::key_vectors")

    text = "\n".join(out) + "\n"
    path = os.path.join(here, "key_vectors.inc")
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(text)
    print("wrote %s (%d bytes)" % (path, len(text)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
