// The client's trace file: one line per message, time of day first, in a
// file created new for each trace.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "client/zefa_client.h"
#include "client/zefa_client_trap.h"
#include "platform/error.h"
#include "platform/text.h"

namespace zefa {

namespace {

constexpr std::array<std::string_view, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

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
        // A name already taken (by a file, or by a link planted to send the
        // trace elsewhere) is never opened: the next free number is used.
        std::string name = base;
        std::unique_ptr<NewFile> file;
        for (int n = 1;; ++n) {
            try {
                file = NewFile::Create(name + ".log");
            } catch (const std::exception&) {
                n = 10000;  // not a name already taken: another name would fail alike
            }
            if (file) break;
            if (n > 9999)
                throw zefa::Error::CannotCreate("Cannot create the trace file " + name + ".log");
            name = base + "_" + std::to_string(n);
        }
        trace_ = std::move(file);
        trace_file_name_ = name + ".log";
    });
}

void ZEFA_Client::WriteTraceLine(std::string_view text) {
    Trap("TraceToFile", [&] {
        if (!IsTracingClient || !trace_) return;
        const host::DateTime now = clock_->Now();
        const std::string line = TwoDigits(now.hour) + ":" + TwoDigits(now.minute) + ":" +
                                 TwoDigits(now.second) + ": " + std::string(text) + "\n";
        if (!trace_->Write(line)) throw zefa::Error::CannotWrite("Cannot write the trace file");
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
