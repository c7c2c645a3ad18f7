#pragma once

// Framing and packing of the messages exchanged with the pipeline server.
//
// Every message, in both directions, is a 24-byte header followed by a payload:
//   offset  0, 20 bytes: type name, single-byte characters, NUL padded
//   offset 20,  4 bytes: payload length, 32-bit signed, big-endian
//   offset 24, payload length bytes: text + NUL, int32 list, float list, one float, or nothing
//
// This library depends on the standard library only, so that both the client
// (packs requests, unpacks replies) and the pipeline simulator (unpacks requests,
// packs replies) can use it. Every reader checks its bounds: nothing is ever read
// outside the bytes it is given.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zefa::protocol {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline constexpr std::size_t kTypeNameSize = 20;
inline constexpr std::size_t kLengthOffset = 20;
inline constexpr std::size_t kHeaderSize = 24;
// Socket-level limits of the client: a sent message, and a received payload,
// may not exceed this many bytes.
inline constexpr std::int32_t kMaxMessageBytes = 32767;
inline constexpr std::int32_t kMaxPayloadBytes = 32767;

// Every message kind the client sends or receives. A request's value is its
// request kind code: the client's own number for the outstanding request, which
// selects how the next message is handled and is printed in the client's
// time-out report; it never travels on the wire (only the type name does).
// Replies have no code of their own; their values lie above every request code.
enum class MessageType : std::int32_t {
    // Requests (client to server).
    Start = 1,
    SimStep = 2,
    GettrResult = 3,
    StopServer = 5,
    SaveSnap = 6,
    LoadSnap = 7,
    InpNames = 12,
    InpSizes = 13,
    InpData = 14,
    OuttrNames = 15,
    SendtrNames = 21,
    SendprNames = 24,
    SetTime = 28,
    GetTime = 29,
    SetTend = 30,
    GetStep = 32,
    ReadInput = 37,
    Initialize = 38,
    Ping = 42,
    InputLogOn = 46,
    InputLogOff = 47,
    KeywordInput = 48,
    GetLabelList = 49,
    // Replies (server to client).
    Ok = 101,
    Pong,
    Error,
    OuttrSizes,
    OuttrData,
    SendtrSizes,
    SendtrData,
    SendprSizes,
    SendprData,
    OutTime,
    OutStep,
    LabelList,
};

// Every message kind, requests first.
extern const std::array<MessageType, 35> kMessageTypes;

// How a message kind carries its payload.
enum class PayloadForm { None, Text, IntList, FloatList, OneFloat, Unread };

// The type name on the wire, e.g. "ZEFA_PING".
std::string_view TypeName(MessageType type);
// Exact match of a type name (as returned by Header::name) to a known kind.
std::optional<MessageType> TypeFromName(std::string_view name);
bool IsRequest(MessageType type);
// Payload form of a message kind. Replies whose payload the client ignores
// ("ZEFA_OK", "ZEFA_PONG", "ZEFA_OUTTR_SIZES") give PayloadForm::Unread.
PayloadForm FormOf(MessageType type);

// Fixed text payloads of requests that carry no real argument.
inline constexpr std::string_view kPingText = "no data for ZEFA_PING";
inline constexpr std::string_view kPongText = "no data for ZEFA_PONG ";
inline constexpr std::string_view kInitializeText = "no additional data for initialize command";
inline constexpr std::string_view kSimStepText = "no additional data for sim_step command";
inline constexpr std::string_view kGetTimeText = "no additional data for get_time command";
inline constexpr std::string_view kGetStepText = "no additional data for get-step command";
inline constexpr std::string_view kLogOffText = "no data ";

// The payload descriptions of the wider protocol, one per message kind, in
// their defined order. They document the payload conventions; the client sends
// only the few listed above.
extern const std::array<std::string_view, 46> kPayloadDescriptions;

// ---- Big-endian helpers over a byte buffer (bounds checked; throw std::out_of_range).

void PutInt32BE(std::span<std::uint8_t> buffer, std::size_t offset, std::int32_t value);
void PutFloatBE(std::span<std::uint8_t> buffer, std::size_t offset, float value);
std::int32_t GetInt32BE(ByteView buffer, std::size_t offset);
float GetFloatBE(ByteView buffer, std::size_t offset);
// Writes the characters of `text` at `offset` (no terminating NUL).
void PutText(std::span<std::uint8_t> buffer, std::size_t offset, std::string_view text);
// The bytes [begin, end) as a text; the range is clipped to the buffer.
std::string GetText(ByteView buffer, std::size_t begin, std::size_t end);

// ---- Building messages. The name may have at most 20 bytes (std::length_error
// otherwise); names of the protocol have at most 19, so a NUL always follows.

// Header plus `payload_length` zero bytes, header filled in.
Bytes MakeMessage(std::string_view type_name, std::size_t payload_length);
// Payload form "none": 24 bytes.
Bytes PackEmpty(std::string_view type_name);
// Payload form "text": characters plus one NUL; length = characters + 1.
Bytes PackText(std::string_view type_name, std::string_view text);
// Payload form "integer list": 4 bytes per value, big-endian.
Bytes PackInts(std::string_view type_name, std::span<const std::int32_t> values);
// Payload form "float list": each float's 32 bits big-endian.
Bytes PackFloats(std::string_view type_name, std::span<const float> values);
// Payload form "one float".
Bytes PackFloat(std::string_view type_name, float value);
// A message whose payload is raw bytes (for example a whole embedded message).
Bytes PackRaw(std::string_view type_name, ByteView payload);

// Convenience overloads by kind.
Bytes PackEmpty(MessageType type);
Bytes PackText(MessageType type, std::string_view text);
Bytes PackInts(MessageType type, std::span<const std::int32_t> values);
Bytes PackFloats(MessageType type, std::span<const float> values);
Bytes PackFloat(MessageType type, float value);
Bytes PackRaw(MessageType type, ByteView payload);

// ---- Reading messages.

struct Header {
    std::string name;             // type-name bytes up to the first NUL (at most 20)
    std::int32_t payload_length;  // as sent; may be negative or huge in bad input
};

// The header at the start of `bytes`, or nothing when fewer than 24 bytes.
std::optional<Header> ParseHeader(ByteView bytes);

// True when the first 19 bytes of `message` (the type name less its last byte)
// begin with `name`, byte for byte. This is how the client recognises a reply.
bool HasTypePrefix(ByteView message, std::string_view name);

// Position of `needle` in `haystack` at or after `from`, or npos.
std::size_t FindBytes(ByteView haystack, std::string_view needle, std::size_t from = 0);

// One complete message: its name and exactly payload_length payload bytes.
struct Message {
    std::string name;
    Bytes payload;
};

// A complete message at the start of `bytes` (the first of several, if more
// follow). Nothing when the header or payload is incomplete or the length is
// negative. `consumed` receives 24 + payload length on success.
std::optional<Message> SplitMessage(ByteView bytes, std::size_t* consumed = nullptr);

// Strict payload decoders (for a receiver that wants well-formed input): nothing
// when the payload length is not a multiple of 4.
std::optional<std::vector<std::int32_t>> DecodeInts(ByteView payload);
std::optional<std::vector<float>> DecodeFloats(ByteView payload);
// A text payload: the bytes with trailing NUL bytes removed.
std::string DecodeText(ByteView payload);

// The unpacking rule of the client for a list that starts at `offset` in a
// received buffer: the payload length L is read at offset + 20, the count is
// L / 4 rounded to the nearest whole number (halves to even), and element k is
// read at offset + 24 + 4k. A count of 0 or less, or elements that run past the
// buffer, end the unpacking with UnpackError; `out` then holds the values read
// before the failure (it is left untouched when the count itself is invalid).
class UnpackError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
void UnpackIntList(ByteView buffer, std::size_t offset, std::vector<std::int32_t>& out);
void UnpackFloatList(ByteView buffer, std::size_t offset, std::vector<float>& out);

// Accumulates bytes from a stream and cuts them into messages. A payload length
// below 0 or above `max_payload` puts the assembler into a failed state (the
// stream cannot be re-synchronised).
class FrameAssembler {
  public:
    explicit FrameAssembler(std::int32_t max_payload = kMaxPayloadBytes)
        : max_payload_(max_payload) {}

    void Append(ByteView bytes);
    // The next complete message, or nothing when more bytes are needed or failed.
    std::optional<Message> Next();
    bool Failed() const { return failed_; }
    std::size_t Buffered() const { return buffer_.size() - start_; }

  private:
    Bytes buffer_;
    std::size_t start_ = 0;
    std::int32_t max_payload_;
    bool failed_ = false;
};

}  // namespace zefa::protocol
