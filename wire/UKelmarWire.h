// The peer protocol's messages: type numbers, lengths, keys, scrambled ranges, builders, parsers.
#pragma once

#include <cstdint>

#include "CKelmarNet.h"
#include "CLongCRC.h"

// Every fact of the message formats lives here; the peer keeps only its state machine.
// Builders write a message in plain bytes from byte 0 of a packet and return its length;
// Seal then scrambles it for the wire. On receipt, Unseal checks the length that the
// type needs and descrambles; a parser then checks the length again before it reads a
// field, and reads nothing past it. No operation allocates; all are thread-safe.
class UKelmarWire {
 public:
  UKelmarWire() = delete;

  // Message types; every other value of byte 0 is never sent and is ignored.
  enum Type : std::uint8_t {
    pakBcon = 1,     // beacon: two numbers for the partner
    pakRefuse = 2,   // a request refused (wrong password, or not listening)
    pakConnect = 4,  // connection request
    pakClose = 5,    // close notice
    pakAccept = 6,   // request accepted
    pakBusy = 7,     // a request from a second party, or from ourselves
    pakDeny = 8,     // the owner denied the request
    pakTurn = 12,    // compressed turn
    pakSame = 13,    // turn unchanged
    pakAlive = 14,   // keep-alive
  };

  // Which key a type is scrambled with: the fixed seed, or a password digest (the
  // receiver's own digest, which the sender holds for it).
  enum class Key : std::uint8_t { seed, digest };

  // A length range in bytes, both ends included.
  struct SLength {
    std::uint32_t min;
    std::uint32_t max;
    friend constexpr bool operator==(SLength const&, SLength const&) = default;
  };

  // Type, salt (or nonce) and link id: the first bytes of every message.
  static constexpr std::uint32_t kHeaderSize = 3;
  static constexpr std::uint32_t kMaxPakSize = CKelmarNet::kMaxPakSize;
  // A request's password is cut to this length; with its digest and at least one zero
  // after it, the request still fits a packet.
  static constexpr std::uint32_t kMaxPassword = 760;
  // A request's password is followed by 1 to 16 zero bytes.
  static constexpr std::uint32_t kMaxPadding = 16;
  // The longest compressed turn: the turn and one byte per 127 of it, started.
  static constexpr std::uint32_t kMaxTurnPayload =
      CKelmarNet::kMaxTurnSize + (CKelmarNet::kMaxTurnSize + 126) / 127;

  // Whether `type` is a message type at all.
  static constexpr bool isType(std::uint8_t type) {
    switch (type) {
      case pakBcon:
      case pakRefuse:
      case pakConnect:
      case pakClose:
      case pakAccept:
      case pakBusy:
      case pakDeny:
      case pakTurn:
      case pakSame:
      case pakAlive:
        return true;
      default:
        return false;
    }
  }

  // The key a type is scrambled with (for a type that is none: digest).
  static constexpr Key keyOf(std::uint8_t type) {
    return type == pakBcon || type == pakRefuse ? Key::seed : Key::digest;
  }
  // The 32-bit key that scrambles a message of `type`, given the digest in play.
  static constexpr std::uint32_t keyFor(std::uint8_t type, std::uint64_t digest) {
    return keyOf(type) == Key::seed ? CKelmarNet::kDefaultSeed : static_cast<std::uint32_t>(digest);
  }

  // How many of a message's `len` bytes are scrambled: all of them, but for a turn only
  // its header; its compressed payload travels in clear. Byte 0 is never changed.
  static constexpr std::uint32_t scrambledLength(std::uint8_t type, std::uint32_t len) {
    return type == pakTurn && len > kHeaderSize ? kHeaderSize : len;
  }

  // The lengths a builder produces for `type`; {0, 0} for a type that is none.
  static constexpr SLength sentLength(std::uint8_t type) {
    switch (type) {
      case pakBcon:
        return {11, 11};
      case pakConnect:
        return {kHeaderSize + 4 + 1, kMaxPakSize};
      case pakAccept:
        return {4, 4};
      case pakTurn:
        return {kHeaderSize, kHeaderSize + kMaxTurnPayload};
      case pakRefuse:
      case pakClose:
      case pakBusy:
      case pakDeny:
      case pakSame:
      case pakAlive:
        return {kHeaderSize, kHeaderSize};
      default:
        return {0, 0};
    }
  }
  // The lengths of a request whose password is `passwordLen` bytes long.
  static constexpr SLength connectLength(std::uint32_t passwordLen) {
    const std::uint32_t l = passwordLen < kMaxPassword ? passwordLen : kMaxPassword;
    const std::uint32_t longest = kHeaderSize + 4 + l + kMaxPadding;
    return {kHeaderSize + 4 + l + 1, longest < kMaxPakSize ? longest : kMaxPakSize};
  }
  // The shortest datagram of `type` that a receiver reads at all; it takes longer ones
  // and ignores what follows the message. A request shorter than a whole one is read,
  // and refused. 0 for a type that is none.
  static constexpr std::uint32_t minLength(std::uint8_t type) {
    if (!isType(type)) return 0;
    return type == pakBcon ? 11 : type == pakAccept ? 4 : kHeaderSize;
  }

  // ---- scrambling ----------------------------------------------------------------

  // Scrambles the `len`-byte message in `pak` in place: the range its type (byte 0)
  // scrambles, with the key its type uses (`digest` for digest types). `crc` is the
  // register used; it is loaded with the key first.
  static void Seal(SKelmarNetPak& pak, std::uint32_t len, std::uint64_t digest, CLongCRC& crc);
  // On receipt: false, with `pak` untouched, when byte 0 is no message type or `len` is
  // below its minLength. Otherwise descrambles what the sender scrambled, with the key
  // the type uses (`ownDigest` for digest types), and returns true.
  static bool Unseal(SKelmarNetPak& pak, std::uint32_t len, std::uint64_t ownDigest, CLongCRC& crc);

  // ---- messages, in plain bytes ----------------------------------------------------

  // pakRefuse, pakClose, pakBusy, pakDeny, pakSame and pakAlive: the header alone.
  struct SShort {
    std::uint8_t salt = 0;
    std::uint8_t link = 0;  // 0 in a refusal; else the sender's or requester's link id
  };
  struct SBcon {
    std::uint8_t salt = 0;
    std::uint32_t first = 0;
    std::uint64_t second = 0;  // the low 32 bits travel; received sign-extended
  };
  struct SConnect {
    std::uint8_t nonce = 0;    // the requester's, the same in every repeat
    std::uint8_t link = 0;     // the requester's own link id
    std::uint32_t digest = 0;  // the requester's own digest: the key of the answers
    // The password and its zero padding, as received; valid while the datagram is.
    unsigned char const* tail = nullptr;
    std::uint32_t tailLen = 0;
  };
  struct SAccept {
    std::uint8_t nonce = 0;     // the acceptor's
    std::uint8_t link = 0;      // the requester's link id, from its request
    std::uint8_t acceptor = 0;  // the acceptor's own link id
  };
  struct STurn {
    std::uint8_t salt = 0;
    std::uint8_t link = 0;
    // The compressed turn (CKelmarNet::DecodeData); valid while the datagram is.
    unsigned char const* payload = nullptr;
    std::uint32_t payloadLen = 0;
  };

  // Builders: each writes its message from byte 0 of `out` and returns its length.
  static std::uint32_t BuildBcon(SKelmarNetPak& out, SBcon const& m);
  static std::uint32_t BuildRefuse(SKelmarNetPak& out, std::uint8_t salt);
  // The password is cut to kMaxPassword bytes and followed by min((random & 15) + 1,
  // what still fits) zero bytes.
  static std::uint32_t BuildConnect(SKelmarNetPak& out, std::uint8_t nonce, std::uint8_t link,
                                    std::uint32_t ownDigest, unsigned char const* password,
                                    std::uint32_t passwordLen, std::uint64_t random);
  static std::uint32_t BuildClose(SKelmarNetPak& out, SShort const& m);
  static std::uint32_t BuildAccept(SKelmarNetPak& out, SAccept const& m);
  static std::uint32_t BuildBusy(SKelmarNetPak& out, SShort const& m);
  static std::uint32_t BuildDeny(SKelmarNetPak& out, SShort const& m);
  // Compresses the `size`-byte turn (at most CKelmarNet::kMaxTurnSize) after the header.
  static std::uint32_t BuildTurn(SKelmarNetPak& out, SShort const& header,
                                 unsigned char const* turn, std::uint16_t size);
  static std::uint32_t BuildSame(SKelmarNetPak& out, SShort const& m);
  static std::uint32_t BuildAlive(SKelmarNetPak& out, SShort const& m);

  // Parsers: each takes the `len` plain bytes at `pak` and is false when they are no
  // such message: byte 0 another type, or `len` too short. They read nothing past len.
  // A beacon also needs link 0 and a second value whose top byte is not 0x7F.
  static bool ParseBcon(unsigned char const* pak, std::uint32_t len, SBcon& m);
  // A refusal also needs link 0.
  static bool ParseRefuse(unsigned char const* pak, std::uint32_t len, SShort& m);
  // A request needs its digest and at least one byte after it; whether it carries a
  // given password is holdsPassword's answer.
  static bool ParseConnect(unsigned char const* pak, std::uint32_t len, SConnect& m);
  static bool ParseClose(unsigned char const* pak, std::uint32_t len, SShort& m);
  static bool ParseAccept(unsigned char const* pak, std::uint32_t len, SAccept& m);
  static bool ParseBusy(unsigned char const* pak, std::uint32_t len, SShort& m);
  static bool ParseDeny(unsigned char const* pak, std::uint32_t len, SShort& m);
  static bool ParseTurn(unsigned char const* pak, std::uint32_t len, STurn& m);
  static bool ParseSame(unsigned char const* pak, std::uint32_t len, SShort& m);
  static bool ParseAlive(unsigned char const* pak, std::uint32_t len, SShort& m);

  // Whether a parsed request carries `password` (`len` bytes) followed by a zero byte,
  // all inside the datagram.
  static bool holdsPassword(SConnect const& m, unsigned char const* password, std::uint32_t len);
};
