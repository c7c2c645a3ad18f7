#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "helpers.h"
#include "snapshot.h"

namespace zefasim {
namespace {

using namespace testing;
using proto::MessageType;

const std::string kFlowlineOutputs =
    " HT $IN PT DPDGGS DPDGLTHLS DPDGLTWTS GGSOUR GLHLMA GLWTMA TM $OUT PTBOU DGGDPB DGLTHLDPB "
    "DGLTWTDPB GGBOU GLTHLBOU GLTWTBOU TMBOU ";

class ZefasimSession : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.CopyExample("flowline.inp");
        dir_.CopyExample("choke_well_plug.inp");
    }
    std::vector<proto::Message> Do(const proto::Message& m) { return Call(session_, m); }
    // The reply, whose messages must have these names (empty ones when not).
    std::vector<proto::Message> Reply(const proto::Message& m, std::vector<std::string> names) {
        auto r = Do(m);
        std::vector<std::string> got;
        for (const auto& x : r) got.push_back(x.name);
        EXPECT_EQ(got, names) << (r.empty() ? "" : TextOf(r[0]));
        if (got != names) r.assign(names.size(), proto::Message{});
        return r;
    }
    void ExpectOk(const proto::Message& m) { Reply(m, {"ZEFA_OK"}); }
    // The error reply's text, which must say each of `says`.
    std::string ExpectError(const proto::Message& m, std::initializer_list<std::string> says = {}) {
        const std::string e = TextOf(Reply(m, {"ZEFA_ERROR"})[0]);
        for (const std::string& part : says) EXPECT_NE(e.find(part), std::string::npos) << e;
        return e;
    }
    void Load(const std::string& file) { ExpectOk(Text(MessageType::Start, file)); }
    // The flowline example with no slip: the example itself takes the default
    // law, under which its riser slugs, and a slugging line has no derivative
    // to speak of.
    void LoadNoSlipFlowline() {
        dir_.Write("noslip.inp", ExampleWithFluid("flowline.inp", "HOLDUP = NOSLIP, "));
        Load("noslip.inp");
    }
    std::vector<float> StepTo(float t) {
        Do(Floats(MessageType::SetTend, {t}));
        return FloatsOf(Reply(Text(MessageType::SimStep, "x"), {"ZEFA_OK", "ZEFA_OUTTR_DATA"})[1]);
    }

    TempDir dir_;
    Session session_{dir_.path()};
};

TEST_F(ZefasimSession, WithoutAModelRequestsAreRefusedAndFileNamesMustStayInTheFolder) {
    ExpectError(Text(MessageType::SimStep, "x"), {"no model loaded"});
    ExpectError(Text(MessageType::GetTime, "x"));
    ExpectError(Text(MessageType::InpNames, " $IN SOURCE"));
    Reply(Text(MessageType::Ping, "no data for ZEFA_PING"), {"ZEFA_PONG"});
    for (const char* bad : {"../flowline.inp", "/etc/passwd", "sub/x.inp", "", "..", "a\\b.inp"}) {
        EXPECT_FALSE(ExpectError(Text(MessageType::ReadInput, bad)).empty()) << bad;
        EXPECT_FALSE(ExpectError(Text(MessageType::InputLogOn, bad)).empty()) << bad;
        EXPECT_FALSE(ExpectError(Text(MessageType::LoadSnap, bad)).empty()) << bad;
    }
    EXPECT_EQ(session_.model(), nullptr);
    ExpectError(Text(MessageType::ReadInput, "missing.inp"), {"missing.inp: cannot open"});
    dir_.Write("broken.inp", "FLUID GASMW = 20\nPIPE LABEL = X\n");
    ExpectError(Text(MessageType::ReadInput, "broken.inp"), {"broken.inp:2: PIPE:"});
}

TEST_F(ZefasimSession, InputsAreCheckedAssignedInOrderAndRefusedOutOfRange) {
    Do(Floats(MessageType::InpData, {1, 2, 3}));  // before any model: a warning the load drops
    ASSERT_EQ(session_.warnings().size(), 1u);
    Load("flowline.inp");
    EXPECT_TRUE(session_.warnings().empty());
    ExpectError(Text(MessageType::InpNames, " $IN SOURCE $NOPE BOUNDARY $OUT VALVE"),
                {"no BOUNDARY labelled NOPE", "unknown input kind VALVE"});
    ExpectOk(Text(MessageType::InpNames, " $IN SOURCE $OUT boundary"));
    ExpectError(Ints(MessageType::InpSizes, {5, 4}), {"$OUT takes 5 values, not 4"});
    ExpectError(Ints(MessageType::InpSizes, {5}));
    ExpectOk(Ints(MessageType::InpSizes, {5, 5}));
    // Source: gas fraction, mass flow, pressure, temperature, water fraction;
    // boundary: type, gas fraction, pressure, temperature, water fraction.
    EXPECT_TRUE(
        Do(Floats(MessageType::InpData, {0.4f, 3.5f, 1e6f, 45, 0.25f, 1, 0.9f, 1.8e6f, 12, 0.5f}))
            .empty());
    const Model& m = *session_.model();
    const Source& in = m.sources[0];
    const Boundary& out = m.boundaries[0];
    EXPECT_EQ((std::vector<double>{in.gas_fraction, in.mass_flow, in.temperature, in.water_fraction,
                                   out.gas_fraction, out.pressure, out.temperature}),
              (std::vector<double>{0.4f, 3.5f, 45, 0.25f, 0.9f, 1.8e6f, 12}));
    // Data of the wrong length or out of range changes nothing, and says why
    // with the next step's reply, naming the request.
    struct Bad {
        std::vector<float> v;
        const char* why;
    } bad[] = {
        {{0.1f, 9, 1, 2},
         "ZEFA_ERROR \x83"
         "error: ZEFA_INP_DATA: input data ignored: 4 values where 10"},
        {{0.1f, 1e9f, 0, 30, 0, 1, 1, 20e5f, 30, 0},
         "source $IN mass flow 1e+09 kg/s lies outside"},
        {{0.1f, 8, 0, 30, 0, 1, 1, 20e5f, -300, 0},
         "boundary $OUT temperature -300 C lies outside"},
        {{1.5f, 8, 0, 30, 0, 1, 1, 20e5f, 30, 0}, "source $IN gas fraction 1.5 - lies outside"},
        {{0.1f, 9, 1, 2, 0, 1, 0, -5, 1, 0},
         "boundary $OUT pressure -5 N/m2 lies outside 1000 .. 7.5e+08 N/m2"},
    };
    for (const Bad& b : bad) EXPECT_TRUE(Do(Floats(MessageType::InpData, b.v)).empty());
    EXPECT_EQ(in.mass_flow, static_cast<double>(3.5f));
    EXPECT_EQ(out.pressure, static_cast<double>(1.8e6f));
    Do(Floats(MessageType::SetTend, {NAN}));
    ASSERT_EQ(session_.warnings().size(), std::size(bad) + 1);
    Do(Floats(MessageType::SetTend, {5}));
    auto r = Reply(Text(MessageType::SimStep, "x"), {"ZEFA_OK", "ZEFA_OUTTR_DATA"});
    for (const Bad& b : bad) EXPECT_NE(TextOf(r[0]).find(b.why), std::string::npos) << b.why;
    EXPECT_NE(TextOf(r[0]).find("ZEFA_SET_TEND: end time ignored"), std::string::npos);
    EXPECT_EQ(TextOf(Reply(Text(MessageType::SimStep, "x"), {"ZEFA_OK", "ZEFA_OUTTR_DATA"})[0]),
              "done");
    // A withdrawal's fractions are unknown to the host (-1) and not used.
    EXPECT_TRUE(Do(Floats(MessageType::InpData, {-1, -3, 0, 30, -1, 1, 1, 20e5f, 30, 0})).empty());
    EXPECT_EQ(in.mass_flow, -3);
    // A step that leaves a value that is not a number, or a section outside
    // what the fluid model holds (liquids packed past half their bulk modulus),
    // is retried shorter, and at the shortest has failed, and says what.
    const std::pair<void (*)(Model&), const char*> broken[] = {
        {[](Model& b) { b.branches[0].mass[3][kOil] = NAN; }, "left non-finite mass"},
        {[](Model& b) { b.fluid.bulk_modulus = 3e6; }, "the liquids' equation of state holds,"},
    };
    for (size_t i = 0; i < std::size(broken); ++i) {
        if (i > 0) {
            Load("flowline.inp");
            StepTo(5);
        }
        broken[i].first(const_cast<Model&>(*session_.model()));
        Do(Floats(MessageType::SetTend, {15}));
        ExpectError(Text(MessageType::SimStep, "x"),
                    {"(the shortest) from 5", broken[i].second, " in branch FLOWLINE"});
    }
}

TEST_F(ZefasimSession, OutputTrendsFollowTheRegisteredOrder) {
    LoadNoSlipFlowline();
    ExpectError(Text(MessageType::OuttrNames, " HT $IN PTBOU $OUT XYZ $NOPE PT"),
                {"$IN is not a boundary", "unknown variable XYZ", "$NOPE is not a position"});
    auto r = Reply(Text(MessageType::OuttrNames, kFlowlineOutputs), {"ZEFA_OUTTR_SIZES"});
    EXPECT_EQ(IntsOf(r[0]), std::vector<std::int32_t>(17, 1));
    std::vector<float> v =
        FloatsOf(Reply(Text(MessageType::GettrResult, ""), {"ZEFA_OUTTR_DATA"})[0]);
    ASSERT_EQ(v.size(), 17u);
    const Model& m = *session_.model();
    EXPECT_FLOAT_EQ(v[0], static_cast<float>(m.planned_step));
    EXPECT_FLOAT_EQ(v[1], static_cast<float>(m.StateOf(0, 0).p));
    EXPECT_FLOAT_EQ(v[9], 20e5f);  // PTBOU

    v = StepTo(120);
    ASSERT_EQ(v.size(), 17u);
    EXPECT_EQ(m.time, 120);
    // Source flows as given, split by the source's fractions.
    EXPECT_FLOAT_EQ(v[5], 8 * 0.15f);
    EXPECT_FLOAT_EQ(v[6], static_cast<float>(8 * 0.85 * 0.7));
    EXPECT_FLOAT_EQ(v[7], static_cast<float>(8 * 0.85 * 0.3));
    EXPECT_FLOAT_EQ(v[8], 60);
    const Branch& br = m.branches[0];
    EXPECT_FLOAT_EQ(v[13], static_cast<float>(br.flux.back()[kGas]));
    EXPECT_GT(v[13], 0);  // gas leaves through the outlet (positive downstream)
}

// The reported sensitivities against central differences of whole run
// intervals driven through the protocol: the host uses them over the interval
// it asked for, so they must hold for short and long intervals alike.
TEST_F(ZefasimSession, DerivativesMatchFiniteDifferences) {
    // The flowline with no slip, and with its default law at gas rates that
    // keep the riser from slugging (a slugging line has no derivative to speak
    // of): at 30 % gas the outflow's liquid response to the outlet pressure is
    // a small difference of the line's compression and what its liquid does to
    // the head, at 60 % the sources' response; a line with a well and a choke
    // at its outlet. A model stepped before, withdrawing, must leave nothing
    // behind that the next model's derivatives read.
    Load("flowline.inp");
    ExpectOk(Text(MessageType::InpNames, " $IN SOURCE $OUT BOUNDARY"));
    ExpectOk(Ints(MessageType::InpSizes, {5, 5}));
    Do(Floats(MessageType::InpData, {-1, -3, 0, 30, -1, 1, 1, 20e5f, 30, 0}));
    StepTo(5);
    LoadNoSlipFlowline();
    for (const char* gas : {"0.30", "0.40", "0.60"})
        dir_.Write(std::string("drift") + gas + ".inp",
                   Replace(Example("flowline.inp"), "GASFRACTION = 0.15",
                           std::string("GASFRACTION = ") + gas));
    struct Case {
        const char* model;
        float gas_fraction, total, p_out;
    };
    for (Case c : {Case{"noslip.inp", 0.15f, 8, 20e5f}, Case{"drift0.30.inp", 0.30f, 8, 20e5f},
                   Case{"drift0.40.inp", 0.40f, 8, 20e5f}, Case{"drift0.60.inp", 0.60f, 8, 20e5f},
                   Case{"choke_well_plug.inp", 0.3f, 4, 30e5f}}) {
        // Every interval starts from the same state at 600 s.
        Load(c.model);
        ExpectOk(Text(MessageType::InpNames, " $IN SOURCE $OUT BOUNDARY"));
        ExpectOk(Ints(MessageType::InpSizes, {5, 5}));
        // Derivatives asked for after the start-up: over 600 s of a line still
        // settling from its initial state the default law's seeds run far from
        // the interval's differences (once beyond what a reply carries).
        Reply(Text(MessageType::OuttrNames, " "), {"ZEFA_OUTTR_SIZES"});
        StepTo(600);
        Do(Text(MessageType::OuttrNames, kFlowlineOutputs));
        dir_.Write("base.snp", EncodeSnapshot(*session_.model()));
        for (float interval : {1.0f, 10.0f, 60.0f}) {
            SCOPED_TRACE(std::string(c.model) + ", run interval " + std::to_string(interval) +
                         " s");
            const float gas = c.total * c.gas_fraction, liquid = c.total * (1 - c.gas_fraction),
                        water = liquid * 0.3f;
            const Model& m = *session_.model();
            // Sends the phase flows and the outlet pressure shifted by the given
            // amounts (gas, oil and water, oil and water, pressure); runs the interval.
            auto run = [&](float dg, float dl, float dw, float dp) {
                ExpectOk(Text(MessageType::LoadSnap, "base.snp"));
                const float total = (gas + dg) + (liquid + dl);
                Do(Floats(MessageType::InpData,
                          {(gas + dg) / total, total, 0, 60, (water + dw) / (liquid + dl), 1, 1,
                           c.p_out + dp, 30, 0}));
                return StepTo(600 + interval);
            };
            std::vector<float> base = run(0, 0, 0, 0);
            ASSERT_EQ(base.size(), 17u);
            // As reported: DPDGGS, DPDGLTHLS, DPDGLTWTS and DGGDPB, DGLTHLDPB, DGLTWTDPB.
            const float* dpdg = &base[2];
            const float* dgdp = &base[10];

            // The outflow's response to the outlet pressure: the least-squares
            // slope over pressures 0.1 to 0.4 bar either side, so that the small
            // ripple the adaptive step sequence leaves on a phase's flow does not
            // pass for the derivative.
            Phases slope{}, outflow_at[6];
            const float dps[6] = {-4e4f, -2e4f, -1e4f, 1e4f, 2e4f, 4e4f};
            double sxx = 0;
            for (int r = 0; r < 6; ++r) {
                run(0, 0, 0, dps[r]);
                outflow_at[r] = m.branches[0].flux.back();
                sxx += double(dps[r]) * dps[r];
            }
            for (int k = 0; k < 3; ++k) {
                for (int r = 0; r < 6; ++r) slope[k] += dps[r] * outflow_at[r][k] / sxx;
                double fd = slope[k];
                EXPECT_NEAR(dgdp[k], fd, 0.05 * std::fabs(fd) + 1e-12) << "phase " << k;
            }
            EXPECT_LT(dgdp[kGas], 0);

            // More gas; more oil; more oil and water together. 0.01 kg/s: at
            // 60 % gas the inlet pressure's response to 0.02 to 0.05 kg/s less
            // liquid bends (the difference quotient there is a third higher).
            const float dg = 0.01f;
            for (int k = 0; k < 3; ++k) {
                run(k == 0 ? dg : 0, k > 0 ? dg : 0, k == 2 ? dg : 0, 0);
                double p_hi = m.StateOf(0, 0).p;
                run(k == 0 ? -dg : 0, k > 0 ? -dg : 0, k == 2 ? -dg : 0, 0);
                double p_lo = m.StateOf(0, 0).p;
                double fd = (p_hi - p_lo) / (2 * dg);
                EXPECT_NEAR(dpdg[k], fd, 0.05 * std::fabs(fd)) << "phase " << k;
                EXPECT_GT(fd, 0);
            }
        }
    }
}

TEST_F(ZefasimSession, TrendsProfilesAndLabels) {
    Load("flowline.inp");
    auto r = Reply(Text(MessageType::SendtrNames, " $POS-TOP PT $POS-IN GT $ HT $ RMTOT $ RMERR"),
                   {"ZEFA_SENDTR_SIZES", "ZEFA_SENDTR_DATA"});
    EXPECT_EQ(IntsOf(r[0]), std::vector<std::int32_t>(5, 1));
    std::vector<float> v = FloatsOf(r[1]);
    const Model& m = *session_.model();
    ASSERT_EQ(v.size(), 5u);
    EXPECT_LT(std::fabs(v[4]), 1e-6f * v[3]);
    EXPECT_FLOAT_EQ(v[0], static_cast<float>(m.StateOf(0, 49).p));
    EXPECT_FLOAT_EQ(v[2], static_cast<float>(m.planned_step));
    EXPECT_FLOAT_EQ(v[3], static_cast<float>(m.TotalMass()));
    ExpectError(Text(MessageType::SendtrNames, " $POS-TOP PT $ QQQ $POS-TOP HT"),
                {"QQQ needs a label"});

    StepTo(60);
    const std::vector<std::string> profile = {"ZEFA_SENDPR_SIZES", "ZEFA_SENDPR_DATA"};
    r = Reply(Text(MessageType::SendprNames, "$FLOWLINE ZZBOU GG"), profile);
    EXPECT_EQ(IntsOf(r[0]), (std::vector<std::int32_t>{51, 51}));
    v = FloatsOf(r[1]);
    ASSERT_EQ(v.size(), 102u);
    EXPECT_EQ(v[0], 0);
    EXPECT_EQ(v[40], 4000);
    EXPECT_EQ(v[50], 4200);
    EXPECT_EQ(v[51], 0);  // closed inlet end
    EXPECT_FLOAT_EQ(v[101], static_cast<float>(m.branches[0].flux[50][kGas]));
    r = Reply(Text(MessageType::SendprNames, "$FLOWLINE ZZVOL HOL"), profile);
    EXPECT_EQ(IntsOf(r[0]), (std::vector<std::int32_t>{50, 50}));
    EXPECT_FLOAT_EQ(FloatsOf(r[1])[0], 50);
    ExpectError(Text(MessageType::SendprNames, "$FLOWLINE ZZVOL HT"), {"no profile of HT"});
    ExpectError(Text(MessageType::SendprNames, "$NOLINE ZZBOU GG"), {"$NOLINE is not a branch"});

    const std::pair<const char*, const char*> kinds[] = {{"BRANCH", "FLOWLINE"},
                                                         {"SOURCE", "IN"},
                                                         {"BOUNDARY", "OUT"},
                                                         {"POSITION", "POS-IN POS-BASE POS-TOP"},
                                                         {"CONTROLLER", ""},
                                                         {"PLUG", ""},
                                                         {"WELL", ""}};
    for (auto [kind, labels] : kinds)
        EXPECT_EQ(TextOf(Reply(Text(MessageType::GetLabelList, kind), {"ZEFA_LABEL_LIST"})[0]),
                  labels)
            << kind;
    ExpectError(Text(MessageType::GetLabelList, "PIPE"), {"unknown label kind 'PIPE'"});
}

TEST_F(ZefasimSession, PlugLaunchWellPressureShutInAndClock) {
    Load("choke_well_plug.inp");
    ExpectOk(Text(MessageType::InpNames, " $PIG1 PLUG"));
    ExpectOk(Ints(MessageType::InpSizes, {1}));
    Do(Floats(MessageType::InpData, {1.0f}));
    ExpectOk(Text(MessageType::InpNames, " $IN SOURCE $OUT BOUNDARY $CHOKE CONTROLLER"));
    ExpectOk(Ints(MessageType::InpSizes, {5, 5, 1}));
    Do(Floats(MessageType::InpData, {0.3f, 4, 0, 50, 0.1f, 1, 1, 30e5f, 25, 0, 0.25f}));
    Do(Text(MessageType::OuttrNames, " HT $PIG1 ZZPIG UPIG $CHOKE CONTR $W1 GTWELL"));
    std::vector<float> v = StepTo(60);
    ASSERT_EQ(v.size(), 5u);
    EXPECT_GT(v[1], 0);  // the plug moved from the inlet
    EXPECT_GT(v[2], 0);  // and travels downstream
    EXPECT_FLOAT_EQ(v[3], 0.25f);
    EXPECT_GT(v[4], 0);  // the well produces
    // Plug keys at a position name the branch's plug; global keys ignore a label.
    std::vector<float> at =
        FloatsOf(Reply(Text(MessageType::SendtrNames, " $PIG1 ZZPIG $MID ZZPIG $MID HT"),
                       {"ZEFA_SENDTR_SIZES", "ZEFA_SENDTR_DATA"})[1]);
    ASSERT_EQ(at.size(), 3u);
    EXPECT_EQ(at[0], v[1]);
    EXPECT_EQ(at[1], v[1]);
    EXPECT_EQ(at[2], v[0]);
    ExpectError(Text(MessageType::SendtrNames, " $IN ZZPIG"), {"neither a plug"});

    ExpectOk(Text(MessageType::KeywordInput, "WELL LABEL = W1, RESPRESSURE = 1000000"));
    v = StepTo(120);
    EXPECT_EQ(v[4], 0);  // reservoir below line pressure: no backflow into the well
    ExpectOk(Text(MessageType::KeywordInput, "SHUTIN TSHUT1 = 0.0 s,  TSHUT2 = 0.2E+35 s   "));
    v = StepTo(180);
    const Model& m = *session_.model();
    EXPECT_EQ(m.branches[0].flux.back()[kGas], 0);
    ExpectError(Text(MessageType::KeywordInput, "WELL LABEL = W9, RESPRESSURE = 1"),
                {"unknown well W9"});

    Do(Floats(MessageType::SetTime, {1000}));
    EXPECT_EQ(FloatsOf(Reply(Text(MessageType::GetTime, "no additional data for get_time command"),
                             {"ZEFA_OUT_TIME"})[0]),
              std::vector<float>{1000});
    EXPECT_EQ(FloatsOf(Reply(Text(MessageType::GetStep, "no additional data for get-step command"),
                             {"ZEFA_OUT_STEP"})[0]),
              std::vector<float>{static_cast<float>(m.planned_step)});
    // An end time at or before the present time runs nothing but still answers.
    v = StepTo(900);
    EXPECT_EQ(m.time, 1000);
    // Still shut in, the line segregates slowly by drift: the start may tell
    // that it did not settle, and still resets the clock and the plug.
    auto init = Do(Text(MessageType::Initialize, "no additional data for initialize command"));
    ASSERT_EQ(init.size(), 1u);
    EXPECT_TRUE(init[0].name == "ZEFA_OK" ||
                TextOf(init[0]).find("steady state not reached") != std::string::npos)
        << TextOf(init[0]);
    EXPECT_EQ(m.time, 0);
    EXPECT_FALSE(m.plugs[0].launched);
}

TEST_F(ZefasimSession, StartRunsToSteadyStateWhenAsked) {
    Load("choke_well_plug.inp");  // STEADY = YES
    const Model& m = *session_.model();
    EXPECT_EQ(m.time, 0);
    EXPECT_EQ(m.steps, 0);
    const Branch& br = m.branches[0];
    const Phases& well = m.wells[0].applied;
    double inflow = 4 + well[kGas] + well[kOil] + well[kWater];
    EXPECT_GT(inflow, 5);
    EXPECT_NEAR(br.flow.back(), inflow, 1e-5 * inflow);
    // Upstream of the well only the source flows (the liquid inventory, which
    // the drift sets, settles slowly: the flows are within 1e-5).
    EXPECT_NEAR(br.flow[3], 4, 1e-5);
    EXPECT_EQ(br.flow[0], 0);  // closed inlet end
}

TEST_F(ZefasimSession, SnapshotsAndInputLog) {
    Load("flowline.inp");
    Do(Text(MessageType::OuttrNames, kFlowlineOutputs + " $POS-TOP HOL GT $ RMTOT"));
    ExpectError(Text(MessageType::LoadSnap, "none.snp"));
    ExpectOk(Text(MessageType::InputLogOn, "requests.log"));
    StepTo(42);
    ExpectOk(Text(MessageType::SaveSnap, "at42.snp"));
    std::vector<float> uninterrupted = StepTo(50);
    dir_.Write("bad.snp", ReadFile(dir_.File("at42.snp")).substr(0, 100));
    ExpectError(Text(MessageType::LoadSnap, "bad.snp"), {"snapshot"});
    EXPECT_EQ(session_.model()->time, 50);  // unchanged by the refused load
    ExpectOk(Text(MessageType::LoadSnap, "at42.snp"));
    EXPECT_EQ(session_.model()->time, 42);
    // The registered outputs and the end time stay; the continued run repeats the
    // values exactly.
    ASSERT_EQ(uninterrupted.size(), 20u);
    EXPECT_EQ(FloatsOf(Reply(Text(MessageType::SimStep, "x"), {"ZEFA_OK", "ZEFA_OUTTR_DATA"})[1]),
              uninterrupted);
    ExpectOk(Text(MessageType::InputLogOff, "no data "));
    Do(Text(MessageType::Ping, "after"));
    std::string log = ReadFile(dir_.File("requests.log"));
    EXPECT_EQ(log,
              "ZEFA_SET_TEND 42\n"
              "ZEFA_SIM_STEP x\n"
              "ZEFA_SAVE_SNAP at42.snp\n"
              "ZEFA_SET_TEND 50\n"
              "ZEFA_SIM_STEP x\n"
              "ZEFA_LOAD_SNAP bad.snp\n"
              "ZEFA_LOAD_SNAP at42.snp\n"
              "ZEFA_SIM_STEP x\n"
              "ZEFA_INPUT_LOG_OFF no data \n");
}

TEST_F(ZefasimSession, SnapshotsAndLogsNeverOverwriteInputOrForeignFiles) {
    Load("choke_well_plug.inp");
    const std::string input = ReadFile(dir_.File("choke_well_plug.inp"));
    const std::string gas = ReadFile(dir_.File("flowline.inp"));
    dir_.Write("notes.txt", "my notes\n");
    // Its own files may be written again: a snapshot (also one of an earlier
    // server run) and the log, which is continued rather than truncated.
    ExpectOk(Text(MessageType::SaveSnap, "a.snp"));
    ExpectOk(Text(MessageType::SaveSnap, "a.snp"));
    dir_.Write("old.snp", EncodeSnapshot(*session_.model()));
    ExpectOk(Text(MessageType::SaveSnap, "old.snp"));
    for (int i = 0; i < 2; ++i) {
        ExpectOk(Text(MessageType::InputLogOn, "run.log"));
        ExpectOk(Text(MessageType::InputLogOff, "no data "));
    }
    EXPECT_EQ(ReadFile(dir_.File("run.log")),
              "ZEFA_INPUT_LOG_OFF no data \nZEFA_INPUT_LOG_OFF no data \n");
    // Input files by any case of the extension, whether they exist or not; a
    // file the server did not write; a snapshot as a log and a log as a snapshot.
    const std::pair<MessageType, const char*> refused[] = {
        {MessageType::SaveSnap, "choke_well_plug.inp"},
        {MessageType::InputLogOn, "flowline.inp"},
        {MessageType::SaveSnap, "NEW.INP"},
        {MessageType::InputLogOn, "NEW.INP"},
        {MessageType::SaveSnap, "notes.txt"},
        {MessageType::InputLogOn, "notes.txt"},
        {MessageType::InputLogOn, "a.snp"},
        {MessageType::SaveSnap, "run.log"}};
    for (auto [type, name] : refused) {
        ExpectError(Text(type, name), {std::string("'") + name + "'"});
    }
    ExpectError(Text(MessageType::SaveSnap, "flowline.inp"), {"it is an input file"});
    ExpectError(Text(MessageType::SaveSnap, "notes.txt"), {"refusing to overwrite"});
    EXPECT_EQ(ReadFile(dir_.File("choke_well_plug.inp")), input);
    EXPECT_EQ(ReadFile(dir_.File("flowline.inp")), gas);
    EXPECT_EQ(ReadFile(dir_.File("notes.txt")), "my notes\n");
    EXPECT_FALSE(std::filesystem::exists(dir_.File("NEW.INP")));
    // No stray temporary files are left behind.
    int files = 0;
    for ([[maybe_unused]] const auto& f : std::filesystem::directory_iterator(dir_.path())) ++files;
    EXPECT_EQ(files, 6);  // two inputs, notes, two snapshots, the log
}

}  // namespace
}  // namespace zefasim
