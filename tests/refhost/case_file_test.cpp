// Case files saved and recalled, their flowsheet and record sections (and the
// error messages that name the key at fault), and the reference host's object
// model: units, tables, arrays and flowsheets.
#include "lib/case_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "error_of.h"
#include "host_world.h"
#include "lib/case.h"
#include "lib/flowsheet_file.h"

namespace zefa::test {

using namespace refhost;
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class CaseFileTest : public ::testing::Test {
  protected:
    void Write(const std::string& text) { std::ofstream(path) << text; }
    std::string LoadError(const std::string& text) {
        Write(text);
        return ErrorOf([&] { LoadCase(path); });
    }

    TempFolder temp;
    const fs::path dir = temp.Path();
    const std::string path = (dir / "riser.case.json").string();
};

TEST_F(CaseFileTest, EveryVariableKindSurvivesSaveAndRecall) {
    HostCase c = NewCase(path);
    auto unit = std::make_shared<PipelineUnit>("PIPE-100", c.host_case, c.window, c.ui);
    c.units.push_back(unit);
    c.host_case->SolverObject()->mode_ = 1;
    c.host_case->SolverObject()->integrator_->step_size_ = 0.25;
    unit->Get<host::TextVariable>("ServerName")->SetValue("zefa2000 °C");
    unit->Get<host::NumberVariable>("PortNumber")->SetValue(16800.5);
    unit->Get<host::TextArrayVariable>("SourceTags")->SetValues({"IN1", ""});
    auto flows = unit->Get<host::NumberArrayVariable>("OutletMassFlows");
    flows->SetBounds(2, 3);
    flows->Element(1, 2)->SetValue(-4.5);
    unit->Get<host::NumberArrayVariable>("PlugCheckBoxes")
        ->SetValues(host::NumberArray::OneD({1, host::kEmptyNumber}));
    SaveCase(c, path);
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    HostCase back = LoadCase(path);
    ASSERT_EQ(back.units.size(), 1u);
    auto u = back.units[0];
    EXPECT_EQ(u->Name(), "PIPE-100");
    EXPECT_EQ(back.host_case->SolverObject()->mode_, 1);
    EXPECT_EQ(back.host_case->SolverObject()->integrator_->step_size_, 0.25);
    EXPECT_EQ(back.host_case->Folder(), dir.string() + "/");
    EXPECT_EQ(u->Get<host::TextVariable>("ServerName")->GetValue(), "zefa2000 °C");
    EXPECT_EQ(u->Get<host::NumberVariable>("PortNumber")->GetValue(), 16800.5);
    EXPECT_EQ(u->Get<host::NumberVariable>("TCPTimeOut")->GetValue(), host::kEmptyNumber);
    EXPECT_THAT(u->Get<host::TextArrayVariable>("SourceTags")->GetValues(), ElementsAre("IN1", ""));
    const auto f = u->Get<host::NumberArrayVariable>("OutletMassFlows")->GetValues();
    ASSERT_TRUE(f.IsTwoD());
    EXPECT_EQ(f.rows, 2u);
    EXPECT_EQ(f.At(1, 2), -4.5);
    EXPECT_EQ(f.At(0, 0), host::kEmptyNumber);
    EXPECT_THAT(u->Get<host::NumberArrayVariable>("PlugCheckBoxes")->GetValues().data,
                ElementsAre(1, host::kEmptyNumber));
    // Recalled again and saved unchanged, the file is byte for byte the same.
    std::ifstream first(path);
    const std::string before((std::istreambuf_iterator<char>(first)), {});
    SaveCase(back, path);
    std::ifstream second(path);
    EXPECT_EQ(before, std::string((std::istreambuf_iterator<char>(second)), {}));
}

TEST_F(CaseFileTest, BadFilesNameTheKeyAtFault) {
    const std::string head = R"({"format":"zefalink-case","version":1,)";
    const std::string unit = head + R"("units":[{"name":"P","variables":{)";
    const std::pair<std::string, const char*> bad[] = {
        {"{", "not valid JSON"},
        {R"({"format":"other","version":1})", "format"},
        {R"({"format":"zefalink-case","version":9})", "version"},
        {unit + R"("Bogus":1}}]})", "units.P.variables.Bogus: no such variable"},
        {unit + R"("PortNumber":"x"}}]})", "units.P.variables.PortNumber: expected a number"},
        {unit + R"("OutletMassFlows":[[1,2],[3]]}}]})", "OutletMassFlows[1]"},
        {unit + R"("Inlets":["S1"]}}]})", "Inlets[0]: unknown stream \"S1\""},
        {head + R"("solver":{"step_size":0}})", "solver.step_size"},
    };
    for (const auto& [text, message] : bad) EXPECT_THAT(LoadError(text), HasSubstr(message));
    fs::remove(path);
    EXPECT_THROW(LoadCase(path), CaseFileError);
}

TEST_F(CaseFileTest, SavingReplacesAPlantedLinkAndLeavesItsTargetAlone) {
    HostCase c = NewCase(path);
    const fs::path target = dir / "elsewhere.txt";
    std::ofstream(target) << "keep me";
    fs::create_symlink(target, path);
    SaveCase(c, path);
    EXPECT_FALSE(fs::is_symlink(path));
    std::ifstream in(target);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "keep me");
    EXPECT_NO_THROW(LoadCase(path));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2)
        << "no temporary file left beside the case";
    EXPECT_THROW(SaveCase(c, (dir / "missing" / "x.case.json").string()), CaseFileError);
}

TEST_F(CaseFileTest, ARelativeModelFolderIsTheCaseFoldersAndAnAbsoluteOneStays) {
    const auto model_path_of = [&](const std::string& given) {
        Write(
            R"({"format":"zefalink-case","version":1,"units":[{"name":"P","variables":{"zefaModelPath":")" +
            given + R"("}}]})");
        return LoadCase(path).units.at(0)->Get<host::TextVariable>("zefaModelPath")->GetValue();
    };
    const std::string folder = fs::absolute(dir).lexically_normal().string();
    EXPECT_EQ(model_path_of("."), folder);
    EXPECT_EQ(model_path_of("models/"), folder + "/models");
    EXPECT_EQ(model_path_of("../shared"), fs::absolute(dir).parent_path().string() + "/shared");
    EXPECT_EQ(model_path_of("/opt/models"), "/opt/models");
    EXPECT_EQ(model_path_of(""), "");
}

TEST(Units, ConvertBothWaysAndRejectWhatDoesNotFit) {
    EXPECT_DOUBLE_EQ(FromInternal("pressure", "N/m2", 101.325), 101325.0);
    EXPECT_DOUBLE_EQ(ToInternal("pressure", "N/m2", 101325.0), 101.325);
    EXPECT_DOUBLE_EQ(FromInternal("temperature", "K", 25.0), 298.15);
    EXPECT_DOUBLE_EQ(ToInternal("temperature", "K", 298.15), 25.0);
    // One atmosphere in every pressure unit a case may use.
    for (const auto& [unit, value] : {std::pair<const char*, double>{"bar", 1.01325},
                                      {"MPa", 0.101325},
                                      {"atm", 1.0},
                                      {"psi", 14.6959487755}}) {
        EXPECT_NEAR(FromInternal("pressure", unit, 101.325), value, 1e-9) << unit;
        EXPECT_NEAR(ToInternal("pressure", unit, value), 101.325, 1e-7) << unit;
    }
    EXPECT_DOUBLE_EQ(FromInternal("", "", 0.3), 0.3);
    EXPECT_DOUBLE_EQ(FromInternal("pressure", "", 5.0), 5.0);
    EXPECT_THROW(FromInternal("pressure", "kg/s", 1.0), std::invalid_argument);
    EXPECT_THROW(FromInternal("", "N/m2", 1.0), std::invalid_argument);
}

TEST(TableOperation, ReadsAndWritesRowsInTheirUnits) {
    RefTableOperation table("T");
    auto p = std::make_shared<MemNumberVariable>("P", "pressure");
    p->SetValue(200.0);
    auto array = std::make_shared<MemNumberArrayVariable>("A");
    array->SetBounds(2, 3);
    table.AddEntry(p, "pressure", "0_P", "N/m2", 1);
    table.AddEntry(array->Element(1, 2), "flow", "1_F", "", 1);
    EXPECT_THROW(table.ReadValues(table.ValueHandle(), {"N/m2", ""}), std::runtime_error);
    table.Complete();
    const int handle = table.ValueHandle();
    EXPECT_THAT(table.ReadValues(handle, {"N/m2", ""}), ElementsAre(200000.0, host::kEmptyNumber));
    table.WriteValues(handle, {150000.0, 7.5}, {"N/m2", ""});
    EXPECT_DOUBLE_EQ(p->GetValue(), 150.0);
    EXPECT_EQ(array->GetValues().At(1, 2), 7.5);
    EXPECT_THROW(table.WriteValues(handle, {1.0}, {"N/m2"}), std::invalid_argument);
    EXPECT_THROW(table.ReadValues(handle + 1, {"N/m2", ""}), std::runtime_error);
    // An element of a shrunk array is out of range, not undefined.
    auto element = array->Element(1, 2);
    array->SetBounds(1, 3);
    EXPECT_THROW(element->GetValue(), std::out_of_range);
}

TEST(NumberArray, BoundsKeepLeadingEntriesAndFillWithTheEmptyMarker) {
    MemNumberArrayVariable v("V");
    v.SetValues(host::NumberArray::OneD({1, 2, 3}));
    v.SetBounds(5);
    EXPECT_THAT(v.GetValues().data, ElementsAre(1, 2, 3, host::kEmptyNumber, host::kEmptyNumber));
    v.SetBounds(2);
    EXPECT_THAT(v.GetValues().data, ElementsAre(1, 2));
    v.SetBounds(2, 2);
    EXPECT_TRUE(v.GetValues().IsTwoD());
    EXPECT_THROW(v.SetValues(host::NumberArray{{1, 2, 3}, 2, 2}), std::invalid_argument);
}

TEST(Flowsheet, FindsOperationsAddsTablesAndPlots) {
    RefFlowsheet sheet("Case");
    auto valve = std::make_shared<RefOperation>("VLV-1", "valveop");
    valve->AddMember("ActuatorPosition", 40.0, "percent");
    sheet.Add(valve);
    EXPECT_EQ(sheet.FindOperation("VLV-1"), valve);
    EXPECT_EQ(sheet.FindOperation("vlv-1"), nullptr);
    EXPECT_DOUBLE_EQ(sheet.FindOperation("VLV-1")->Member("ActuatorPosition")->GetValue(), 40.0);
    EXPECT_THROW(valve->Member("OP"), std::runtime_error);
    auto table = sheet.AddOperation("PIPE ZEFA Input");
    EXPECT_NE(std::dynamic_pointer_cast<host::TableOperation>(table), nullptr);
    EXPECT_THROW(sheet.AddOperation("PIPE ZEFA Input"), std::invalid_argument);
    auto plot = sheet.CreatePlot("ProfilePlot");
    EXPECT_EQ(sheet.FindPlot("ProfilePlot"), plot);
    sheet.RemovePlot("ProfilePlot");
    EXPECT_EQ(sheet.FindPlot("ProfilePlot"), nullptr);
}

// The flowsheet and record sections of case files: loading, saving and the
// error messages that name the key at fault.

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
