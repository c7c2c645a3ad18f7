// The client against a scripted peer: every request's bytes, every shape of
// reply, errors, time-outs and trace files; and the fuzz target's inputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <vector>

#include "client/zefa_client.h"
#include "platform/text.h"
#include "reply_fuzz_body.h"
#include "scripted_peer.h"

namespace zefa::test {
namespace {

namespace pr = protocol;
using pr::MessageType;
using SteadyClock = std::chrono::steady_clock;

constexpr std::string_view kReceiveError =
    "Error receiving message from ZEFA Server -- Server is not responding.";
constexpr std::string_view kBusy =
    "Your attempt to message with ZEFA has been aborted as we are waiting for the ZEFA "
    "simulation to finish its time step.  Please try this operation later.";
constexpr std::string_view kDifferent =
    "ZEFA_Client Reported Error: A message was sent by the client and a certain response "
    "message was expected from the Server but a different message was received as follows: ";
constexpr std::string_view kServerError =
    "ZEFA_SERVER Reported Error (ZEFA_ERROR - Log All Communication and review log file): ";

class RecordingOwner : public ZEFA_ClientOwner {
  public:
    void ReportError(const std::string& message) override { errors.push_back(message); }
    void ZEFAServerDisconnected() override { ++disconnected; }
    void FinishRunZefa() override {
        ++finished;
        if (on_finish) on_finish();
    }
    std::vector<std::string> errors;
    int disconnected = 0;
    int finished = 0;
    std::function<void()> on_finish;
};

// Fixed date and time of day (5 Dec 2004, 14:30:07), real tick counter.
class FixedClock : public host::Clock {
  public:
    host::DateTime Now() const override { return {2004, 12, 5, 14, 30, 7}; }
    std::uint64_t TickCountMs() const override { return host::SystemClock().TickCountMs(); }
    void SleepMs(std::uint32_t ms) const override { host::SystemClock().SleepMs(ms); }
};

class CountingUi : public host::NullUserInterface {
  public:
    void ProcessPendingEvents() override { ++events; }
    int events = 0;
};

Bytes Floats(std::string_view name, std::initializer_list<float> values) {
    return pr::PackFloats(name, std::vector<float>(values));
}
Bytes Ints(std::string_view name, std::initializer_list<std::int32_t> values) {
    return pr::PackInts(name, std::vector<std::int32_t>(values));
}
Bytes Ok() {
    return pr::PackText("ZEFA_OK", "done");
}

// Name and payload of a received request, decoded independently of the packers.
std::string NameOf(const Bytes& m) {
    return std::string(reinterpret_cast<const char*>(m.data()),
                       strnlen(reinterpret_cast<const char*>(m.data()), 20));
}
std::string PayloadOf(const Bytes& m) {
    return std::string(m.begin() + 24, m.end());
}

std::uint32_t LengthOf(const Bytes& m) {
    return (std::uint32_t{m[20]} << 24) | (std::uint32_t{m[21]} << 16) |
           (std::uint32_t{m[22]} << 8) | m[23];
}

class ClientTest : public ::testing::Test {
  protected:
    void Connect(ScriptedPeer& peer, double timeout = 2.0) {
        peer.Start();
        client.Owner = &owner;
        client.TCPTimeOut = timeout;
        ASSERT_TRUE(client.OpenConnection("127.0.0.1", peer.Port()));
        ASSERT_TRUE(client.IsZEFAConnected());
    }
    RecordingOwner owner;
    CountingUi ui;
    std::shared_ptr<FixedClock> clock = std::make_shared<FixedClock>();
    ZEFA_Client client{clock, &ui};
};

TEST_F(ClientTest, EveryRequestIsSentByteForByteAndItsReplyHandled) {
    const std::int32_t sizes[] = {3, 4, 5};
    const float inputs[] = {1.0f, 0.5f, 9.0f};
    std::vector<double> values{42};
    std::vector<std::int32_t> profile_sizes;
    std::vector<std::string> labels;
    double time = -1, step = -1;
    const auto z = [](std::string text) { return text + '\0'; };
    using S = std::string;
    struct Row {
        std::function<bool()> call;
        std::optional<Bytes> reply;  // none: the request gets no reply
        std::string name, payload;
    };
    const std::vector<Row> rows{
        {[&] { return client.Ping(); }, pr::PackText("ZEFA_PONG", "no data for ZEFA_PONG "),
         "ZEFA_PING", z("no data for ZEFA_PING")},
        {[&] { return client.LoadFile(""); }, Ok(), "ZEFA_READ_INPUT", z("")},
        {[&] { return client.LoadAndInit("case.inp"); }, Ok(), "ZEFA_START", z("case.inp")},
        {[&] { return client.LoadSnap("old.snp"); }, Ok(), "ZEFA_LOAD_SNAP", z("old.snp")},
        {[&] { return client.SaveSnap("new.snp"); }, Ok(), "ZEFA_SAVE_SNAP", z("new.snp")},
        {[&] { return client.SetInputNames("PIN TIN"); }, Ok(), "ZEFA_INP_NAMES", z("PIN TIN")},
        {[&] { return client.SetInputSizes(sizes, 2); }, Ok(), "ZEFA_INP_SIZES",
         S("\0\0\0\3\0\0\0\4", 8)},
        {[&] { return client.SetInputData(inputs, 2); }, std::nullopt, "ZEFA_INP_DATA",
         S("\x3F\x80\0\0\x3F\0\0\0", 8)},
        {[&] { return client.SetOutTrendNames("PT 'X'"); }, pr::PackEmpty("ZEFA_OUTTR_SIZES"),
         "ZEFA_OUTTR_NAMES", z("PT 'X'")},
        {[&] { return client.GetOutTrendData(); }, Floats("ZEFA_OUTTR_DATA", {1.5f, -2.0f}),
         "ZEFA_GETTR_RESULT", ""},
        {[&] { return client.SetSendTrendNames(values, "TR1"); },
         Floats("ZEFA_SENDTR_DATA", {3.25f}), "ZEFA_SENDTR_NAMES", z("TR1")},
        {[&] { return client.SetSendProfileNames(values, profile_sizes, "PR1 PR2"); },
         Concat({Ints("ZEFA_SENDPR_SIZES", {2, 1}), Floats("ZEFA_SENDPR_DATA", {7, 8, 9})}),
         "ZEFA_SENDPR_NAMES", z("PR1 PR2")},
        {[&] { return client.InitializeSolver(); }, Ok(), "ZEFA_INITIALIZE",
         z("no additional data for initialize command")},
        {[&] { return client.SetEndTime(100.0f); }, std::nullopt, "ZEFA_SET_TEND",
         S("\x42\xC8\0\0", 4)},
        {[&] { return client.SetSimTime(0.5f); }, std::nullopt, "ZEFA_SET_TIME",
         S("\x3F\0\0\0", 4)},
        {[&] { return client.GetSimTime(time); }, Floats("ZEFA_OUT_TIME", {12.5f, 99}),
         "ZEFA_GET_TIME", z("no additional data for get_time command")},
        {[&] { return client.GetPlannedTimeStep(step); }, Floats("ZEFA_OUT_STEP", {0.25f}),
         "ZEFA_GET_STEP", z("no additional data for get-step command")},
        {[&] { return client.SendKeywords("SHUTIN ON"); }, Ok(), "ZEFA_KEYWORD_INPUT",
         z("SHUTIN ON")},
        {[&] { return client.GetLabelList("WELL", labels); },
         pr::PackText("ZEFA_LABEL_LIST", "A1 B2  C3"), "ZEFA_GET_LABEL_LIST", z("WELL")},
        {[&] { return client.SetLogging(); }, Ok(), "ZEFA_INPUT_LOG_OFF", z("no data ")},
        {[&] { return client.SimulateStep(true); }, Floats("ZEFA_OUTTR_DATA", {4.0f}),
         "ZEFA_SIM_STEP", z("no additional data for sim_step command")},
        {[&] { return client.CloseFile(); }, std::nullopt, "ZEFA_STOP_SERVER", ""},
    };
    ScriptedPeer peer;
    for (const Row& row : rows) {
        if (row.reply) {
            peer.Answer(*row.reply);
        } else {
            peer.Receive();
        }
    }
    Connect(peer);
    for (const Row& row : rows) EXPECT_TRUE(row.call()) << row.name;
    EXPECT_EQ(time, 12.5);
    EXPECT_EQ(step, 0.25);
    EXPECT_EQ(labels, (std::vector<std::string>{"A1", "B2", "", "C3"}));
    EXPECT_EQ(owner.disconnected, 1);
    EXPECT_EQ(owner.errors, std::vector<std::string>{});

    ASSERT_TRUE(peer.WaitReceived(rows.size()));
    const auto got = peer.Received();
    ASSERT_EQ(got.size(), rows.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(NameOf(got[i]), rows[i].name);
        EXPECT_EQ(LengthOf(got[i]), rows[i].payload.size());
        EXPECT_EQ(PayloadOf(got[i]), rows[i].payload);
    }
}

TEST_F(ClientTest, StepRepliesInEveryShape) {
    const Bytes data = Floats("ZEFA_OUTTR_DATA", {1.0f, 2.0f, 123.456f});
    ScriptedPeer peer;
    peer.Answer(data)  // data alone
        .Answer(Ok())  // OK, then data later
        .Pause(50)
        .Send(data)
        .Answer(pr::PackRaw("ZEFA_OK", data))              // data embedded in OK
        .Answer(Concat({pr::PackEmpty("ZEFA_OK"), data}))  // both in one write
        .Answer(pr::PackEmpty("ZEFA_PONG"));
    Connect(peer);
    // The finish event's handler may call back into the client.
    bool nested = false;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        client.OutTrendData.clear();
        if (round == 3) owner.on_finish = [&] { nested = client.Ping(); };
        EXPECT_TRUE(client.SimulateStep(true));
        EXPECT_TRUE(client.StepComplete);
        EXPECT_FALSE(client.IsWaiting());
        EXPECT_EQ(client.OutTrendData, (std::vector<double>{1.0, 2.0, double(123.456f)}));
        EXPECT_EQ(owner.finished, round + 1);
    }
    EXPECT_TRUE(nested);
    EXPECT_EQ(owner.errors, std::vector<std::string>{});
}

TEST_F(ClientTest, BusyRuleDuringAnOutstandingStep) {
    ScriptedPeer peer;
    peer.Receive()  // the step
        .Receive()  // the stop request goes out even while the step is outstanding
        .Send(Floats("ZEFA_OUTTR_DATA", {5.0f}))
        .Answer(pr::PackEmpty("ZEFA_PONG"));
    Connect(peer);
    EXPECT_TRUE(client.SimulateStep(false));
    EXPECT_FALSE(client.StepComplete);
    EXPECT_FALSE(client.Ping());
    EXPECT_EQ(client.RequestKind(), 2);
    ASSERT_EQ(owner.errors, std::vector<std::string>{std::string(kBusy)});
    std::vector<double> values{1};
    EXPECT_FALSE(client.SetSendTrendNames(values, "X"));
    EXPECT_TRUE(values.empty()) << "a refused request must not hand back old data";
    EXPECT_TRUE(client.CloseFile());
    EXPECT_EQ(owner.disconnected, 1);
    client.GetData(2);  // the step's reply
    EXPECT_TRUE(client.StepComplete);
    EXPECT_EQ(owner.finished, 1);
    EXPECT_EQ(client.OutTrendData, std::vector<double>{5.0});
    EXPECT_TRUE(client.Ping());
    ASSERT_TRUE(peer.WaitReceived(3));
    EXPECT_EQ(NameOf(peer.Received()[1]), "ZEFA_STOP_SERVER");
    EXPECT_EQ(NameOf(peer.Received()[2]), "ZEFA_PING");
    EXPECT_EQ(owner.errors.size(), 2u);
}

TEST_F(ClientTest, SizesAndDataAsTwoMessagesOrOneReceive) {
    // A size of 90 puts the byte 'Z' into the sizes payload: the data message
    // must still be found where it starts.
    const Bytes sizes = Ints("ZEFA_SENDTR_SIZES", {90, 2});
    const Bytes data = Floats("ZEFA_SENDTR_DATA", {0.5f, 1.5f, 2.5f});
    const Bytes pr_sizes = Ints("ZEFA_SENDPR_SIZES", {1});
    const Bytes pr_data = Floats("ZEFA_SENDPR_DATA", {6});
    // A sizes message whose length covers the data message that follows it:
    // the sizes end where the data message begins.
    const Bytes sizes46 = Ints("ZEFA_SENDPR_SIZES", {4, 6});
    const Bytes data10 = Floats("ZEFA_SENDPR_DATA", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    ScriptedPeer peer;
    peer.Answer(sizes)
        .Pause(20)
        .SendInPieces(data, 1, 1)       // data in 1-byte pieces
        .Answer(Concat({sizes, data}))  // one write
        .Answer(pr_sizes)
        .Send(pr_data)
        .Answer(pr::PackRaw("ZEFA_SENDPR_SIZES",
                            Concat({Bytes(sizes46.begin() + 24, sizes46.end()), data10})));
    Connect(peer);
    for (int round = 0; round < 2; ++round) {
        std::vector<double> values;
        EXPECT_TRUE(client.SetSendTrendNames(values, "A B"));
        EXPECT_EQ(client.Sizes(), (std::vector<std::int32_t>{90, 2}));
        EXPECT_EQ(values, (std::vector<double>{0.5, 1.5, 2.5}));
    }
    std::vector<double> values;
    std::vector<std::int32_t> sizes_out;
    EXPECT_TRUE(client.SetSendProfileNames(values, sizes_out, "P"));
    EXPECT_EQ(values, std::vector<double>{6});
    EXPECT_EQ(sizes_out, std::vector<std::int32_t>{1});
    EXPECT_EQ(ui.events, 1) << "pending events once before profile data of their own";

    EXPECT_TRUE(client.SetSendProfileNames(values, sizes_out, "P"));
    EXPECT_EQ(sizes_out, (std::vector<std::int32_t>{4, 6}));
    EXPECT_EQ(values, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(owner.errors, std::vector<std::string>{});
}

TEST_F(ClientTest, ServerErrorsAndWarnings) {
    ScriptedPeer peer;
    peer.Answer(pr::PackText("ZEFA_ERROR", "  warning: old file format "))
        .Answer(pr::PackText("ZEFA_ERROR", " cannot open case.inp "))
        .Answer(pr::PackText("ZEFA_ERROR", "cannot integrate"))
        .Answer(pr::PackText("ZEFA_ERROR", "no time"))
        .Answer(Floats("ZEFA_OUT_TIME", {3}))
        .Answer(pr::PackText("ZEFA_ERROR", "no trend"));
    Connect(peer);
    EXPECT_TRUE(client.LoadFile("case.inp"));
    EXPECT_TRUE(owner.errors.empty());
    EXPECT_FALSE(client.LoadFile("case.inp"));
    EXPECT_EQ(client.GetErrorMessage(), " cannot open case.inp ");
    ASSERT_EQ(owner.errors.size(), 1u);
    EXPECT_EQ(owner.errors[0], std::string(kServerError) + "cannot open case.inp");
    // An error ends a step's wait; the step stays outstanding.
    EXPECT_FALSE(client.SimulateStep(true));
    EXPECT_FALSE(client.StepComplete);
    EXPECT_EQ(owner.errors.back(), std::string(kServerError) + "cannot integrate");
    client.StepComplete = true;
    double time = 7;
    EXPECT_FALSE(client.GetSimTime(time));
    EXPECT_EQ(time, 7);
    // A failed request never hands back the values of the reply before it.
    EXPECT_TRUE(client.GetSimTime(time));
    std::vector<double> values{1};
    EXPECT_FALSE(client.SetSendTrendNames(values, "T"));
    EXPECT_TRUE(values.empty());
}

TEST_F(ClientTest, WrongRepliesForEachWaitingBehaviour) {
    const Bytes ok = pr::PackText("ZEFA_OK", " x ");
    ScriptedPeer peer;
    peer.Answer(pr::PackEmpty("ZEFA_PONG"))                  // LoadFile: ends at once
        .Answer(ok)                                          // Ping: ends at once
        .Answer(Concat({ok, Floats("ZEFA_OUT_TIME", {2})}))  // GetSimTime keeps reading
        .Answer(Concat({pr::PackText("ZEFA_ERROR", "e"), Floats("ZEFA_OUTTR_DATA", {1})}))
        .Answer(Concat({pr::PackEmpty("ZEFA_PONG"), Floats("ZEFA_OUTTR_DATA", {2})}));
    Connect(peer);
    const Bytes pong = pr::PackEmpty("ZEFA_PONG");
    const std::string pong_raw(pong.begin(), pong.end());

    EXPECT_FALSE(client.LoadFile("a"));
    ASSERT_EQ(owner.errors.size(), 1u);
    EXPECT_EQ(owner.errors[0], std::string(kDifferent) + "ZEFA_PONG");
    EXPECT_EQ(client.GetErrorMessage(), pong_raw);

    EXPECT_FALSE(client.Ping());
    EXPECT_EQ(client.GetErrorMessage(), std::string(ok.begin(), ok.end()));
    double time = 0;
    EXPECT_TRUE(client.GetSimTime(time));
    EXPECT_EQ(time, 2);
    EXPECT_EQ(owner.errors.size(), 3u);
    // A server error answering GETTR_RESULT is a different message, not a server error.
    EXPECT_TRUE(client.GetOutTrendData());
    EXPECT_EQ(owner.errors.size(), 4u);
    EXPECT_EQ(owner.errors[3].rfind(kDifferent, 0), 0u);
    // The raw reply (header padding, length bytes) is quoted as printable text.
    EXPECT_NE(owner.errors[3].find("ZEFA_ERROR\\x00"), std::string::npos) << owner.errors[3];
    for (const std::string& e : owner.errors)
        EXPECT_TRUE(std::all_of(e.begin(), e.end(), [](unsigned char c) {
            return c >= 0x20 && c < 0x7F;
        })) << e;
    EXPECT_TRUE(client.SimulateStep(true));
    EXPECT_EQ(client.OutTrendData, std::vector<double>{2});
    EXPECT_EQ(owner.errors.size(), 5u);
}

TEST_F(ClientTest, PayloadLengthsZeroOddAndTruncated) {
    client.Owner = &owner;
    client.SetRequestKind(MessageType::GettrResult);
    Bytes five = pr::MakeMessage("ZEFA_OUTTR_DATA", 5);
    pr::PutFloatBE(five, 24, 8.0f);
    client.HandleReply(five);
    EXPECT_EQ(client.OutTrendData, std::vector<double>{8});
    EXPECT_TRUE(owner.errors.empty());

    client.SetRequestKind(MessageType::GettrResult);
    client.HandleReply(pr::MakeMessage("ZEFA_OUTTR_DATA", 0));
    EXPECT_EQ(owner.errors,
              std::vector<std::string>{"METHOD -- UnPackData Subscript out of range"});

    // An embedded data message that claims more than arrived: the values that
    // are there are kept, the rest is reported, nothing is read past the end.
    client.SetRequestKind(MessageType::SimStep);
    Bytes embedded = Floats("ZEFA_OUTTR_DATA", {1, 2});
    pr::PutInt32BE(embedded, 20, 400);
    client.HandleReply(pr::PackRaw("ZEFA_OK", embedded));
    EXPECT_EQ(client.OutTrendData, (std::vector<double>{1, 2}));
    EXPECT_TRUE(client.StepComplete);
    EXPECT_EQ(owner.errors.size(), 2u);

    client.SetRequestKind(MessageType::GetStep);
    client.HandleReply(Bytes{'Z', 'E'});
    EXPECT_EQ(owner.errors.back().rfind(kDifferent, 0), 0u);
}

// A frame the client cannot read whole leaves the byte stream out of step: the
// connection is closed and reported lost at once, so that no later request
// reads its reply from the middle of an old message.
TEST(ClientConnection, ABadFrameOrAClosedPeerEndsTheConnection) {
    Bytes stalled = pr::MakeMessage("ZEFA_PONG", 10);
    const Bytes pong = pr::PackEmpty("ZEFA_PONG");
    Bytes oversized = pr::MakeMessage("ZEFA_PONG", 32768);
    std::copy(pong.begin(), pong.end(), oversized.begin() + 24);
    Bytes negative = pr::MakeMessage("ZEFA_PONG", 0);
    pr::PutInt32BE(negative, 20, -4);
    struct Case {
        std::string name;
        std::function<void(ScriptedPeer&)> script;
        std::string report;
    };
    const std::vector<Case> cases{
        {"payload over 32,767 bytes", [&](ScriptedPeer& p) { p.Answer(oversized); },
         "METHOD -- GetData Overflow"},
        {"negative length",
         [&](ScriptedPeer& p) {
             p.Answer(Concat({negative, pong}));
         },
         "METHOD -- GetData Subscript out of range"},
        {"stalls in the middle",
         [&](ScriptedPeer& p) {
             p.Answer(Bytes(stalled.begin(), stalled.begin() + 27))
                 .Pause(1400)
                 .Send(Concat({Bytes(stalled.begin() + 27, stalled.end()), pong, pong}));
         },
         std::string(kReceiveError)},
        {"closes", [&](ScriptedPeer& p) { p.Receive().Close(); }, std::string(kReceiveError)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingOwner owner;
        ZEFA_Client client;
        client.Owner = &owner;
        client.TCPTimeOut = 1;
        ScriptedPeer peer;
        c.script(peer);
        peer.Start();
        ASSERT_TRUE(client.OpenConnection("127.0.0.1", peer.Port()));
        EXPECT_FALSE(client.Ping());
        EXPECT_FALSE(client.IsWaiting());
        EXPECT_FALSE(client.IsZEFAConnected());
        EXPECT_EQ(owner.disconnected, 1);
        EXPECT_EQ(owner.errors, std::vector<std::string>{c.report});
        EXPECT_FALSE(client.Ping());  // nothing is read from the old stream
        EXPECT_EQ(owner.errors.size(), 1u);
    }
}

// A reply that comes after the time-out was reported does not turn the
// request into a success.
TEST_F(ClientTest, NoReplyReportedMeansTheRequestFails) {
    // Every tick reading moves the clock 600 ms: the deadline of a 1-second
    // time-out has passed at the second round of the wait.
    class JumpingClock : public FixedClock {
      public:
        std::uint64_t TickCountMs() const override { return ticks += 600; }
        mutable std::uint64_t ticks = 0;
    };
    ZEFA_Client late{std::make_shared<JumpingClock>()};
    ScriptedPeer peer;
    peer.Answer(Concat({Ok(), Floats("ZEFA_OUT_TIME", {3})}));
    peer.Start();
    late.Owner = &owner;
    late.TCPTimeOut = 1;
    ASSERT_TRUE(late.OpenConnection("127.0.0.1", peer.Port()));
    double time = 7;
    EXPECT_FALSE(late.GetSimTime(time));
    EXPECT_EQ(time, 7);
    ASSERT_EQ(owner.errors.size(), 2u);
    EXPECT_EQ(owner.errors[1],
              "No reply (within the timeout period) from the ZEFA Server for the Client sent "
              "message of type: 29");
}

// A time-out that rounds to 0 bounds the connect like every other wait: one
// second, not the system's own connect time-out.
TEST(ClientConnection, ConnectIsBoundedWhenTheTimeOutRoundsToZero) {
    // A listener whose accept queue is full drops further connection requests.
    int port = 0;
    const int listener = ListenOnLowPort(port);
    ASSERT_EQ(::listen(listener, 0), 0);
    std::vector<std::unique_ptr<ZEFA_Client>> queued;
    double failed_after = -1;
    for (int attempt = 0; attempt < 8 && failed_after < 0; ++attempt) {
        auto client = std::make_unique<ZEFA_Client>();
        client->TCPTimeOut = 0.4;
        const auto start = SteadyClock::now();
        if (client->OpenConnection("127.0.0.1", port)) {
            queued.push_back(std::move(client));
        } else {
            failed_after = std::chrono::duration<double>(SteadyClock::now() - start).count();
        }
    }
    queued.clear();
    ::close(listener);
    ASSERT_GE(failed_after, 0.0) << "every connection was queued";
    EXPECT_GE(failed_after, 0.9);
    EXPECT_LT(failed_after, 5.0);
}

TEST_F(ClientTest, NotConnectedAndLimits) {
    client.Owner = &owner;
    EXPECT_FALSE(client.Ping());
    const float values[] = {1, 2};
    EXPECT_TRUE(client.SetInputData(values, 2));
    EXPECT_TRUE(owner.errors.empty());
    EXPECT_FALSE(client.SetInputData(values, 3));
    EXPECT_EQ(owner.errors.back(), "METHOD -- SetInputData Subscript out of range");
    EXPECT_FALSE(client.OpenConnection("127.0.0.1", 40000));
    EXPECT_EQ(owner.errors.back(), "METHOD -- OpenConnection Overflow");

    ScriptedPeer peer;
    peer.Receive();
    Connect(peer);
    std::vector<float> many(8186, 1.0f);  // 24 + 4 * 8186 = 32768 bytes
    EXPECT_FALSE(client.SetInputData(many, 8186));
    EXPECT_EQ(owner.errors.back(), "METHOD -- SetInputData Overflow");
    EXPECT_TRUE(client.SetInputData(many, 8185));
    ASSERT_TRUE(peer.WaitReceived(1));
    EXPECT_EQ(peer.Received()[0].size(), 32764u);
}

TEST_F(ClientTest, DestructionClosesTheSocketWithoutAStopRequest) {
    ScriptedPeer peer;
    {
        ZEFA_Client other;
        peer.Start();
        ASSERT_TRUE(other.OpenConnection("127.0.0.1", peer.Port()));
    }
    peer.Join();
    EXPECT_TRUE(peer.SawClientClose());
    EXPECT_TRUE(peer.Received().empty());
}

TEST_F(ClientTest, HighDescriptorNumber) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 1200) GTEST_SKIP() << "descriptor limit too low";
    const rlimit saved = limit;
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 1200);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::vector<int> fillers;
    while (fillers.size() < 1100) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        fillers.push_back(fd);
        if (fd > 1030) break;
    }
    ScriptedPeer peer;
    peer.Answer(pr::PackEmpty("ZEFA_PONG"));
    Connect(peer);
    EXPECT_GT(client.SocketHandle(), 1024);
    EXPECT_TRUE(client.Ping());
    for (int fd : fillers) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST_F(ClientTest, TraceFilesAndLines) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("zefa_trace_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ScriptedPeer peer;
    peer.Answer(Ok())
        .Answer(Floats("ZEFA_OUT_TIME", {0.1f, 3}))
        .Answer(Concat({pr::PackText("ZEFA_OK",
                                     "ZEFA_ERROR \x83"
                                     "error:[ZEFA_SERVER] pipe empty "),
                        Floats("ZEFA_OUTTR_DATA", {1, 2})}))
        .Answer(Ok());
    Connect(peer);
    client.IsTracingClient = true;
    client.TraceFilePath = dir.string() + "/";
    EXPECT_TRUE(client.SetLogging());
    const std::string first = dir.string() + "/ZEFA2000Client-05_Dec_04-14_30.log";
    EXPECT_EQ(client.TraceFileName(), first);
    ASSERT_TRUE(peer.WaitReceived(1));
    EXPECT_EQ(PayloadOf(peer.Received()[0]),
              std::string("ZEFA2000Server-05_Dec_04-14_30.log\0", 35));
    double time = 1.5;
    EXPECT_TRUE(client.GetSimTime(time));
    EXPECT_TRUE(client.SimulateStep(true));
    // A link planted at the next name (even one to nowhere) is passed over,
    // never written through.
    std::filesystem::create_symlink(dir / "elsewhere.log",
                                    dir / "ZEFA2000Client-05_Dec_04-14_30_1.log");
    client.CreateNewTraceFile();
    EXPECT_EQ(client.TraceFileName(), dir.string() + "/ZEFA2000Client-05_Dec_04-14_30_2.log");
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere.log"));
    client.IsTracingClient = false;
    EXPECT_TRUE(client.SetLogging());

    std::ifstream in(first);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const std::vector<std::string> expected{
        "14:30:07: ZEFA_INPUT_LOG_ON ZEFA2000Server-05_Dec_04-14_30.log",
        "14:30:07: ServerToClient_ZEFA_OK",
        "14:30:07: ZEFA_GET_TIME 1.5",
        "14:30:07: ServerToClient_ZEFA_OUT_TIME  0.1 3",
        "14:30:07: ZEFA_SIM_STEP",
        "14:30:07: ServerToClient_ZEFA_OK",
        "14:30:07: ServerToClient_ZEFA_ERROR pipe empty",
        "14:30:07: ServerToClient_ZEFA_OUTTR_DATA  1 2",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(std::filesystem::exists(dir / "ZEFA2000Client-05_Dec_04-14_30_2.log"));
    std::filesystem::remove_all(dir);
}

// Replays the fuzz target's seed inputs and every input that once made it fail.

std::vector<std::filesystem::path> Inputs(const char* folder) {
    std::vector<std::filesystem::path> files;
    const auto dir = std::filesystem::path(ZEFA_FUZZ_INPUTS) / folder;
    if (!std::filesystem::exists(dir)) return files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
            files.push_back(entry.path());
        }
    }
    return files;
}

void Replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    SCOPED_TRACE(file.string());
    // The body aborts on a broken invariant; a crash fails the whole test binary.
    EXPECT_EQ(FuzzReplyHandling(bytes.data(), bytes.size()), 0);
}

TEST(ClientFuzzInputs, SeedAndRegressionInputsRunClean) {
    const auto seeds = Inputs("corpus");
    EXPECT_GE(seeds.size(), 10u);
    for (const auto& file : seeds) Replay(file);
    for (const auto& file : Inputs("regressions")) Replay(file);
}

}  // namespace

}  // namespace zefa::test
