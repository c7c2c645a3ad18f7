// Input table and boundary data, output table and results, against reference
// host streams and tables and a pipeline peer that records what it receives.
#include <gmock/gmock.h>

#include "coupling_fixture.h"

using namespace zefa::test::coupling;
using ::testing::ElementsAre;
using zefa::test::FakeServer;

namespace {

class CouplingTables : public Coupling {
  protected:
    void SetUp() override {
        Coupling::SetUp();
        State().client().TCPTimeOut = 2;
        ASSERT_TRUE(State().client().OpenConnection("127.0.0.1", server.Port()));
    }
    std::shared_ptr<TestStream> Make(const std::string& name, double p, double t, double m) {
        auto s = std::make_shared<TestStream>(name);
        s->pressure->SetValue(p);
        s->temperature->SetValue(t);
        s->mass_flow->SetValue(m);
        return s;
    }
    RefTableOperation& Table(const std::string& name) {
        auto table = std::dynamic_pointer_cast<RefTableOperation>(
            host_case->Flowsheet()->FindOperation("PIPE-100 ZEFA " + name));
        EXPECT_NE(table, nullptr);
        return *table;
    }
    std::vector<std::string> Column(const std::string& name,
                                    std::string RefTableOperation::Entry::*field) {
        std::vector<std::string> out;
        for (const auto& e : Table(name).Entries()) out.push_back(e.*field);
        return out;
    }
    // The values of the n-th request of that name (from 1), once it has
    // arrived: requests that get no reply reach the peer after the call.
    std::vector<float> Sent(const std::string& name, std::size_t n) {
        server.Count(name, n);
        std::size_t seen = 0;
        for (const auto& r : server.Requests())
            if (r.name == name && ++seen == n) return r.floats;
        return {};
    }

    FakeServer server;
};

}  // namespace

// ---- Input table ----

TEST_F(CouplingTables, SetupCountsConnectionsAndFillsTheirDefaults) {
    auto in = Make("IN", 5000, 50, 2);
    auto out = Make("OUT", 3000, 40, 1);
    auto back = Make("BACK", 2000, 30, -1);
    Connect({in}, {0}, {out, back}, {0, 1});
    Array("SourceGasFractions", host::NumberArray::OneD({host::kEmptyNumber, 0.3}));
    Array("SourceWaterFractions", host::NumberArray::OneD({host::kEmptyNumber}));
    Array("ActualOutletMassFlows", host::NumberArray::OneD({7}));  // not one row per outlet
    zefa->SetupSourceAndBoundaryVars();
    EXPECT_TRUE(Lines().empty()) << Lines()[0];
    EXPECT_EQ(State().step().intNumSources, 2);
    EXPECT_EQ(State().step().intNumBoundaries, 1);
    EXPECT_THAT(Values("SourceGasFractions").data, ElementsAre(1.0, 0.3));
    EXPECT_THAT(Values("SourceWaterFractions").data, ElementsAre(0.0, 0.0));
    EXPECT_THAT(Values("SourcePressures").data, ElementsAre(5000, 2000));
    EXPECT_THAT(Values("SourceTemperatures").data, ElementsAre(50, 30));
    EXPECT_THAT(State().step().dblLastSourcePressures, ElementsAre(5000, 2000));
    EXPECT_THAT(Values("BoundaryTypes").data, ElementsAre(1.0));
    EXPECT_THAT(Values("BoundaryGasFracs").data, ElementsAre(1.0));
    EXPECT_THAT(Values("BoundaryTemperatures").data, ElementsAre(40));
    EXPECT_EQ(Values("OutletMassFlows").rows, 1u);
    EXPECT_EQ(Values("SourceMassFlows").rows, 2u);
    EXPECT_EQ(Values("ActualOutletMassFlows").rows, 2u);
    EXPECT_EQ(Values("ActualOutletMassFlows").columns, 3u);
    EXPECT_EQ(State().step().dblBoundaryFlows.rows, 1u);
}

TEST_F(CouplingTables, ValuesAreSentInRowOrderConvertedAndSigned) {
    auto in = Make("IN", 5000, 50, 2);
    auto out = Make("OUT", 3000, 40, 1);
    auto back = Make("BACK", 2000, 30, 0.5);  // an outlet the pipeline feeds as a source
    Connect({in}, {0}, {out, back}, {0, 1});
    SetTexts("SourceTags", {"IN"});
    SetTexts("BoundaryTags", {"OUT", "BACK"});
    Array("SourceGasFractions", host::NumberArray::OneD({0.7, 0.2}));
    Array("SourceWaterFractions", host::NumberArray::OneD({0.1, 0.3}));
    Array("BoundaryWaterFracs", host::NumberArray::OneD({0.05}));
    auto pic = std::make_shared<RefOperation>("PIC", "fbcontrolop");
    auto op = pic->AddMember("OP", 0.0, "percent");
    auto fv = std::make_shared<RefOperation>("FV", "valveop");
    fv->AddMember("ActuatorPosition", 100.0, "percent");
    host_case->Flowsheet()->AddSubFlowsheet("Area")->Add(fv);
    host_case->Flowsheet()->Add(pic);
    host_case->Flowsheet()->Add(std::make_shared<RefOperation>("TANK", "tankop"));
    SetNumber("ControllersOn", 1);
    SetTexts("KAVRISControllers", {"PIC", "MISSING", "TANK", "FV"});
    SetTexts("ZEFAControllers", {"C1", "C2", "C3", "C4"});

    zefa->SetupSourceAndBoundaryVars();
    ASSERT_TRUE(zefa->BuildInputTable());
    ASSERT_TRUE(zefa->BuildInputTable());  // the table is reused and refilled
    EXPECT_THAT(
        Column("Input", &RefTableOperation::Entry::tag),
        ElementsAre("0_IN_GF", "1_IN_MF", "2_IN_P", "3_IN_T", "4_IN_WF", "5_OUT_Type", "6_OUT_GF",
                    "7_OUT_P", "8_OUT_T", "9_OUT_WF", "10_BACK_GF", "11_BACK_MF", "12_BACK_P",
                    "13_BACK_T", "14_BACK_WF", "15_C1", "16_C4"));
    EXPECT_THAT(State().step().varInputUnits,
                ElementsAre("", "kg/s", "N/m2", "C", "", "", "", "N/m2", "C", "", "", "kg/s",
                            "N/m2", "C", "", "%", "%"));
    EXPECT_EQ(Table("Input").Entries()[1].variable, in->mass_flow);
    EXPECT_EQ(Table("Input").Entries()[4].flag, 1);
    EXPECT_EQ(Column("Input", &RefTableOperation::Entry::description)[5], "OUT Type");
    EXPECT_THAT(Lines(), ElementsAre("MISSING does not exist in this case" + kSuffix,
                                     "TANK is not a KAVRIS Controller or Valve" + kSuffix,
                                     "MISSING does not exist in this case" + kSuffix,
                                     "TANK is not a KAVRIS Controller or Valve" + kSuffix));
    // Controllers without a row are not registered: sizes add up to the values.
    const std::string names =
        "ZEFA_INP_NAMES| $IN SOURCE $OUT BOUNDARY $BACK SOURCE $C1 CONTROLLER $C4 CONTROLLER";
    EXPECT_THAT(server.Received(4),
                ElementsAre(names, "ZEFA_INP_SIZES|5|5|5|1|1", names, "ZEFA_INP_SIZES|5|5|5|1|1"));
    EXPECT_THAT(State().step().intControllerRows, ElementsAre(15, 16));
    EXPECT_EQ(Column("Input", &RefTableOperation::Entry::description)[16], "FV Actuator Position");

    zefa->PackageAndSendDataToZEFA();
    EXPECT_THAT(Sent("ZEFA_INP_DATA", 1),
                ElementsAre(0.7f, 2.0f, 5e6f, 50.0f, 0.1f,   // inlet source
                            1.0f, 1.0f, 3e6f, 40.0f, 0.05f,  // boundary outlet
                            0.2f, -0.5f, 2e6f, 30.0f, 0.3f,  // outlet source, negated
                            0.0f, 1.0f));                    // 0 % and 100 %
    EXPECT_DOUBLE_EQ(back->mass_flow->GetValue(), 0.5);      // the stream keeps its sign
    EXPECT_EQ(Lines().size(), 4u);

    op->SetValue(100.5);
    zefa->PackageAndSendDataToZEFA();
    ASSERT_EQ(Sent("ZEFA_INP_DATA", 2).size(), 17u);
    EXPECT_FLOAT_EQ(Sent("ZEFA_INP_DATA", 2)[15], 100.5f);
    ASSERT_EQ(Lines().size(), 5u);
    EXPECT_EQ(Lines()[4],
              "Error:  One of your CONTROLLER signals being sent to ZEFA is not within the range "
              "of 0 to 100%." +
                  kSuffix);

    // Controllers off: no controller entries and no percent conversion.
    SetNumber("ControllersOn", 0);
    ASSERT_TRUE(zefa->BuildInputTable());
    zefa->PackageAndSendDataToZEFA();
    EXPECT_EQ(Sent("ZEFA_INP_DATA", 3).size(), 15u);
    EXPECT_TRUE(State().step().intControllerRows.empty());
    EXPECT_EQ(Lines().size(), 5u);

    server.Refuse("ZEFA_INP_NAMES");
    EXPECT_FALSE(zefa->BuildInputTable());
    EXPECT_EQ(Lines().back(),
              "ZEFA_INP_NAMES failed. Check the ZEFA Boundary/Source/Controller Labels you have "
              "specified on the Setup - Connections page under the Inlets and Outlets." +
                  kSuffix);
}

// ---- Output table ----

TEST_F(CouplingTables, OutputTableRowsTrendNamesAndWhereResultsLand) {
    auto in = Make("IN", 5000, 50, 2);
    auto out = Make("OUT", 3000, 40, 1);
    Connect({in}, {0}, {out}, {0});
    SetTexts("SourceTags", {"IN"});
    SetTexts("BoundaryTags", {"OUT"});
    SetNumber("ControllersOn", 0);
    State().lists().intNumControllers = 1;  // listed, but not coupled
    zefa->SetupSourceAndBoundaryVars();
    ASSERT_TRUE(zefa->SetupDerivatives());
    ASSERT_TRUE(zefa->BuildOutputTable()) << ::testing::PrintToString(Lines());
    EXPECT_TRUE(Lines().empty()) << Lines()[0];
    EXPECT_TRUE(State().step().boolStepPending);

    const auto received = server.Received(5);
    ASSERT_EQ(received.size(), 5u);
    EXPECT_EQ(received[3],
              "ZEFA_OUTTR_NAMES| HT $IN PT DPDGGS DPDGLTHLS DPDGLTWTS GGSOUR GLHLMA GLWTMA TM "
              "$OUT PTBOU DGGDPB DGLTHLDPB DGLTWTDPB GGBOU GLTHLBOU GLTWTBOU TMBOU ");
    EXPECT_EQ(received[4], "ZEFA_GETTR_RESULT");
    EXPECT_THAT(
        Column("Output", &RefTableOperation::Entry::tag),
        ElementsAre("0_HT", "1_$IN_PT", "2_$IN_DPDGGS", "3_$IN_DPDGLTHLS", "4_$IN_DPDGLTWTS",
                    "5_$IN_GGSOUR", "6_$INGLHLMA", "7_$INGLWTMA", "8_$IN_TM", "9_$OUT_PTBOU",
                    "10_$OUT_DGGDPB", "11_$OUT_DGLTHLDPB", "12_$OUT_DGLTWTDPB", "13_$OUT_GGBOU",
                    "14_$OUT_GLTHLBOU", "15_$OUT_GLTWTBOU", "16_$OUT_TMBOU"));
    EXPECT_THAT(Column("Output", &RefTableOperation::Entry::description),
                ElementsAre("ZEFA Planned DT", "$IN Pressure", "$IN DPDGGS", "$IN DPDGLTHLS",
                            "$IN DPDGLTWTS", "$IN Gas Flow", "$IN Oil Flow", "$IN Water Flow",
                            "$IN Temperature", "$OUT Pressure", "$OUT DGGDPB", "$OUT DGLTHLDPB",
                            "$OUT DGLTWTDPB", "$OUT Gas Flow", "$OUT Oil Flow", "$OUT Water Flow",
                            "$OUT Temperature"));
    EXPECT_EQ(Table("Output").Entries()[0].flag, 2);

    // A result vector written through the table lands in the configuration
    // variables, in the host's units.
    std::vector<double> result(17);
    for (std::size_t i = 0; i < result.size(); ++i) result[i] = static_cast<double>(i) + 0.5;
    result[1] = 4.2e6;
    result[9] = 3.1e6;
    Table("Output").WriteValues(State().step().varOutputValueHandle, result,
                                State().step().varOutputUnits);
    EXPECT_DOUBLE_EQ(GetNumber("PlannedTimeStep"), 0.5);
    EXPECT_THAT(Values("SourcePressures").data, ElementsAre(4200));
    EXPECT_THAT(Values("SourceDerivs").data, ElementsAre(2.5, 3.5, 4.5));
    EXPECT_THAT(Values("SourceMassFlows").data, ElementsAre(5.5, 6.5, 7.5));
    EXPECT_THAT(Values("SourceTemperatures").data, ElementsAre(8.5));
    EXPECT_THAT(Values("BoundaryPressures").data, ElementsAre(3100));
    EXPECT_THAT(Values("BoundaryDerivs").data, ElementsAre(10.5, 11.5, 12.5));
    EXPECT_THAT(Values("OutletMassFlows").data, ElementsAre(13.5, 14.5, 15.5));
    EXPECT_THAT(Values("BoundaryTemperatures").data, ElementsAre(16.5));

    // Coupled controllers add their outputs; a refused name list is reported.
    SetNumber("ControllersOn", 1);
    SetTexts("ZEFAControllers", {"C1"});
    server.Refuse("ZEFA_OUTTR_NAMES");
    State().step().boolStepPending = false;
    EXPECT_FALSE(zefa->BuildOutputTable());
    EXPECT_FALSE(State().step().boolStepPending);
    EXPECT_THAT(server.Requests().back().text, ::testing::EndsWith(" TMBOU $C1 CONTR "));
    EXPECT_EQ(Column("Output", &RefTableOperation::Entry::tag).back(), "17_$C1_CONTR");
    EXPECT_EQ(State().lastMessage(),
              "ZEFA_OUTTR_NAMES failed. Check the ZEFA Boundary/Source/Controller Labels you "
              "have specified on the Setup - Connections page under the Inlets and Outlets.");
}

// ---- Results ----

TEST_F(CouplingTables, SignSwitchOfOneOutletLeavesTheOthersAlone) {
    auto a = Make("A", 1, 1, 1), b = Make("B", 1, 1, 1), c = Make("C", 1, 1, 1);
    auto d = Make("D", 1, 1, 1), e = Make("E", 1, 1, 1);
    // Inlets: source A, boundary B. Outlets: boundaries C and D, source E.
    Connect({a, b}, {0, 1}, {c, d, e}, {0, 0, 1});
    zefa->SetupSourceAndBoundaryVars();
    Array("bFlowSwitch", host::NumberArray::OneD({1, 0, 1}));
    auto rows = [](std::vector<double> v) {
        auto t = host::NumberArray::TwoD(v.size() / 3, 3);
        t.data = std::move(v);
        return t;
    };
    Array("OutletMassFlows", rows({1, 2, 3, 4, 5, 6, 7, 8, 9}));  // B, C, D
    Array("BoundaryDerivs", rows({-1, -2, -3, -4, -5, -6, -7, -8, -9}));
    Array("SourceMassFlows", rows({10, 11, 12, 13, 14, 15}));  // A, E
    Array("SourceDerivs", rows({20, 21, 22, 23, 24, 25}));
    zefa->ConvertFlowsForSign();
    EXPECT_TRUE(Lines().empty()) << Lines()[0];
    EXPECT_THAT(Values("OutletMassFlows").data, ElementsAre(1, 2, 3, -4, -5, -6, 7, 8, 9));
    EXPECT_THAT(Values("BoundaryDerivs").data, ElementsAre(-1, -2, -3, 4, 5, 6, -7, -8, -9));
    EXPECT_THAT(Values("SourceMassFlows").data, ElementsAre(10, 11, 12, -13, -14, -15));
    EXPECT_THAT(Values("SourceDerivs").data, ElementsAre(20, 21, 22, -23, -24, -25));
    // The actual flows follow each stream's own row.
    EXPECT_THAT(Values("ActualInletMassFlows").data, ElementsAre(10, 11, 12, 1, 2, 3));
    EXPECT_THAT(Values("ActualOutletMassFlows").data,
                ElementsAre(-4, -5, -6, 7, 8, 9, -13, -14, -15));
}

TEST_F(CouplingTables, InterpolationRunsBetweenTheTimesOfTheTwoResults) {
    // Previous results at 8 s, the newest at 10 s.
    SetNumber("ZEFARunInterval", 2.0);
    SetNumber("ZEFAsimTime", 10.0);
    State().step().dblPreviousResultsTime = 8.0;
    struct Row {
        double run_interval, host_time, expected;
    };
    for (const Row row : {Row{2, 10, 7}, Row{2, 8, 3}, Row{2, 8.5, 4},
                          // The run interval changed while the step ran (to 1 s
                          // or to nothing): the step's own times still hold.
                          Row{1, 8.5, 4}, Row{1, 9.5, 6}, Row{0, 9, 5},
                          // At or past the newest results: those, exactly.
                          Row{1, 10.001, 7}, Row{1, 12, 7}}) {
        SetNumber("ZEFARunInterval", row.run_interval);
        State().step().dblKavrisTime = row.host_time;
        EXPECT_DOUBLE_EQ(zefa->GetInterpolatedValue(7.0, 3.0), row.expected) << row.host_time;
    }
    // Both results at one time (a standalone run's): the newest.
    State().step().dblPreviousResultsTime = 10.0;
    State().step().dblKavrisTime = 9.0;
    EXPECT_DOUBLE_EQ(zefa->GetInterpolatedValue(7.0, 3.0), 7.0);
    EXPECT_TRUE(Lines().empty()) << Lines()[0];
}

TEST_F(CouplingTables, StreamsGetInterpolatedResultsUnlessTheEquationsCarryThem) {
    auto in = Make("IN", 5000, 50, 2);
    auto out = Make("OUT", 3000, 40, 1);
    Connect({in}, {0}, {out}, {0});
    zefa->SetupSourceAndBoundaryVars();  // last source pressure 5000
    Array("SourcePressures", host::NumberArray::OneD({6000}));
    auto flows = host::NumberArray::TwoD(1, 3);
    flows.data = {4, 2, 1};
    Array("OutletMassFlows", flows);
    SetNumber("ZEFARunInterval", 2.0);
    SetNumber("ZEFAsimTime", 10.0);
    State().step().dblPreviousResultsTime = 8.0;
    State().step().dblKavrisTime = 8.0;  // solving for 9 s
    State().step().dblKavrisStepSize = 1.0;
    zefa->UpdateStreamsData();
    EXPECT_DOUBLE_EQ(in->pressure->GetValue(), 5500);
    EXPECT_DOUBLE_EQ(out->mass_flow->GetValue(), 3.5);  // halfway from zero flows
    EXPECT_THAT(State().step().dblBoundaryFlows.data, ElementsAre(2, 1, 0.5));

    zefa->StoreLastOutputs();
    EXPECT_THAT(State().step().dblLastSourcePressures, ElementsAre(6000));
    EXPECT_THAT(State().step().dblLastBoundaryFlows.data, ElementsAre(4, 2, 1));

    // At the newest results' time: those results, unchanged.
    Array("SourcePressures", host::NumberArray::OneD({6100}));
    State().step().dblKavrisStepSize = 2.0;
    State().step().dblKavrisTime = 10.0;
    zefa->UpdateStreamsData();
    EXPECT_DOUBLE_EQ(in->pressure->GetValue(), 6100);
    EXPECT_DOUBLE_EQ(out->mass_flow->GetValue(), 7);
    EXPECT_TRUE(Lines().empty()) << Lines()[0];
}
