#pragma once

// The requests ZEFA_Client sends, one row each: the operation that reports for
// it, its trace label, whether it waits, and how its reply is read. Shared by
// the request path (zefa_client.cpp) and the reply handling (client_replies.cpp).

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "client/protocol.h"
#include "platform/text.h"

namespace zefa::request_table {

namespace pr = protocol;
using protocol::MessageType;

inline std::vector<double> Widen(const std::vector<float>& values) {
    return std::vector<double>(values.begin(), values.end());
}

inline std::int32_t WholeSeconds(double seconds) {
    return zefa::RoundToInt32(seconds);
}

// Whether a request waits for its reply.
enum class Wait { Always, Never, AsAsked };

// How the reply to an outstanding request is handled.
enum class Shape {
    None,          // no reply is read: a message that arrives anyway is a coding error
    Single,        // one reply message of the accepted type
    Step,          // the step's trend data, possibly after or inside a ZEFA_OK
    SizesAndData,  // a sizes message and a data message, or the data message alone
};
// What accepting a single reply unpacks (and traces after its label).
enum class Unpack { Nothing, Data, TrendData, Labels };
// What a single reply of another type does to the wait.
enum class OnOther {
    ErrorThenEnd,   // a server error is handled; any other reply ends the wait too
    ErrorElseKeep,  // a server error is handled; any other reply leaves the wait going
    End,            // the wait ends; a server error is just an unexpected reply
    Keep,           // the wait goes on; a server error is just an unexpected reply
};

struct ReplyRule {
    Shape shape = Shape::None;
    MessageType accepted = MessageType::Ok;  // the (data) reply that completes the request
    Unpack unpack = Unpack::Nothing;
    OnOther other = OnOther::ErrorThenEnd;
    MessageType sizes = MessageType::Ok;  // the sizes reply of a sizes-and-data request
    bool eventsBeforeData = false;        // let the host process its events before unpacking
};

inline constexpr ReplyRule kNoReplyRead{};
inline constexpr ReplyRule kOkReply{Shape::Single, MessageType::Ok};

struct RequestRow {
    MessageType type;
    std::string_view operation;  // the name in "METHOD -- <operation> " reports
    std::string_view trace;      // trace label of the request
    Wait wait;
    std::string_view fixedText;  // payload of a text request sent without argument
    ReplyRule reply;
};

// One row per request the client sends.
inline constexpr std::array<RequestRow, 23> kRequests{{
    {MessageType::Ping,
     "Ping",
     "ZEFA_PING",
     Wait::Always,
     pr::kPingText,
     {Shape::Single, MessageType::Pong, Unpack::Nothing, OnOther::End}},
    {MessageType::ReadInput, "LoadFile", "ZEFA_READ_INPUT", Wait::Always, {}, kOkReply},
    {MessageType::Start, "LoadAndInit", "ZEFA_START", Wait::Always, {}, kOkReply},
    {MessageType::LoadSnap, "LoadSnap", "ZEFA_LOAD_SNAP", Wait::Always, {}, kOkReply},
    {MessageType::SaveSnap, "SaveSnap", "ZEFA_SAVE_SNAP", Wait::Always, {}, kOkReply},
    {MessageType::StopServer, "CloseFile", "ZEFA_STOP_SERVER", Wait::Never, {}, kNoReplyRead},
    {MessageType::InpNames, "SetInputNames", "ZEFA_INP_NAMES", Wait::Always, {}, kOkReply},
    {MessageType::InpSizes, "SetInputSizes", "ZEFA_INP_SIZES", Wait::Always, {}, kOkReply},
    {MessageType::InpData, "SetInputData", "ZEFA_INP_DATA", Wait::Never, {}, kNoReplyRead},
    {MessageType::OuttrNames,
     "SetOutTrendNames",
     "ZEFA_OUTTR_NAMES",
     Wait::Always,
     {},
     {Shape::Single, MessageType::OuttrSizes}},
    {MessageType::GettrResult,
     "GetOutTrendData",
     "ZEFA_GETTR_RESULT",
     Wait::Always,
     {},
     {Shape::Single, MessageType::OuttrData, Unpack::TrendData, OnOther::Keep}},
    {MessageType::SendtrNames,
     "SetSendTrendNames",
     "ZEFA_SENDTR_NAMES",
     Wait::Always,
     {},
     {Shape::SizesAndData, MessageType::SendtrData, Unpack::Data, OnOther::ErrorElseKeep,
      MessageType::SendtrSizes}},
    {MessageType::SendprNames,
     "SetSendProfileNames",
     "ZEFA_SENDPR_NAMES ",
     Wait::Always,
     {},
     {Shape::SizesAndData, MessageType::SendprData, Unpack::Data, OnOther::ErrorElseKeep,
      MessageType::SendprSizes, true}},
    {MessageType::Initialize, "InitializeSolver", "ZEFA_INITIALIZE", Wait::Always,
     pr::kInitializeText, kOkReply},
    {MessageType::SimStep,
     "SimulateStep",
     "ZEFA_SIM_STEP",
     Wait::AsAsked,
     pr::kSimStepText,
     {Shape::Step, MessageType::OuttrData, Unpack::TrendData, OnOther::ErrorElseKeep}},
    {MessageType::SetTend, "SetEndTime", "ZEFA_SET_TEND", Wait::Never, {}, kOkReply},
    {MessageType::SetTime, "SetSimTime", "ZEFA_SET_TIME", Wait::Never, {}, kNoReplyRead},
    {MessageType::GetTime,
     "GetSimTime",
     "ZEFA_GET_TIME",
     Wait::Always,
     pr::kGetTimeText,
     {Shape::Single, MessageType::OutTime, Unpack::Data, OnOther::ErrorElseKeep}},
    {MessageType::GetStep,
     "GetPlannedTimeStep",
     "ZEFA_GET_STEP",
     Wait::Always,
     pr::kGetStepText,
     {Shape::Single, MessageType::OutStep, Unpack::Data}},
    {MessageType::InputLogOn, "SetLogging", "ZEFA_INPUT_LOG_ON", Wait::Always, {}, kOkReply},
    {MessageType::InputLogOff, "SetLogging", "ZEFA_INPUT_LOG_OFF", Wait::Always, pr::kLogOffText,
     kOkReply},
    {MessageType::KeywordInput, "SendKeywords", "ZEFA_KEYWORD_INPUT", Wait::Always, {}, kOkReply},
    {MessageType::GetLabelList,
     "GetLabelList",
     "ZEFA_GET_LABEL_LIST",
     Wait::Always,
     {},
     {Shape::Single, MessageType::LabelList, Unpack::Labels}},
}};

// The row of a request kind; nothing for a code that names no request.
inline const RequestRow* RowOf(MessageType type) {
    for (const auto& row : kRequests) {
        if (row.type == type) return &row;
    }
    return nullptr;
}

inline const RequestRow& RequireRow(MessageType type) {
    if (const RequestRow* row = RowOf(type)) return *row;
    throw std::logic_error("no request row for a message kind");
}

}  // namespace zefa::request_table
