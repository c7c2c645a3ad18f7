#include "lib/case_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "error_of.h"
#include "host_world.h"

namespace zefa::test {

using namespace refhost;
namespace {

namespace fs = std::filesystem;
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

}  // namespace
}  // namespace zefa::test
