// ZEFA_Client's connection and its operations: each operation packs its
// argument and sends its request by the row of the request table; the
// replies are read in client_replies.cpp.
#include "client/zefa_client.h"

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
#include "client/zefa_client_trap.h"
#include "platform/error.h"
#include "platform/text.h"

namespace zefa {

namespace {

namespace pr = protocol;
using pr::MessageType;
using namespace request_table;

// The first `count` values, or the subscript error when there are fewer.
template <class T>
std::span<const T> FirstOf(std::span<const T> values, std::int32_t count) {
    if (count < 0 || static_cast<std::size_t>(count) > values.size()) {
        throw zefa::Error::SubscriptOutOfRange();
    }
    return values.first(static_cast<std::size_t>(count));
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

void ZEFA_Client::ReportError(const std::string& message) {
    // Reports may quote what the server sent: raw bytes never reach the
    // owner's message window.
    if (Owner != nullptr) Owner->ReportError(PrintableText(message));
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

// ------------------------------------------------------------ request path

template <class Body>
bool ZEFA_Client::Operation(MessageType type, Body&& body) {
    bool result = false;
    Trap(RequireRow(type).operation, [&] { body(result); });
    return result;
}

void ZEFA_Client::TraceRequest(MessageType type, const Argument& traced) {
    const std::string_view label = RequireRow(type).trace;
    std::visit(
        [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                TraceToFile(label);
            } else if constexpr (std::is_same_v<T, float>) {
                TraceToFile(label, FormatSingle(value));
            } else {
                TraceToFile(label, value);
            }
        },
        traced);
}

bool ZEFA_Client::Send(MessageType type, const Argument& argument, bool waitForResponse) {
    const RequestRow& row = RequireRow(type);
    const pr::Bytes message = std::visit(
        [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return pr::FormOf(type) == pr::PayloadForm::None
                           ? pr::PackEmpty(type)
                           : pr::PackText(type, row.fixedText);
            } else if constexpr (std::is_same_v<T, std::string_view>) {
                return pr::PackText(type, value);
            } else if constexpr (std::is_same_v<T, std::span<const std::int32_t>>) {
                return pr::PackInts(type, value);
            } else if constexpr (std::is_same_v<T, std::span<const float>>) {
                return pr::PackFloats(type, value);
            } else {
                return pr::PackFloat(type, value);
            }
        },
        argument);
    kind_ = type;
    const bool wait = row.wait == Wait::AsAsked ? waitForResponse : row.wait == Wait::Always;
    return SendMessage(message, wait);
}

bool ZEFA_Client::Call(MessageType type, const Argument& argument) {
    return Operation(type, [&](bool& result) {
        TraceRequest(type, argument);
        result = Send(type, argument);
    });
}

// ---------------------------------------------------------------- operations

bool ZEFA_Client::Ping() {
    return Call(MessageType::Ping);
}

bool ZEFA_Client::LoadFile(const std::string& fileName) {
    return Call(MessageType::ReadInput, fileName);
}

bool ZEFA_Client::LoadAndInit(const std::string& fileName) {
    return Call(MessageType::Start, fileName);
}

bool ZEFA_Client::LoadSnap(const std::string& fileName) {
    return Call(MessageType::LoadSnap, fileName);
}

bool ZEFA_Client::SaveSnap(const std::string& fileName) {
    return Call(MessageType::SaveSnap, fileName);
}

bool ZEFA_Client::CloseFile() {
    return Operation(MessageType::StopServer, [&](bool& result) {
        TraceRequest(MessageType::StopServer, {});
        result = Send(MessageType::StopServer, {});
        if (Owner != nullptr) Owner->ZEFAServerDisconnected();
    });
}

bool ZEFA_Client::SetInputNames(const std::string& nameList) {
    return Call(MessageType::InpNames, nameList);
}

bool ZEFA_Client::SetInputSizes(std::span<const std::int32_t> sizes, std::int32_t count) {
    return Operation(MessageType::InpSizes, [&](bool& result) {
        const auto sent = FirstOf(sizes, count);
        TraceRequest(MessageType::InpSizes, sent);
        result = Send(MessageType::InpSizes, sent);
    });
}

bool ZEFA_Client::SetInputData(std::span<const float> values, std::int32_t count) {
    return Operation(MessageType::InpData, [&](bool& result) {
        const auto sent = FirstOf(values, count);
        TraceRequest(MessageType::InpData, sent);
        result = Send(MessageType::InpData, sent);
    });
}

bool ZEFA_Client::SetOutTrendNames(const std::string& nameList) {
    return Call(MessageType::OuttrNames, nameList);
}

bool ZEFA_Client::GetOutTrendData() {
    return Call(MessageType::GettrResult);
}

bool ZEFA_Client::SetSendTrendNames(std::vector<double>& values, const std::string& nameList) {
    return Operation(MessageType::SendtrNames, [&](bool& result) {
        TraceRequest(MessageType::SendtrNames, nameList);
        result = Send(MessageType::SendtrNames, nameList);
        values = Widen(data_);
    });
}

bool ZEFA_Client::SetSendProfileNames(std::vector<double>& values, std::vector<std::int32_t>& sizes,
                                      const std::string& nameList) {
    return Operation(MessageType::SendprNames, [&](bool& result) {
        TraceRequest(MessageType::SendprNames, nameList);
        result = Send(MessageType::SendprNames, nameList);
        sizes = sizes_;
        values = Widen(data_);
    });
}

bool ZEFA_Client::InitializeSolver() {
    return Call(MessageType::Initialize);
}

bool ZEFA_Client::SimulateStep(bool waitForResponse) {
    return Operation(MessageType::SimStep, [&](bool& result) {
        TraceRequest(MessageType::SimStep, {});
        StepComplete = false;
        result = Send(MessageType::SimStep, {}, waitForResponse);
    });
}

bool ZEFA_Client::SetEndTime(float endTime) {
    return Call(MessageType::SetTend, endTime);
}

bool ZEFA_Client::SetSimTime(float simTime) {
    return Call(MessageType::SetTime, simTime);
}

bool ZEFA_Client::GetSimTime(double& time) {
    return Operation(MessageType::GetTime, [&](bool& result) {
        TraceRequest(MessageType::GetTime, FormatDouble(time));
        result = Send(MessageType::GetTime, {});
        // Only a value that came with this request's reply is handed back.
        if (result && !data_.empty()) time = data_[0];
    });
}

bool ZEFA_Client::GetPlannedTimeStep(double& timeStep) {
    return Operation(MessageType::GetStep, [&](bool& result) {
        TraceRequest(MessageType::GetStep, FormatDouble(timeStep));
        result = Send(MessageType::GetStep, {});
        if (result) {
            if (data_.empty()) throw zefa::Error::SubscriptOutOfRange();
            timeStep = data_[0];
        }
    });
}

bool ZEFA_Client::SetLogging() {
    if (IsTracingClient) {
        return Operation(MessageType::InputLogOn, [&](bool& result) {
            const std::string logName = "ZEFA2000Server-" + DateStamp() + ".log";
            CreateNewTraceFile();
            TraceRequest(MessageType::InputLogOn, logName);
            result = Send(MessageType::InputLogOn, logName);
        });
    }
    return Operation(MessageType::InputLogOff, [&](bool& result) {
        TraceRequest(MessageType::InputLogOff, {});
        trace_.reset();  // the reply is not traced any more
        result = Send(MessageType::InputLogOff, {});
    });
}

bool ZEFA_Client::SendKeywords(const std::string& keywordString) {
    return Call(MessageType::KeywordInput, keywordString);
}

bool ZEFA_Client::GetLabelList(const std::string& keywordString,
                               std::vector<std::string>& returnedLabels) {
    return Operation(MessageType::GetLabelList, [&](bool& result) {
        label_list_.clear();
        TraceRequest(MessageType::GetLabelList, keywordString);
        result = Send(MessageType::GetLabelList, keywordString);
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
}

}  // namespace zefa
