// The message protocol: type names and codes, the framing of a message, and
// packing and unpacking of texts, integers and floats.
#include "client/protocol.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace zefa::protocol {

namespace {

struct TypeInfo {
    MessageType type;
    std::string_view name;
    PayloadForm form;
};

constexpr std::array<TypeInfo, 35> kTypes{{
    {MessageType::Start, "ZEFA_START", PayloadForm::Text},
    {MessageType::SimStep, "ZEFA_SIM_STEP", PayloadForm::Text},
    {MessageType::GettrResult, "ZEFA_GETTR_RESULT", PayloadForm::None},
    {MessageType::StopServer, "ZEFA_STOP_SERVER", PayloadForm::None},
    {MessageType::SaveSnap, "ZEFA_SAVE_SNAP", PayloadForm::Text},
    {MessageType::LoadSnap, "ZEFA_LOAD_SNAP", PayloadForm::Text},
    {MessageType::InpNames, "ZEFA_INP_NAMES", PayloadForm::Text},
    {MessageType::InpSizes, "ZEFA_INP_SIZES", PayloadForm::IntList},
    {MessageType::InpData, "ZEFA_INP_DATA", PayloadForm::FloatList},
    {MessageType::OuttrNames, "ZEFA_OUTTR_NAMES", PayloadForm::Text},
    {MessageType::SendtrNames, "ZEFA_SENDTR_NAMES", PayloadForm::Text},
    {MessageType::SendprNames, "ZEFA_SENDPR_NAMES", PayloadForm::Text},
    {MessageType::SetTime, "ZEFA_SET_TIME", PayloadForm::OneFloat},
    {MessageType::GetTime, "ZEFA_GET_TIME", PayloadForm::Text},
    {MessageType::SetTend, "ZEFA_SET_TEND", PayloadForm::OneFloat},
    {MessageType::GetStep, "ZEFA_GET_STEP", PayloadForm::Text},
    {MessageType::ReadInput, "ZEFA_READ_INPUT", PayloadForm::Text},
    {MessageType::Initialize, "ZEFA_INITIALIZE", PayloadForm::Text},
    {MessageType::Ping, "ZEFA_PING", PayloadForm::Text},
    {MessageType::InputLogOn, "ZEFA_INPUT_LOG_ON", PayloadForm::Text},
    {MessageType::InputLogOff, "ZEFA_INPUT_LOG_OFF", PayloadForm::Text},
    {MessageType::KeywordInput, "ZEFA_KEYWORD_INPUT", PayloadForm::Text},
    {MessageType::GetLabelList, "ZEFA_GET_LABEL_LIST", PayloadForm::Text},
    {MessageType::Ok, "ZEFA_OK", PayloadForm::Unread},
    {MessageType::Pong, "ZEFA_PONG", PayloadForm::Unread},
    {MessageType::Error, "ZEFA_ERROR", PayloadForm::Text},
    {MessageType::OuttrSizes, "ZEFA_OUTTR_SIZES", PayloadForm::Unread},
    {MessageType::OuttrData, "ZEFA_OUTTR_DATA", PayloadForm::FloatList},
    {MessageType::SendtrSizes, "ZEFA_SENDTR_SIZES", PayloadForm::IntList},
    {MessageType::SendtrData, "ZEFA_SENDTR_DATA", PayloadForm::FloatList},
    {MessageType::SendprSizes, "ZEFA_SENDPR_SIZES", PayloadForm::IntList},
    {MessageType::SendprData, "ZEFA_SENDPR_DATA", PayloadForm::FloatList},
    {MessageType::OutTime, "ZEFA_OUT_TIME", PayloadForm::FloatList},
    {MessageType::OutStep, "ZEFA_OUT_STEP", PayloadForm::FloatList},
    {MessageType::LabelList, "ZEFA_LABEL_LIST", PayloadForm::Text},
}};

const TypeInfo& Info(MessageType type) {
    for (const auto& info : kTypes) {
        if (info.type == type) return info;
    }
    throw std::out_of_range("unknown message type");
}

void CheckRange(std::size_t size, std::size_t offset, std::size_t count) {
    if (offset > size || count > size - offset) {
        throw std::out_of_range("read or write outside the message buffer");
    }
}

std::uint32_t LoadBE(ByteView buffer, std::size_t offset) {
    CheckRange(buffer.size(), offset, 4);
    return (std::uint32_t{buffer[offset]} << 24) | (std::uint32_t{buffer[offset + 1]} << 16) |
           (std::uint32_t{buffer[offset + 2]} << 8) | std::uint32_t{buffer[offset + 3]};
}

void StoreBE(std::span<std::uint8_t> buffer, std::size_t offset, std::uint32_t value) {
    CheckRange(buffer.size(), offset, 4);
    buffer[offset] = static_cast<std::uint8_t>(value >> 24);
    buffer[offset + 1] = static_cast<std::uint8_t>(value >> 16);
    buffer[offset + 2] = static_cast<std::uint8_t>(value >> 8);
    buffer[offset + 3] = static_cast<std::uint8_t>(value);
}

// Number of list elements for a payload length: L / 4 rounded to nearest, halves to even.
std::int64_t ListCount(std::int32_t payload_length) {
    return static_cast<std::int64_t>(std::nearbyint(static_cast<double>(payload_length) / 4.0));
}

template <class T, class Read>
void UnpackList(ByteView buffer, std::size_t offset, std::vector<T>& out, Read read) {
    if (offset > buffer.size() || buffer.size() - offset < kHeaderSize) {
        throw UnpackError("Subscript out of range");
    }
    const std::int64_t count = ListCount(GetInt32BE(buffer, offset + kLengthOffset));
    if (count <= 0) throw UnpackError("Subscript out of range");
    const std::size_t available = (buffer.size() - offset - kHeaderSize) / 4;
    const auto readable = static_cast<std::size_t>(
        std::min<std::int64_t>(count, static_cast<std::int64_t>(available)));
    out.clear();
    out.reserve(readable);
    for (std::size_t k = 0; k < readable; ++k) {
        out.push_back(read(buffer, offset + kHeaderSize + 4 * k));
    }
    if (static_cast<std::int64_t>(readable) < count) throw UnpackError("Subscript out of range");
}

}  // namespace

const std::array<MessageType, 35> kMessageTypes = [] {
    std::array<MessageType, 35> types{};
    for (std::size_t i = 0; i < kTypes.size(); ++i) types[i] = kTypes[i].type;
    return types;
}();

const std::array<std::string_view, 46> kPayloadDescriptions{
    "case1 start-up information",
    "no additional data for sim_step command",
    "no additional data for gettr_result command",
    "no additional data for getpr_result command",
    "no additional data for stop_server command",
    "relative/path/name/for/save_snap/command",
    "relative/path/name/for/load_snap/command",
    "relative/path/name/for/delete_snap/command",
    "no additional data for print command",
    "no additional data for trend-plot command",
    "no additional data for profile-plot command",
    "inp_names name list",
    "inp_sizes size list",
    "inp_data float values",
    "outtr_names name list",
    "outtr_sizes size list",
    "outtr_data float values",
    "outpr_names name list",
    "outpr_sizes size list",
    "outpr_data float values",
    "sendtr_names name list",
    "sendtr_sizes size list",
    "sendtr_data float values",
    "sendpr_names name list",
    "sendpr_sizes size list",
    "sendpr_data float values",
    "def_position name list",
    "set_time float time value",
    "no additional data for get_time command",
    "set_tend float tend value",
    "file_old_name file_new_name",
    "out_time float simulation-time value",
    "no additional data for get-step command",
    "out-step float timestep value",
    "test data structure",
    "no additional data for test_on command",
    "no additional data for test_off command",
    "file_remove",
    "no additional data for initialize command",
    "no data ",
    "no data for ZEFA_PIG_LAUNCH",
    "no data for ZEFA_PING",
    "no data for ZEFA_PONG ",
    "number of steps between interrupt checks",
    "no data for ZEFA_HALT",
    "file_from file_new_copy",
};

std::string_view TypeName(MessageType type) {
    return Info(type).name;
}

std::optional<MessageType> TypeFromName(std::string_view name) {
    for (const auto& info : kTypes) {
        if (info.name == name) return info.type;
    }
    return std::nullopt;
}

bool IsRequest(MessageType type) {
    return static_cast<std::int32_t>(Info(type).type) < static_cast<std::int32_t>(MessageType::Ok);
}

PayloadForm FormOf(MessageType type) {
    return Info(type).form;
}

void PutInt32BE(std::span<std::uint8_t> buffer, std::size_t offset, std::int32_t value) {
    StoreBE(buffer, offset, static_cast<std::uint32_t>(value));
}

void PutFloatBE(std::span<std::uint8_t> buffer, std::size_t offset, float value) {
    StoreBE(buffer, offset, std::bit_cast<std::uint32_t>(value));
}

std::int32_t GetInt32BE(ByteView buffer, std::size_t offset) {
    return static_cast<std::int32_t>(LoadBE(buffer, offset));
}

float GetFloatBE(ByteView buffer, std::size_t offset) {
    return std::bit_cast<float>(LoadBE(buffer, offset));
}

void PutText(std::span<std::uint8_t> buffer, std::size_t offset, std::string_view text) {
    CheckRange(buffer.size(), offset, text.size());
    std::memcpy(buffer.data() + offset, text.data(), text.size());
}

std::string GetText(ByteView buffer, std::size_t begin, std::size_t end) {
    end = std::min(end, buffer.size());
    if (begin >= end) return {};
    return std::string(reinterpret_cast<const char*>(buffer.data() + begin), end - begin);
}

Bytes MakeMessage(std::string_view type_name, std::size_t payload_length) {
    if (type_name.size() > kTypeNameSize) {
        throw std::length_error("message type name longer than 20 bytes");
    }
    if (payload_length >
        static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - kHeaderSize) {
        throw std::length_error("message payload too long");
    }
    Bytes message(kHeaderSize + payload_length, 0);
    PutText(message, 0, type_name);
    PutInt32BE(message, kLengthOffset, static_cast<std::int32_t>(payload_length));
    return message;
}

Bytes PackEmpty(std::string_view type_name) {
    return MakeMessage(type_name, 0);
}

Bytes PackText(std::string_view type_name, std::string_view text) {
    Bytes message = MakeMessage(type_name, text.size() + 1);
    PutText(message, kHeaderSize, text);  // the final byte stays 0: the NUL
    return message;
}

Bytes PackInts(std::string_view type_name, std::span<const std::int32_t> values) {
    Bytes message = MakeMessage(type_name, values.size() * 4);
    for (std::size_t k = 0; k < values.size(); ++k) {
        PutInt32BE(message, kHeaderSize + 4 * k, values[k]);
    }
    return message;
}

Bytes PackFloats(std::string_view type_name, std::span<const float> values) {
    Bytes message = MakeMessage(type_name, values.size() * 4);
    for (std::size_t k = 0; k < values.size(); ++k) {
        PutFloatBE(message, kHeaderSize + 4 * k, values[k]);
    }
    return message;
}

Bytes PackFloat(std::string_view type_name, float value) {
    return PackFloats(type_name, std::span<const float>(&value, 1));
}

Bytes PackRaw(std::string_view type_name, ByteView payload) {
    Bytes message = MakeMessage(type_name, payload.size());
    std::copy(payload.begin(), payload.end(), message.begin() + kHeaderSize);
    return message;
}

Bytes PackEmpty(MessageType type) {
    return PackEmpty(TypeName(type));
}
Bytes PackText(MessageType type, std::string_view text) {
    return PackText(TypeName(type), text);
}
Bytes PackInts(MessageType type, std::span<const std::int32_t> values) {
    return PackInts(TypeName(type), values);
}
Bytes PackFloats(MessageType type, std::span<const float> values) {
    return PackFloats(TypeName(type), values);
}
Bytes PackFloat(MessageType type, float value) {
    return PackFloat(TypeName(type), value);
}
Bytes PackRaw(MessageType type, ByteView payload) {
    return PackRaw(TypeName(type), payload);
}

std::optional<Header> ParseHeader(ByteView bytes) {
    if (bytes.size() < kHeaderSize) return std::nullopt;
    Header header;
    const auto* name = reinterpret_cast<const char*>(bytes.data());
    header.name.assign(name, strnlen(name, kTypeNameSize));
    header.payload_length = GetInt32BE(bytes, kLengthOffset);
    return header;
}

bool HasTypePrefix(ByteView message, std::string_view name) {
    constexpr std::size_t kCompared = kTypeNameSize - 1;
    if (name.size() > kCompared || message.size() < name.size()) return false;
    return std::equal(name.begin(), name.end(), message.begin(),
                      [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

std::size_t FindBytes(ByteView haystack, std::string_view needle, std::size_t from) {
    if (needle.empty() || from > haystack.size() || haystack.size() - from < needle.size()) {
        return std::string_view::npos;
    }
    const auto* first = reinterpret_cast<const std::uint8_t*>(needle.data());
    auto it = std::search(haystack.begin() + static_cast<std::ptrdiff_t>(from), haystack.end(),
                          first, first + needle.size());
    if (it == haystack.end()) return std::string_view::npos;
    return static_cast<std::size_t>(it - haystack.begin());
}

std::optional<Message> SplitMessage(ByteView bytes, std::size_t* consumed) {
    auto header = ParseHeader(bytes);
    if (!header || header->payload_length < 0) return std::nullopt;
    const auto length = static_cast<std::size_t>(header->payload_length);
    if (bytes.size() - kHeaderSize < length) return std::nullopt;
    Message message;
    message.name = std::move(header->name);
    message.payload.assign(bytes.begin() + kHeaderSize,
                           bytes.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + length));
    if (consumed != nullptr) *consumed = kHeaderSize + length;
    return message;
}

std::optional<std::vector<std::int32_t>> DecodeInts(ByteView payload) {
    if (payload.size() % 4 != 0) return std::nullopt;
    std::vector<std::int32_t> values(payload.size() / 4);
    for (std::size_t k = 0; k < values.size(); ++k) values[k] = GetInt32BE(payload, 4 * k);
    return values;
}

std::optional<std::vector<float>> DecodeFloats(ByteView payload) {
    if (payload.size() % 4 != 0) return std::nullopt;
    std::vector<float> values(payload.size() / 4);
    for (std::size_t k = 0; k < values.size(); ++k) values[k] = GetFloatBE(payload, 4 * k);
    return values;
}

std::string DecodeText(ByteView payload) {
    std::size_t end = payload.size();
    while (end > 0 && payload[end - 1] == 0) --end;
    return GetText(payload, 0, end);
}

void UnpackIntList(ByteView buffer, std::size_t offset, std::vector<std::int32_t>& out) {
    UnpackList(buffer, offset, out, [](ByteView b, std::size_t at) { return GetInt32BE(b, at); });
}

void UnpackFloatList(ByteView buffer, std::size_t offset, std::vector<float>& out) {
    UnpackList(buffer, offset, out, [](ByteView b, std::size_t at) { return GetFloatBE(b, at); });
}

void FrameAssembler::Append(ByteView bytes) {
    if (failed_) return;
    // Drop what has been consumed before growing, so the buffer stays small.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Message> FrameAssembler::Next() {
    if (failed_) return std::nullopt;
    const ByteView pending(buffer_.data() + start_, buffer_.size() - start_);
    auto header = ParseHeader(pending);
    if (!header) return std::nullopt;
    if (header->payload_length < 0 || header->payload_length > max_payload_) {
        failed_ = true;
        return std::nullopt;
    }
    std::size_t consumed = 0;
    auto message = SplitMessage(pending, &consumed);
    if (!message) return std::nullopt;
    start_ += consumed;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return message;
}

}  // namespace zefa::protocol
