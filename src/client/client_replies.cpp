// ZEFA_Client's messages on the wire: sending a request and waiting for its
// reply, then reading each reply by the rule of its request's row (single
// replies, step results, sizes and data, server errors).
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <type_traits>

#include "client/request_table.h"
#include "client/tcp.h"
#include "client/zefa_client.h"
#include "client/zefa_client_trap.h"
#include "platform/error.h"
#include "platform/text.h"

namespace zefa {

namespace {

namespace pr = protocol;
using Bytes = std::vector<std::uint8_t>;
using pr::MessageType;
using namespace request_table;

constexpr std::string_view kBusyMessage =
    "Your attempt to message with ZEFA has been aborted as we are waiting for the ZEFA "
    "simulation to finish its time step.  Please try this operation later.";
constexpr std::string_view kSendError =
    "Error sending message to ZEFA Server -- Server is not responding.";
constexpr std::string_view kReceiveError =
    "Error receiving message from ZEFA Server -- Server is not responding.";
constexpr std::string_view kNoReply =
    "No reply (within the timeout period) from the ZEFA Server for the Client sent message of "
    "type: ";
constexpr std::string_view kCodingError =
    "ZEFA_Client Reported Error: Coding error in KAVRIS-ZEFA Link Extension.  Undefined "
    "messageType.";
constexpr std::string_view kDifferentMessage =
    "ZEFA_Client Reported Error: A message was sent by the client and a certain response "
    "message was expected from the Server but a different message was received as follows: ";
constexpr std::string_view kServerError =
    "ZEFA_SERVER Reported Error (ZEFA_ERROR - Log All Communication and review log file): ";
constexpr std::string_view kReplyPrefix = "ServerToClient_";

// Leading and trailing blanks removed. NUL bytes at either end (header padding,
// a text's terminator) go too, so that reports and trace lines stay plain text.
std::string TrimBlanks(std::string_view text) {
    constexpr std::string_view kTrimmed(" \0", 2);
    const auto first = text.find_first_not_of(kTrimmed);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kTrimmed);
    return std::string(text.substr(first, last - first + 1));
}

// Substring from a 1-based start, clipped to the text, like a "mid" function.
std::string Mid(const std::string& text, std::int64_t start, std::int64_t length = -1) {
    if (start < 1 || static_cast<std::size_t>(start) > text.size()) return {};
    const auto from = static_cast<std::size_t>(start - 1);
    if (length < 0) return text.substr(from);
    return text.substr(from, static_cast<std::size_t>(length));
}

bool IsType(const Bytes& buffer, pr::MessageType type) {
    return pr::HasTypePrefix(buffer, pr::TypeName(type));
}

std::string ReplyLabel(pr::MessageType type) {
    return std::string(kReplyPrefix) + std::string(pr::TypeName(type));
}

}  // namespace

// ------------------------------------------------------- sending and waiting

bool ZEFA_Client::SendMessage(const protocol::Bytes& message, bool waitForReply) {
    waiting_ = waitForReply;
    ReplyOK = false;
    // Lists of an earlier reply must never be taken for this request's answer.
    sizes_.clear();
    data_.clear();

    // While a step is outstanding only another step or the stop request may go
    // out; the step's reply, when it comes, is handled as a step reply.
    if (!StepComplete && kind_ != MessageType::SimStep && kind_ != MessageType::StopServer) {
        kind_ = MessageType::SimStep;
        waiting_ = false;
        ReportError(std::string(kBusyMessage));
        return false;
    }
    if (connected_) {
        const std::int32_t seconds = WholeSeconds(TCPTimeOut);
        if (tcp::TCPSend(socket_, message, seconds) <= 0) {
            waiting_ = false;
            ReportError(std::string(kSendError));
            return false;
        }
        const std::uint64_t start = clock_->TickCountMs();
        const std::int64_t limit_ms = static_cast<std::int64_t>(seconds) * 1000;
        bool timedOut = false;
        while (waiting_) {
            const auto elapsed = static_cast<std::int64_t>(clock_->TickCountMs() - start);
            if (elapsed > limit_ms) {
                waiting_ = false;
                timedOut = true;
                ReportError(std::string(kNoReply) + std::to_string(RequestKind()));
            }
            // The last round still reads what has come, so that a late reply is
            // not taken for the answer to the next request.
            GetData(seconds);
        }
        // Once the time-out has been reported the request has failed, whatever
        // the last round read.
        if (timedOut) ReplyOK = false;
    } else {
        waiting_ = false;
    }
    // A request that may cross an outstanding step (the stop request) is not
    // awaited: the next reply to arrive is still the step's.
    if (!StepComplete && !waitForReply) kind_ = MessageType::SimStep;
    return waitForReply ? ReplyOK : true;
}

void ZEFA_Client::GetData(std::int32_t timeout) {
    // A message that cannot be read whole, or a closed or failed connection,
    // leaves no way to tell where the next message starts.
    bool lost = false;
    Trap("GetData", [&] {
        Bytes buffer;
        std::int32_t received = tcp::kNothingArrived;
        if (connected_) {
            lost = true;  // a frame length out of range raises
            received = tcp::TCPReceive(socket_, buffer, timeout);
            lost = received == tcp::kPeerClosed || received == tcp::kBrokenMessage;
        }
        if (received <= 0) {
            ReportError(std::string(kReceiveError));
            waiting_ = false;
            return;
        }
        Dispatch(buffer);
    });
    if (lost) ConnectionLost();
}

void ZEFA_Client::ConnectionLost() {
    waiting_ = false;
    StepComplete = true;  // no step can finish on a closed connection
    if (connected_) {
        connected_ = false;
        tcp::TCPClose(socket_);
    }
    Trap("GetData", [&] {
        if (Owner != nullptr) Owner->ZEFAServerDisconnected();
    });
}

void ZEFA_Client::SetRequestKind(MessageType kind) {
    kind_ = kind;
    waiting_ = true;
}

void ZEFA_Client::HandleReply(std::vector<std::uint8_t> message) {
    Trap("GetData", [&] { Dispatch(message); });
}

// ------------------------------------------------------------ reply handling

void ZEFA_Client::Dispatch(Bytes& buffer) {
    bool unexpected = true;
    const RequestRow* row = RowOf(kind_);
    switch (row != nullptr ? row->reply.shape : Shape::None) {
        case Shape::Single:
            HandleSingleReply(buffer, unexpected);
            break;
        case Shape::Step:
            HandleStepReply(buffer, unexpected);
            break;
        case Shape::SizesAndData:
            HandleSizesAndData(buffer, unexpected);
            break;
        case Shape::None:
            ReportError(std::string(kCodingError));
            break;
    }
    if (unexpected) {
        error_text_.assign(buffer.begin(), buffer.end());
        ReportError(std::string(kDifferentMessage) + TrimBlanks(error_text_));
    }
}

void ZEFA_Client::HandleSingleReply(Bytes& buffer, bool& unexpected) {
    const ReplyRule& rule = RequireRow(kind_).reply;
    if (IsType(buffer, rule.accepted)) {
        unexpected = false;
        const std::string label = ReplyLabel(rule.accepted);
        switch (rule.unpack) {
            case Unpack::Nothing:
                ReplyOK = true;
                TraceToFile(label);
                break;
            case Unpack::Data:
            case Unpack::TrendData:
                UnPackData(buffer, 0);
                if (rule.unpack == Unpack::TrendData) OutTrendData = Widen(data_);
                ReplyOK = true;
                TraceToFile(label, data_);
                break;
            case Unpack::Labels:
                ReplyOK = true;
                label_list_ = pr::DecodeText(
                    pr::ByteView(buffer).subspan(std::min(buffer.size(), pr::kHeaderSize)));
                TraceToFile(label + label_list_);
                break;
        }
        waiting_ = false;
        return;
    }
    const bool serverError = IsType(buffer, MessageType::Error);
    switch (rule.other) {
        case OnOther::ErrorThenEnd:
            if (serverError) ProcessErrorMessage(buffer.size(), unexpected, buffer);
            waiting_ = false;
            break;
        case OnOther::ErrorElseKeep:
            if (serverError) ProcessErrorMessage(buffer.size(), unexpected, buffer);
            break;
        case OnOther::End:
            waiting_ = false;
            break;
        case OnOther::Keep:
            break;
    }
}

void ZEFA_Client::RaiseFinishRunZefa() {
    if (Owner != nullptr) Owner->FinishRunZefa();
}

void ZEFA_Client::CompleteStep() {
    OutTrendData = Widen(data_);
    StepComplete = true;
    RaiseFinishRunZefa();
}

void ZEFA_Client::HandleStepReply(Bytes& buffer, bool& unexpected) {
    static constexpr std::string_view kData = "ZEFA_OUTTR_DATA";
    if (IsType(buffer, MessageType::OuttrData)) {
        unexpected = false;
        UnPackData(buffer, 0);
        CompleteStep();
        ReplyOK = true;
        TraceToFile(ReplyLabel(MessageType::OuttrData), data_);
        waiting_ = false;
        return;
    }
    if (IsType(buffer, MessageType::Ok)) {
        unexpected = false;
        ReplyOK = true;
        TraceToFile(ReplyLabel(MessageType::Ok));
        waiting_ = true;  // the trend data are still to come

        // The server may append an error text and/or the data message itself.
        const std::string rest = pr::GetText(buffer, 9, buffer.size());
        const auto dataAt = rest.find(kData, 1);
        if (rest.find("ZEFA_ERROR", 1) != std::string::npos) {
            const auto marker = rest.find(
                "\x83"
                "error:");
            const std::int64_t p =
                (marker == std::string::npos ? 0 : static_cast<std::int64_t>(marker) + 1) + 20;
            std::string text;
            if (dataAt != std::string::npos) {
                const auto q = static_cast<std::int64_t>(dataAt) + 1;
                text = Mid(rest, p, p > q ? p - q : q - p);
            } else {
                text = Mid(rest, p);
            }
            TraceToFile(ReplyLabel(MessageType::Error), TrimBlanks(text));
        }
        if (dataAt != std::string::npos) {
            // The data message starts where its full type name is, past the
            // OK header; move all of it to the front.
            const auto start = pr::FindBytes(buffer, kData, pr::kLengthOffset);
            if (start != std::string_view::npos) {
                buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(start));
                UnPackData(buffer, 0);
                CompleteStep();
                TraceToFile(ReplyLabel(MessageType::OuttrData), data_);
                waiting_ = false;
            }
        }
        return;
    }
    if (IsType(buffer, MessageType::Error)) {
        ProcessErrorMessage(buffer.size(), unexpected, buffer);
    }
}

void ZEFA_Client::HandleSizesAndData(Bytes& buffer, bool& unexpected) {
    const ReplyRule& rule = RequireRow(kind_).reply;
    const std::string_view dataName = pr::TypeName(rule.accepted);

    std::size_t examined = 0;                     // the text examined starts here
    std::size_t dataAt = std::string_view::npos;  // start of a data message further on
    if (IsType(buffer, rule.sizes)) {
        unexpected = false;
        const std::int32_t length =
            buffer.size() >= pr::kHeaderSize ? pr::GetInt32BE(buffer, pr::kLengthOffset) : 0;
        const std::size_t sizesEnd =
            pr::kHeaderSize + static_cast<std::size_t>(std::max(length, 0));
        // A data message in the same receive starts right after the sizes
        // message, or inside its length when the server embedded it there.
        if (sizesEnd < buffer.size()) dataAt = pr::FindBytes(buffer, dataName, sizesEnd);
        if (dataAt == std::string_view::npos)
            dataAt = pr::FindBytes(buffer, dataName, pr::kHeaderSize);
        if (dataAt != std::string_view::npos && dataAt < sizesEnd) {
            // The sizes list ends where the embedded data message begins.
            Bytes sizes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(dataAt));
            pr::PutInt32BE(sizes, pr::kLengthOffset,
                           static_cast<std::int32_t>((dataAt - pr::kHeaderSize) / 4 * 4));
            UnPackSizes(sizes);
        } else {
            UnPackSizes(buffer);
        }
        examined = pr::kLengthOffset;
        TraceToFile(ReplyLabel(rule.sizes));
    } else {
        dataAt = pr::FindBytes(buffer, dataName, pr::kLengthOffset);
    }
    const pr::ByteView text = pr::ByteView(buffer).subspan(std::min(examined, buffer.size()));
    const auto finishData = [&] {
        unexpected = false;
        UnPackData(buffer, 0);
        ReplyOK = true;
        waiting_ = false;
        TraceToFile(ReplyLabel(rule.accepted), data_);
    };

    if (pr::HasTypePrefix(text, dataName)) {
        if (rule.eventsBeforeData && ui_ != nullptr) ui_->ProcessPendingEvents();
        finishData();
    } else if (pr::FindBytes(text, dataName, 1) != std::string_view::npos) {
        if (dataAt != std::string_view::npos) {
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(dataAt));
            finishData();
        }
    } else if (IsType(buffer, MessageType::Error)) {
        ProcessErrorMessage(buffer.size(), unexpected, buffer);
    }
}

void ZEFA_Client::UnPackSizes(const Bytes& buffer) {
    Trap("UnPackSizes", [&] { pr::UnpackIntList(buffer, 0, sizes_); });
}

void ZEFA_Client::UnPackData(const Bytes& buffer, std::size_t offset) {
    Trap("UnPackData", [&] { pr::UnpackFloatList(buffer, offset, data_); });
}

void ZEFA_Client::ProcessErrorMessage(std::size_t received, bool& unexpected, const Bytes& buffer) {
    Trap("ProcessErrorMessage", [&] {
        unexpected = false;
        const std::size_t end = std::min(received, buffer.size());
        error_text_ = end > pr::kHeaderSize ? pr::DecodeText(pr::ByteView(buffer).subspan(
                                                  pr::kHeaderSize, end - pr::kHeaderSize))
                                            : std::string();
        const std::string message = std::string(kServerError) + TrimBlanks(error_text_);
        TraceToFile(message);
        if (error_text_.find("warning:") != std::string::npos) {
            ReplyOK = true;
        } else {
            ReportError(message);
        }
        waiting_ = false;
    });
}

}  // namespace zefa
