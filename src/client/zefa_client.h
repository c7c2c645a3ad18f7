#pragma once

// ZEFA_Client: the extension's connection to the pipeline server. Each public
// operation builds one request, sends it and (for most requests) waits within
// the time-out until GetData has handled the reply. Operations return a
// Boolean success and never throw: failures go to Owner->ReportError.

#include <cstdint>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "client/protocol.h"
#include "host/clock.h"
#include "host/user_interface.h"
#include "platform/safe_file.h"

namespace zefa {

// What the client needs from the object that owns it (the ZEFA extension):
// a place for error reports and handlers for the client's two events.
class ZEFA_ClientOwner {
  public:
    virtual ~ZEFA_ClientOwner() = default;
    // Every error report of the client, text as composed by the client.
    virtual void ReportError(const std::string& message) = 0;
    // Event: raised by CloseFile after the stop-server request was sent, and
    // when the connection is lost while a reply is read.
    virtual void ZEFAServerDisconnected() = 0;
    // Event: raised while a reply is handled, when the trend data of a step
    // have arrived and StepComplete has just been set.
    virtual void FinishRunZefa() = 0;
};

class ZEFA_Client {
  public:
    // `clock` gives the reply deadlines (tick counter) and the time of day of
    // trace lines and file names. `ui`, when given, is asked to process pending
    // window events before profile data are unpacked.
    explicit ZEFA_Client(std::shared_ptr<host::Clock> clock = host::DefaultClock(),
                         host::UserInterface* ui = nullptr);
    ~ZEFA_Client();
    ZEFA_Client(const ZEFA_Client&) = delete;
    ZEFA_Client& operator=(const ZEFA_Client&) = delete;

    // ---- Public state.
    ZEFA_ClientOwner* Owner = nullptr;  // receives reports and events; may stay null
    bool ReplyOK = false;               // the awaited reply was a success
    bool StepComplete = true;           // no step is outstanding
    std::vector<double> OutTrendData;   // trend values of the last "ZEFA_OUTTR_DATA"

    // ---- Properties (plain storage).
    double TCPTimeOut = 0.0;  // seconds, rounded to whole seconds for every wait
    bool IsTracingClient = false;
    std::string TraceFilePath;  // prefix of trace file names, used unchanged

    void SetUserInterface(host::UserInterface* ui) { ui_ = ui; }

    // ---- Operations.
    bool IsZEFAConnected() const { return connected_; }
    bool OpenConnection(const std::string& HostName, std::int32_t hostPort);
    bool Ping();
    bool LoadFile(const std::string& fileName);
    bool LoadAndInit(const std::string& fileName);
    bool LoadSnap(const std::string& fileName);
    bool SaveSnap(const std::string& fileName);
    bool CloseFile();
    bool SetInputNames(const std::string& nameList);
    // Sends the first `count` sizes / values.
    bool SetInputSizes(std::span<const std::int32_t> sizes, std::int32_t count);
    bool SetInputData(std::span<const float> values, std::int32_t count);
    bool SetOutTrendNames(const std::string& nameList);
    bool GetOutTrendData();
    bool SetSendTrendNames(std::vector<double>& values, const std::string& nameList);
    bool SetSendProfileNames(std::vector<double>& values, std::vector<std::int32_t>& sizes,
                             const std::string& nameList);
    bool InitializeSolver();
    bool SimulateStep(bool waitForResponse);
    bool SetEndTime(float endTime);
    bool SetSimTime(float simTime);
    bool GetSimTime(double& time);
    bool GetPlannedTimeStep(double& timeStep);
    bool SetLogging();
    bool SendKeywords(const std::string& keywordString);
    bool GetLabelList(const std::string& keywordString, std::vector<std::string>& returnedLabels);
    std::string GetErrorMessage() const { return error_text_; }

    // Reads one message (waiting at most `timeout` seconds) and handles it for
    // the outstanding request kind. A message that cannot be read whole, or a
    // closed or failed connection, is reported once and ends the connection.
    void GetData(std::int32_t timeout);
    // Passes the message to Owner->ReportError when an owner is set.
    void ReportError(const std::string& message);
    // Starts a new trace file (when IsTracingClient): TraceFilePath +
    // "ZEFA2000Client-dd_Mon_yy-hh_mm" + ("", "_1", "_2", ...) + ".log".
    void CreateNewTraceFile();

    // ---- Reply state, readable by the extension, tools and tests.
    std::int32_t RequestKind() const { return static_cast<std::int32_t>(kind_); }
    bool IsWaiting() const { return waiting_; }
    const std::vector<std::int32_t>& Sizes() const { return sizes_; }
    const std::vector<float>& Data() const { return data_; }
    const std::string& LabelList() const { return label_list_; }
    const std::string& TraceFileName() const { return trace_file_name_; }
    std::int32_t SocketHandle() const { return socket_; }

    // Makes `kind` the outstanding request kind and sets the waiting flag, as
    // the operations do before sending; lets a received message be replayed.
    // Any code is accepted: one that names no awaited request is handled as
    // the coding error it would be.
    void SetRequestKind(protocol::MessageType kind);
    void SetRequestKind(std::int32_t kind) { SetRequestKind(protocol::MessageType{kind}); }
    // Handles one received message exactly as GetData does after reading it.
    void HandleReply(std::vector<std::uint8_t> message);

  private:
    // A request's argument as it is packed and traced: nothing, a text, an
    // integer list, a float list or one float.
    using Argument = std::variant<std::monostate, std::string_view, std::span<const std::int32_t>,
                                  std::span<const float>, float>;

    template <class Body>
    void Trap(std::string_view operation, Body&& body);

    // The request path. Every request has a row in one table (operation name,
    // trace label, whether its reply is awaited, fixed payload, reply rule).
    // Operation arms the trap named by the row; TraceRequest and Send trace,
    // pack and send the request; Call does all three for the plain requests.
    template <class Body>
    bool Operation(protocol::MessageType type, Body&& body);
    void TraceRequest(protocol::MessageType type, const Argument& traced);
    bool Send(protocol::MessageType type, const Argument& argument, bool waitForResponse = true);
    bool Call(protocol::MessageType type, const Argument& argument = {});

    bool SendMessage(const protocol::Bytes& message, bool waitForReply);
    void Dispatch(std::vector<std::uint8_t>& buffer);
    void HandleSingleReply(std::vector<std::uint8_t>& buffer, bool& unexpected);
    void HandleStepReply(std::vector<std::uint8_t>& buffer, bool& unexpected);
    void HandleSizesAndData(std::vector<std::uint8_t>& buffer, bool& unexpected);
    void UnPackSizes(const std::vector<std::uint8_t>& buffer);
    void UnPackData(const std::vector<std::uint8_t>& buffer, std::size_t offset);
    void ProcessErrorMessage(std::size_t received, bool& unexpected,
                             const std::vector<std::uint8_t>& buffer);
    void CompleteStep();
    void RaiseFinishRunZefa();
    // Closes a connection whose byte stream is out of step or gone, ends any
    // wait and outstanding step, and raises ZEFAServerDisconnected.
    void ConnectionLost();

    void TraceToFile(std::string_view label);
    void TraceToFile(std::string_view label, std::string_view value);
    void TraceToFile(std::string_view label, std::span<const std::int32_t> values);
    void TraceToFile(std::string_view label, std::span<const float> values);
    void WriteTraceLine(std::string_view text);
    std::string DateStamp() const;

    std::shared_ptr<host::Clock> clock_;
    host::UserInterface* ui_;

    bool connected_ = false;
    std::int32_t socket_ = 0;
    bool waiting_ = false;
    protocol::MessageType kind_{0};
    std::vector<std::int32_t> sizes_;
    std::vector<float> data_;
    std::string error_text_;
    std::string label_list_;
    std::unique_ptr<NewFile> trace_;
    std::string trace_file_name_;
};

}  // namespace zefa
