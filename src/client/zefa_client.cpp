#include "client/zefa_client.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>

#include "client/tcp.h"
#include "platform/error.h"
#include "platform/text.h"

namespace zefa {

namespace {

namespace pr = protocol;
using Bytes = std::vector<std::uint8_t>;

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

constexpr std::array<std::string_view, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

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

std::vector<double> Widen(const std::vector<float>& values) {
    return std::vector<double>(values.begin(), values.end());
}

std::int32_t WholeSeconds(double seconds) {
    return zefa::RoundToInt32(seconds);
}

bool IsType(const Bytes& buffer, pr::MessageType type) {
    return pr::HasTypePrefix(buffer, pr::TypeName(type));
}

std::string ReplyLabel(pr::MessageType type) {
    return std::string(kReplyPrefix) + std::string(pr::TypeName(type));
}

}  // namespace

ZEFA_Client::ZEFA_Client(std::shared_ptr<host::Clock> clock, host::UserInterface* ui)
    : clock_(clock ? std::move(clock) : host::DefaultClock()), ui_(ui) {}

ZEFA_Client::~ZEFA_Client() {
    trace_.reset();
    if (connected_) {
        connected_ = false;
        tcp::TCPClose(socket_);
    }
}

template <class Body>
void ZEFA_Client::Trap(std::string_view operation, Body&& body) {
    try {
        body();
    } catch (const std::exception& e) {
        ReportError("METHOD -- " + std::string(operation) + " " + e.what());
    } catch (...) {
        ReportError("METHOD -- " + std::string(operation) + " unknown failure");
    }
}

void ZEFA_Client::ReportError(const std::string& message) {
    if (Owner != nullptr) Owner->ReportError(message);
}

// ---------------------------------------------------------------- operations

bool ZEFA_Client::OpenConnection(const std::string& HostName, std::int32_t hostPort) {
    bool result = false;
    Trap("OpenConnection", [&] {
        if (connected_) {
            connected_ = false;
            tcp::TCPClose(socket_);
        }
        std::int32_t handle = 0;
        if (tcp::TCPConnect(HostName, hostPort, handle, WholeSeconds(TCPTimeOut))) {
            socket_ = handle;
            connected_ = true;
        }
        result = connected_;
    });
    return result;
}

bool ZEFA_Client::SendRequest(std::int32_t kind, const protocol::Bytes& message,
                              bool waitForReply) {
    kind_ = kind;
    return SendMessage(message, waitForReply);
}

bool ZEFA_Client::Ping() {
    bool result = false;
    Trap("Ping", [&] {
        TraceToFile("ZEFA_PING");
        result =
            SendRequest(pr::kind::kPing, pr::PackText(pr::MessageType::Ping, pr::kPingText), true);
    });
    return result;
}

bool ZEFA_Client::LoadFile(const std::string& fileName) {
    bool result = false;
    Trap("LoadFile", [&] {
        TraceToFile("ZEFA_READ_INPUT", fileName);
        result = SendRequest(pr::kind::kReadInput,
                             pr::PackText(pr::MessageType::ReadInput, fileName), true);
    });
    return result;
}

bool ZEFA_Client::LoadAndInit(const std::string& fileName) {
    bool result = false;
    Trap("LoadAndInit", [&] {
        TraceToFile("ZEFA_START", fileName);
        result =
            SendRequest(pr::kind::kStart, pr::PackText(pr::MessageType::Start, fileName), true);
    });
    return result;
}

bool ZEFA_Client::LoadSnap(const std::string& fileName) {
    bool result = false;
    Trap("LoadSnap", [&] {
        TraceToFile("ZEFA_LOAD_SNAP", fileName);
        result = SendRequest(pr::kind::kLoadSnap, pr::PackText(pr::MessageType::LoadSnap, fileName),
                             true);
    });
    return result;
}

bool ZEFA_Client::SaveSnap(const std::string& fileName) {
    bool result = false;
    Trap("SaveSnap", [&] {
        TraceToFile("ZEFA_SAVE_SNAP", fileName);
        result = SendRequest(pr::kind::kSaveSnap, pr::PackText(pr::MessageType::SaveSnap, fileName),
                             true);
    });
    return result;
}

bool ZEFA_Client::CloseFile() {
    bool result = false;
    Trap("CloseFile", [&] {
        TraceToFile("ZEFA_STOP_SERVER");
        result =
            SendRequest(pr::kind::kStopServer, pr::PackEmpty(pr::MessageType::StopServer), false);
        if (Owner != nullptr) Owner->ZEFAServerDisconnected();
    });
    return result;
}

bool ZEFA_Client::SetInputNames(const std::string& nameList) {
    bool result = false;
    Trap("SetInputNames", [&] {
        TraceToFile("ZEFA_INP_NAMES", nameList);
        result = SendRequest(pr::kind::kInpNames, pr::PackText(pr::MessageType::InpNames, nameList),
                             true);
    });
    return result;
}

bool ZEFA_Client::SetInputSizes(std::span<const std::int32_t> sizes, std::int32_t count) {
    bool result = false;
    Trap("SetInputSizes", [&] {
        if (count < 0 || static_cast<std::size_t>(count) > sizes.size()) {
            throw zefa::Error(9, "ZEFAPipeline", "Subscript out of range");
        }
        const auto sent = sizes.first(static_cast<std::size_t>(count));
        TraceToFile("ZEFA_INP_SIZES", sent);
        result =
            SendRequest(pr::kind::kInpSizes, pr::PackInts(pr::MessageType::InpSizes, sent), true);
    });
    return result;
}

bool ZEFA_Client::SetInputData(std::span<const float> values, std::int32_t count) {
    bool result = false;
    Trap("SetInputData", [&] {
        if (count < 0 || static_cast<std::size_t>(count) > values.size()) {
            throw zefa::Error(9, "ZEFAPipeline", "Subscript out of range");
        }
        const auto sent = values.first(static_cast<std::size_t>(count));
        TraceToFile("ZEFA_INP_DATA", sent);
        result =
            SendRequest(pr::kind::kInpData, pr::PackFloats(pr::MessageType::InpData, sent), false);
    });
    return result;
}

bool ZEFA_Client::SetOutTrendNames(const std::string& nameList) {
    bool result = false;
    Trap("SetOutTrendNames", [&] {
        TraceToFile("ZEFA_OUTTR_NAMES", nameList);
        result = SendRequest(pr::kind::kOuttrNames,
                             pr::PackText(pr::MessageType::OuttrNames, nameList), true);
    });
    return result;
}

bool ZEFA_Client::GetOutTrendData() {
    bool result = false;
    Trap("GetOutTrendData", [&] {
        TraceToFile("ZEFA_GETTR_RESULT");
        result =
            SendRequest(pr::kind::kGettrResult, pr::PackEmpty(pr::MessageType::GettrResult), true);
    });
    return result;
}

bool ZEFA_Client::SetSendTrendNames(std::vector<double>& values, const std::string& nameList) {
    bool result = false;
    Trap("SetSendTrendNames", [&] {
        TraceToFile("ZEFA_SENDTR_NAMES", nameList);
        result = SendRequest(pr::kind::kSendtrNames,
                             pr::PackText(pr::MessageType::SendtrNames, nameList), true);
        values = Widen(data_);
    });
    return result;
}

bool ZEFA_Client::SetSendProfileNames(std::vector<double>& values, std::vector<std::int32_t>& sizes,
                                      const std::string& nameList) {
    bool result = false;
    Trap("SetSendProfileNames", [&] {
        TraceToFile("ZEFA_SENDPR_NAMES ", nameList);
        result = SendRequest(pr::kind::kSendprNames,
                             pr::PackText(pr::MessageType::SendprNames, nameList), true);
        sizes = sizes_;
        values = Widen(data_);
    });
    return result;
}

bool ZEFA_Client::InitializeSolver() {
    bool result = false;
    Trap("InitializeSolver", [&] {
        TraceToFile("ZEFA_INITIALIZE");
        result = SendRequest(pr::kind::kInitialize,
                             pr::PackText(pr::MessageType::Initialize, pr::kInitializeText), true);
    });
    return result;
}

bool ZEFA_Client::SimulateStep(bool waitForResponse) {
    bool result = false;
    Trap("SimulateStep", [&] {
        TraceToFile("ZEFA_SIM_STEP");
        StepComplete = false;
        result =
            SendRequest(pr::kind::kSimStep,
                        pr::PackText(pr::MessageType::SimStep, pr::kSimStepText), waitForResponse);
    });
    return result;
}

bool ZEFA_Client::SetEndTime(float endTime) {
    bool result = false;
    Trap("SetEndTime", [&] {
        TraceToFile("ZEFA_SET_TEND", FormatSingle(endTime));
        result = SendRequest(pr::kind::kSetTend, pr::PackFloat(pr::MessageType::SetTend, endTime),
                             false);
    });
    return result;
}

bool ZEFA_Client::SetSimTime(float simTime) {
    bool result = false;
    Trap("SetSimTime", [&] {
        TraceToFile("ZEFA_SET_TIME", FormatSingle(simTime));
        result = SendRequest(pr::kind::kSetTime, pr::PackFloat(pr::MessageType::SetTime, simTime),
                             false);
    });
    return result;
}

bool ZEFA_Client::GetSimTime(double& time) {
    bool result = false;
    Trap("GetSimTime", [&] {
        TraceToFile("ZEFA_GET_TIME", FormatDouble(time));
        result = SendRequest(pr::kind::kGetTime,
                             pr::PackText(pr::MessageType::GetTime, pr::kGetTimeText), true);
        // Only a value that came with this request's reply is handed back.
        if (result && !data_.empty()) time = data_[0];
    });
    return result;
}

bool ZEFA_Client::GetPlannedTimeStep(double& timeStep) {
    bool result = false;
    Trap("GetPlannedTimeStep", [&] {
        TraceToFile("ZEFA_GET_STEP", FormatDouble(timeStep));
        result = SendRequest(pr::kind::kGetStep,
                             pr::PackText(pr::MessageType::GetStep, pr::kGetStepText), true);
        if (result) {
            if (data_.empty()) throw zefa::Error(9, "ZEFAPipeline", "Subscript out of range");
            timeStep = data_[0];
        }
    });
    return result;
}

bool ZEFA_Client::SetLogging() {
    bool result = false;
    Trap("SetLogging", [&] {
        if (IsTracingClient) {
            const std::string logName = "ZEFA2000Server-" + DateStamp() + ".log";
            CreateNewTraceFile();
            TraceToFile("ZEFA_INPUT_LOG_ON", logName);
            result = SendRequest(pr::kind::kInputLogOn,
                                 pr::PackText(pr::MessageType::InputLogOn, logName), true);
        } else {
            TraceToFile("ZEFA_INPUT_LOG_OFF");
            trace_.reset();
            result = SendRequest(pr::kind::kInputLogOff,
                                 pr::PackText(pr::MessageType::InputLogOff, pr::kLogOffText), true);
        }
    });
    return result;
}

bool ZEFA_Client::SendKeywords(const std::string& keywordString) {
    bool result = false;
    Trap("SendKeywords", [&] {
        TraceToFile("ZEFA_KEYWORD_INPUT", keywordString);
        result = SendRequest(pr::kind::kKeywordInput,
                             pr::PackText(pr::MessageType::KeywordInput, keywordString), true);
    });
    return result;
}

bool ZEFA_Client::GetLabelList(const std::string& keywordString,
                               std::vector<std::string>& returnedLabels) {
    bool result = false;
    Trap("GetLabelList", [&] {
        label_list_.clear();
        TraceToFile("ZEFA_GET_LABEL_LIST", keywordString);
        result = SendRequest(pr::kind::kGetLabelList,
                             pr::PackText(pr::MessageType::GetLabelList, keywordString), true);
        returnedLabels.clear();
        if (!label_list_.empty()) {
            std::size_t start = 0;
            for (;;) {
                const auto blank = label_list_.find(' ', start);
                returnedLabels.push_back(label_list_.substr(start, blank - start));
                if (blank == std::string::npos) break;
                start = blank + 1;
            }
        }
    });
    return result;
}

// ------------------------------------------------------- sending and waiting

bool ZEFA_Client::SendMessage(const protocol::Bytes& message, bool waitForReply) {
    waiting_ = waitForReply;
    ReplyOK = false;
    // Lists of an earlier reply must never be taken for this request's answer.
    sizes_.clear();
    data_.clear();

    // While a step is outstanding only another step or the stop request may go
    // out; the step's reply, when it comes, is handled as a step reply.
    if (!StepComplete && kind_ != pr::kind::kSimStep && kind_ != pr::kind::kStopServer) {
        kind_ = pr::kind::kSimStep;
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
        while (waiting_) {
            const auto elapsed = static_cast<std::int64_t>(clock_->TickCountMs() - start);
            if (elapsed > limit_ms) {
                waiting_ = false;
                ReportError(std::string(kNoReply) + std::to_string(kind_));
            }
            GetData(seconds);
        }
    } else {
        waiting_ = false;
    }
    // A request that may cross an outstanding step (the stop request) is not
    // awaited: the next reply to arrive is still the step's.
    if (!StepComplete && !waitForReply) kind_ = pr::kind::kSimStep;
    return waitForReply ? ReplyOK : true;
}

void ZEFA_Client::GetData(std::int32_t timeout) {
    Trap("GetData", [&] {
        Bytes buffer;
        const std::int32_t received = connected_ ? tcp::TCPReceive(socket_, buffer, timeout) : -1;
        if (received <= 0) {
            ReportError(std::string(kReceiveError));
            waiting_ = false;
            return;
        }
        Dispatch(buffer);
    });
}

void ZEFA_Client::SetRequestKind(std::int32_t kind) {
    kind_ = kind;
    waiting_ = true;
}

void ZEFA_Client::HandleReply(std::vector<std::uint8_t> message) {
    Trap("GetData", [&] { Dispatch(message); });
}

// ------------------------------------------------------------ reply handling

void ZEFA_Client::Dispatch(Bytes& buffer) {
    using pr::MessageType;
    bool unexpected = true;
    const auto errorOrEnd = [&] {
        if (IsType(buffer, MessageType::Error))
            ProcessErrorMessage(buffer.size(), unexpected, buffer);
        waiting_ = false;
    };

    switch (kind_) {
        case pr::kind::kStart:
        case pr::kind::kSaveSnap:
        case pr::kind::kLoadSnap:
        case pr::kind::kInpNames:
        case pr::kind::kInpSizes:
        case pr::kind::kSetTend:
        case pr::kind::kReadInput:
        case pr::kind::kInitialize:
        case pr::kind::kInputLogOn:
        case pr::kind::kInputLogOff:
        case pr::kind::kKeywordInput:
            if (IsType(buffer, MessageType::Ok)) {
                unexpected = false;
                ReplyOK = true;
                TraceToFile(ReplyLabel(MessageType::Ok));
                waiting_ = false;
            } else {
                errorOrEnd();
            }
            break;
        case pr::kind::kOuttrNames:
            if (IsType(buffer, MessageType::OuttrSizes)) {
                unexpected = false;
                TraceToFile(ReplyLabel(MessageType::OuttrSizes));
                ReplyOK = true;
                waiting_ = false;
            } else {
                errorOrEnd();
            }
            break;
        case pr::kind::kGetStep:
        case pr::kind::kGetTime: {
            const bool isStep = kind_ == pr::kind::kGetStep;
            const auto reply = isStep ? MessageType::OutStep : MessageType::OutTime;
            if (IsType(buffer, reply)) {
                unexpected = false;
                UnPackData(buffer, 0);
                ReplyOK = true;
                TraceToFile(ReplyLabel(reply), data_);
                waiting_ = false;
            } else if (isStep) {
                errorOrEnd();
            } else if (IsType(buffer, MessageType::Error)) {
                ProcessErrorMessage(buffer.size(), unexpected, buffer);
            }
            break;
        }
        case pr::kind::kPing:
            if (IsType(buffer, MessageType::Pong)) {
                unexpected = false;
                ReplyOK = true;
                TraceToFile(ReplyLabel(MessageType::Pong));
            }
            waiting_ = false;
            break;
        case pr::kind::kGettrResult:
            if (IsType(buffer, MessageType::OuttrData)) {
                unexpected = false;
                UnPackData(buffer, 0);
                OutTrendData = Widen(data_);
                ReplyOK = true;
                TraceToFile(ReplyLabel(MessageType::OuttrData), data_);
                waiting_ = false;
            }
            break;
        case pr::kind::kGetLabelList:
            if (IsType(buffer, MessageType::LabelList)) {
                unexpected = false;
                ReplyOK = true;
                label_list_ = pr::DecodeText(
                    pr::ByteView(buffer).subspan(std::min(buffer.size(), pr::kHeaderSize)));
                TraceToFile(ReplyLabel(MessageType::LabelList) + label_list_);
                waiting_ = false;
            } else {
                errorOrEnd();
            }
            break;
        case pr::kind::kSimStep:
            HandleStepReply(buffer, unexpected);
            break;
        case pr::kind::kSendtrNames:
        case pr::kind::kSendprNames:
            HandleSizesAndData(buffer, unexpected);
            break;
        default:
            ReportError(std::string(kCodingError));
            break;
    }

    if (unexpected) {
        error_text_.assign(buffer.begin(), buffer.end());
        ReportError(std::string(kDifferentMessage) + TrimBlanks(error_text_));
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
    using pr::MessageType;
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
            TraceToFile(TrimBlanks(text));
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
    using pr::MessageType;
    const bool profile = kind_ == pr::kind::kSendprNames;
    const auto sizesType = profile ? MessageType::SendprSizes : MessageType::SendtrSizes;
    const auto dataType = profile ? MessageType::SendprData : MessageType::SendtrData;
    const std::string_view dataName = pr::TypeName(dataType);

    std::size_t examined = 0;  // the text examined starts here
    std::size_t searchFrom = pr::kLengthOffset;
    if (IsType(buffer, sizesType)) {
        unexpected = false;
        UnPackSizes(buffer);
        examined = pr::kLengthOffset;
        TraceToFile(ReplyLabel(sizesType));
        // A data message that follows in the same receive starts right after
        // the sizes message; look for it there first.
        const std::int32_t length =
            buffer.size() >= pr::kHeaderSize ? pr::GetInt32BE(buffer, pr::kLengthOffset) : 0;
        if (length >= 0 && pr::kHeaderSize + static_cast<std::size_t>(length) < buffer.size()) {
            searchFrom = pr::kHeaderSize + static_cast<std::size_t>(length);
        }
    }
    const pr::ByteView text = pr::ByteView(buffer).subspan(std::min(examined, buffer.size()));
    const auto finishData = [&] {
        unexpected = false;
        UnPackData(buffer, 0);
        ReplyOK = true;
        waiting_ = false;
        TraceToFile(ReplyLabel(dataType), data_);
    };

    if (pr::HasTypePrefix(text, dataName)) {
        if (profile && ui_ != nullptr) ui_->ProcessPendingEvents();
        finishData();
    } else if (pr::FindBytes(text, dataName, 1) != std::string_view::npos) {
        auto start = pr::FindBytes(buffer, dataName, searchFrom);
        if (start == std::string_view::npos)
            start = pr::FindBytes(buffer, dataName, pr::kLengthOffset);
        if (start != std::string_view::npos) {
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(start));
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

// ------------------------------------------------------------------- tracing

std::string ZEFA_Client::DateStamp() const {
    const host::DateTime now = clock_->Now();
    const auto month = static_cast<std::size_t>(std::clamp(now.month, 1, 12) - 1);
    return TwoDigits(now.day) + "_" + std::string(kMonths[month]) + "_" + TwoDigits(now.year) +
           "-" + TwoDigits(now.hour) + "_" + TwoDigits(now.minute);
}

void ZEFA_Client::CreateNewTraceFile() {
    Trap("CreateNewTraceFile", [&] {
        if (!IsTracingClient) return;
        trace_.reset();
        const std::string base = TraceFilePath + "ZEFA2000Client-" + DateStamp();
        std::string name = base;
        for (int n = 1; std::filesystem::exists(name + ".log"); ++n) {
            name = base + "_" + std::to_string(n);
        }
        auto stream =
            std::make_unique<std::ofstream>(name + ".log", std::ios::out | std::ios::binary);
        if (!stream->is_open()) {
            throw zefa::Error(75, "ZEFAPipeline", "Cannot create the trace file " + name + ".log");
        }
        trace_ = std::move(stream);
        trace_file_name_ = name + ".log";
    });
}

void ZEFA_Client::WriteTraceLine(std::string_view text) {
    Trap("TraceToFile", [&] {
        if (!IsTracingClient || !trace_) return;
        const host::DateTime now = clock_->Now();
        const std::string line = TwoDigits(now.hour) + ":" + TwoDigits(now.minute) + ":" +
                                 TwoDigits(now.second) + ": " + std::string(text) + "\n";
        trace_->write(line.data(), static_cast<std::streamsize>(line.size()));
        trace_->flush();
        if (!*trace_) throw zefa::Error(57, "ZEFAPipeline", "Cannot write the trace file");
    });
}

void ZEFA_Client::TraceToFile(std::string_view label) {
    if (!IsTracingClient || !trace_) return;
    WriteTraceLine(label);
}

void ZEFA_Client::TraceToFile(std::string_view label, std::string_view value) {
    if (!IsTracingClient || !trace_) return;
    WriteTraceLine(std::string(label) + " " + std::string(value));
}

void ZEFA_Client::TraceToFile(std::string_view label, std::span<const std::int32_t> values) {
    if (!IsTracingClient || !trace_) return;
    std::string text(label);
    text += ' ';
    for (std::int32_t v : values) {
        text += ' ';
        text += std::to_string(v);
    }
    WriteTraceLine(text);
}

void ZEFA_Client::TraceToFile(std::string_view label, std::span<const float> values) {
    if (!IsTracingClient || !trace_) return;
    std::string text(label);
    text += ' ';
    for (float v : values) {
        text += ' ';
        text += FormatSingle(v);
    }
    WriteTraceLine(text);
}

}  // namespace zefa
