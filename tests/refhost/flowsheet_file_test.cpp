// The flowsheet and record sections of case files: loading, saving and the
// error messages that name the key at fault.
#include "lib/flowsheet_file.h"

#include <gtest/gtest.h>

#include <fstream>

#include "error_of.h"

using namespace refhost;
using nlohmann::json;

namespace zefa::test {
namespace {

json Example() {
    std::ifstream in(ZEFA_EXAMPLE_CASE);
    return json::parse(in);
}

// The message LoadFlowsheet gives for a changed copy of the example.
std::string LoadError(const std::function<void(json&)>& change) {
    json doc = Example();
    change(doc["flowsheet"]);
    return ErrorOf([&] { LoadFlowsheet(doc["flowsheet"], "x.case.json"); });
}

}  // namespace

TEST(FlowsheetFile, ExampleLoadsAndSavesUnchangedOnASecondRound) {
    const json section = Example()["flowsheet"];
    auto plant = LoadFlowsheet(section, "x.case.json");
    EXPECT_EQ(plant->StreamNames(), (std::vector<std::string>{"Wellstream", "Choked", "Export"}));
    EXPECT_EQ(plant->OperationNames(),
              (std::vector<std::string>{"Well", "Choke", "FV-200", "Export terminal", "FIC-200"}));
    EXPECT_EQ(plant->FindOperation("FIC-200")->TypeName(), "fbcontrolop");
    EXPECT_DOUBLE_EQ(plant->FindOperation("Choke")->Member("ActuatorPosition")->GetValue(), 60.0);
    const json saved = SaveFlowsheet(*plant);
    EXPECT_EQ(saved["units"][0]["pressure"], json::parse("[[0,9000.0],[100,9000.0],[140,8000.0]]"));
    auto again = LoadFlowsheet(saved, "x.case.json");
    EXPECT_EQ(SaveFlowsheet(*again), saved);
    EXPECT_NEAR(again->FindStream("Choked")->PressureValue(), 5000.0, 1e-12);

    RefFlowsheet top("Case");
    AddPlantToCase(*plant, section, top);
    EXPECT_NE(top.FindOperation("Choke"), nullptr);
    EXPECT_EQ(top.FindOperation("FV-200"), nullptr);
    ASSERT_EQ(top.SubFlowsheets().size(), 1u);
    EXPECT_EQ(top.SubFlowsheets()[0]->Name(), "Export area");
    EXPECT_NE(top.SubFlowsheets()[0]->FindOperation("FIC-200"), nullptr);
    EXPECT_EQ(PlantStreams(*plant)("Export"), plant->FindStream("Export"));
    EXPECT_EQ(PlantStreams(*plant)("Nope"), nullptr);
}

TEST(FlowsheetFile, ErrorsNameTheKeyAndTheNearestValidName) {
    EXPECT_EQ(LoadError([](json& f) { f["components"][0] = "metane"; }),
              "x.case.json: flowsheet.components[0]: unknown component \"metane\" (did you mean "
              "\"methane\"?)");
    EXPECT_EQ(LoadError([](json& f) { f["components"][1] = "methane"; }),
              "x.case.json: flowsheet.components: component \"methane\" listed twice");
    EXPECT_EQ(LoadError([](json& f) { f["streams"][1]["name"] = "Wellstream"; }),
              "x.case.json: flowsheet.streams[1].name: stream \"Wellstream\" defined twice");
    EXPECT_EQ(LoadError([](json& f) { f["streams"][0]["pressure"] = -1; }),
              "x.case.json: flowsheet.streams[0].pressure: must be positive (kPa)");
    EXPECT_EQ(LoadError([](json& f) { f["units"][1]["type"] = "valve"; }),
              "x.case.json: flowsheet.units[1].type: \"valve\" is not one of feed, sink, valveop, "
              "fbcontrolop (did you mean \"valveop\"?)");
    EXPECT_EQ(LoadError([](json& f) { f["units"][1]["inlet"] = "Wellstraem"; }),
              "x.case.json: flowsheet.units[1].inlet: no stream \"Wellstraem\" (did you mean "
              "\"Wellstream\"?)");
    EXPECT_EQ(LoadError([](json& f) { f["units"][0]["mass_flow"] = 3; }),
              "x.case.json: flowsheet.units[0]: give either \"pressure\" or \"mass_flow\"");
    EXPECT_EQ(LoadError([](json& f) { f["units"][0]["pressure"] = json::parse("[[5,1],[2,3]]"); }),
              "x.case.json: flowsheet.units[0].pressure: schedule times must increase");
    EXPECT_EQ(LoadError([](json& f) {
                  f["units"][0]["temperature"] = json::parse("[[0, 20], [10, 2000]]");
              }),
              "x.case.json: flowsheet.units[0].temperature: out of range (-250 to 1700 C)");
    EXPECT_EQ(LoadError([](json& f) { f["units"][0]["composition"]["water"] = "lots"; }),
              "x.case.json: flowsheet.units[0].composition.water: expected a number");
    EXPECT_EQ(LoadError([](json& f) { f["units"][4]["valve"] = "FV-20"; }),
              "x.case.json: flowsheet.units[4].valve: no valve \"FV-20\" (did you mean "
              "\"FV-200\"?)");
    EXPECT_EQ(LoadError([](json& f) { f["units"][2]["position"] = 120; }),
              "x.case.json: flowsheet.units[2].position: must be 0 to 100 %");
    EXPECT_EQ(LoadError([](json& f) { f["streams"] = 7; }),
              "x.case.json: flowsheet.streams: expected a list of streams");
    EXPECT_EQ(LoadError([](json& f) { f.erase("components"); }),
              "x.case.json: flowsheet.components: missing");
}

TEST(FlowsheetFile, RecordColumnsReadValuesInTheirUnits) {
    json doc = Example();
    auto plant = LoadFlowsheet(doc["flowsheet"], "x.case.json");
    RecordPlan plan = LoadRecord(doc["record"], "x.case.json", *plant, {});
    ASSERT_TRUE(plan.end_time);
    EXPECT_DOUBLE_EQ(*plan.end_time, 180.0);
    ASSERT_EQ(plan.columns.size(), 6u);
    EXPECT_EQ(plan.columns[2].header, "Choked pressure [bar]");
    EXPECT_DOUBLE_EQ(plan.columns[2].value(), 50.0);  // 5000 kPa
    EXPECT_EQ(plan.columns[4].header, "FIC-200 OP [%]");
    EXPECT_DOUBLE_EQ(plan.columns[4].value(), 30.0);

    const auto error = [&](const char* record) {
        return ErrorOf([&] { LoadRecord(json::parse(record), "x.case.json", *plant, {}); });
    };
    EXPECT_EQ(error(R"({"variables": [{"unit": "FIC-200", "member": "Op"}]})"),
              "x.case.json: record.variables[0].member: unit \"FIC-200\" has no member \"Op\" (did "
              "you mean \"OP\"?)");
    EXPECT_EQ(error(R"({"variables": [{"stream": "Export", "variable": "mass_flow",
                                       "unit_of_measure": "bar"}]})"),
              "x.case.json: record.variables[0].unit_of_measure: Unit \"bar\" does not fit a "
              "massflow");
    EXPECT_EQ(error(R"({"variables": [{"unit": "PIPE-1", "variable": "ZEFAsimTime"}]})"),
              "x.case.json: record.variables[0].unit: no unit operation \"PIPE-1\"");
    EXPECT_EQ(error(R"({"end_time": "soon"})"), "x.case.json: record.end_time: expected a number");
}

}  // namespace zefa::test
