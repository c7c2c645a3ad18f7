#include "input.h"

#include <gtest/gtest.h>

#include "helpers.h"

namespace zefasim {
namespace {

using testing::Example;

const char* kSmall = R"(FLUID GASMW = 20
NODE LABEL = A, TYPE = CLOSED
NODE LABEL = B, TYPE = PRESSURE
BRANCH LABEL = L, FROM = A, TO = B
PIPE LABEL = P, BRANCH = L, LENGTH = 2 km, DIAMETER = 8 in, NSECTIONS = 4,
     ELEVATION = 10 m
BOUNDARY LABEL = OUT, NODE = B, PRESSURE = 20 bar, TEMPERATURE = 300 K
SOURCE LABEL = S, BRANCH = L, PIPE = P, SECTION = 2, MASSFLOW = 36 t/h
WELL LABEL = W, BRANCH = L, SECTION = 3, RESPRESSURE = 40 bar, PI = 0.2 kg/s/bar
)";

TEST(ZefasimInput, ExamplesBuildWithTheirLabelsAndGeometry) {
    Model f = BuildModel(Example("flowline.inp"), "flowline.inp");
    ASSERT_EQ(f.branches.size(), 1u);
    EXPECT_EQ(f.branches[0].sections.size(), 50u);
    EXPECT_DOUBLE_EQ(f.BranchLength(0), 4200);
    EXPECT_EQ(f.boundaries[0].label, "OUT");
    EXPECT_FALSE(f.boundaries[0].at_inlet);
    EXPECT_EQ(f.branches[0].outlet_boundary, 0);
    EXPECT_EQ(f.positions[2].section, 49);  // RISER section 10 follows 40 sections of PIPE-1

    // The holdup law: drift flux with its closure near horizontal unless one is
    // named; a SLIP alone names the slip law.
    EXPECT_EQ(f.fluid.holdup_model, kHoldupDriftLevel);
    struct Law {
        const char* fluid;
        int model;
        double slip;
    };
    for (Law law : {Law{"FLUID GASMW = 20", kHoldupDriftLevel, 1},
                    Law{"FLUID HOLDUP = DRIFTFLUX", kHoldupDriftFlux, 1},
                    Law{"FLUID HOLDUP = BEGGSBRILL", kHoldupBeggsBrill, 1},
                    Law{"FLUID GASMW = 20, SLIP = 2", kHoldupSlip, 2},
                    Law{"FLUID HOLDUP = NOSLIP", kHoldupSlip, 1},
                    Law{"FLUID HOLDUP = SLIP", kHoldupSlip, 1}}) {
        std::string text = kSmall;
        text.replace(0, text.find('\n'), law.fluid);
        Model m = BuildModel(text, "small.inp");
        EXPECT_EQ(m.fluid.holdup_model, law.model) << law.fluid;
        EXPECT_EQ(m.fluid.slip, law.slip) << law.fluid;
    }

    Model c = BuildModel(Example("choke_well_plug.inp"), "choke_well_plug.inp");
    EXPECT_EQ(c.controllers[0].face, 30);  // downstream end of the last section
    EXPECT_EQ(c.branches[0].choke[30], 0);
    EXPECT_DOUBLE_EQ(c.wells[0].productivity, 0.5e-5);
    EXPECT_DOUBLE_EQ(c.plugs[0].launch_z, 0);
    EXPECT_EQ(c.wells[0].section, 4);
}

TEST(ZefasimInput, UnitsConvertToSi) {
    Model m = BuildModel(kSmall, "small.inp");
    EXPECT_DOUBLE_EQ(m.branches[0].sections[0].length, 500);
    EXPECT_DOUBLE_EQ(m.branches[0].sections[0].diameter, 0.2032);
    EXPECT_DOUBLE_EQ(m.branches[0].sections[0].dz, 2.5);
    EXPECT_DOUBLE_EQ(m.boundaries[0].pressure, 20e5);
    EXPECT_NEAR(m.boundaries[0].temperature, 26.85, 1e-12);
    EXPECT_DOUBLE_EQ(m.sources[0].mass_flow, 10);
    EXPECT_EQ(m.sources[0].section, 1);
    EXPECT_EQ(m.wells[0].section, 2);
    EXPECT_DOUBLE_EQ(m.wells[0].res_pressure, 40e5);
}

struct BadCase {
    const char* replace;  // line of kSmall to replace (its start)
    const char* with;
    const char* message;
};

TEST(ZefasimInput, ErrorsNameFileLineAndProblem) {
    const BadCase cases[] = {
        {"FLUID", "FLUID GASMW = 20, COLOUR = 3", "small.inp:1: FLUID: unknown key COLOUR"},
        {"FLUID", "FLUD GASMW = 20", "small.inp:1: unknown keyword FLUD"},
        {"FLUID", "FLUID GASMW = twenty", "small.inp:1: FLUID: GASMW: 'twenty' is not a number"},
        {"FLUID", "FLUID GASMW = 20 bar", "small.inp:1: FLUID: GASMW: unit 'bar' does not fit"},
        {"FLUID", "FLUID GASMW = 20 parsecs", "unknown unit 'parsecs'"},
        {"FLUID", "FLUID GASMW = -2", "GASMW -2 kg/kmol lies outside 1 .. 300 kg/kmol"},
        {"FLUID", "FLUID GASMW 20", "small.inp:1: FLUID: expected KEY = VALUE"},
        {"FLUID", "FLUID GASMW = 20, GASMW = 21", "GASMW given twice"},
        {"FLUID", "FLUID HOLDUP = NOSLIP, SLIP = 2", "SLIP applies to HOLDUP = SLIP only"},
        {"FLUID", "FLUID HOLDUP = DRIFTFLUX, SLIP = 2", "SLIP applies to HOLDUP = SLIP only"},
        {"NODE LABEL = A", "NODE LABEL = A, TYPE = OPEN",
         "small.inp:2: NODE: 'OPEN' is not a valid"},
        {"BRANCH", "BRANCH LABEL = L, FROM = A, TO = Z", "small.inp:4: BRANCH: unknown node Z"},
        {"SOURCE", "SOURCE LABEL = S, BRANCH = L, PIPE = P, SECTION = 5",
         "small.inp:8: SOURCE: SECTION must be a whole number from 1 to 4"},
        {"SOURCE", "SOURCE LABEL = S, BRANCH = L, PIPE = Q, SECTION = 1",
         "small.inp:8: SOURCE: branch L has no pipe Q"},
        {"SOURCE", "SOURCE LABEL = OUT, BRANCH = X, SECTION = 1", "unknown branch X"},
        {"SOURCE", "SOURCE LABEL = S, BRANCH = L, SECTION = 1, GASFRACTION = 1.5",
         "GASFRACTION must lie between 0 and 1"},
        {"WELL", "WELL LABEL = W, BRANCH = L, SECTION = 3, PI = 1",
         "small.inp:9: WELL: RESPRESSURE is missing"},
        {"BOUNDARY", "! no boundary", "small.inp:3: node B has no BOUNDARY"},
        {"WELL", "WELL LABEL = W, BRANCH = L, SECTION = 3,",
         "small.inp:9: statement ends with a comma"},
        {"WELL", "WELL LABEL = W$, BRANCH = L, SECTION = 3", "'W$' is not a valid label for LABEL"},
        // The ranges the protocol's input data share.
        {"SOURCE", "SOURCE LABEL = S, BRANCH = L, SECTION = 1, MASSFLOW = 1e9 kg/s",
         "MASSFLOW 1e+09 kg/s lies outside -100000 .. 100000 kg/s"},
        {"BOUNDARY", "BOUNDARY LABEL = OUT, NODE = B, PRESSURE = 1e10 Pa",
         "PRESSURE 1e+10 N/m2 lies outside 1000 .. 7.5e+08 N/m2"},
        {"BOUNDARY", "BOUNDARY LABEL = OUT, NODE = B, PRESSURE = 2 MPa, TEMPERATURE = -300 C",
         "TEMPERATURE -300 C lies outside -200 .. 1000 C"},
        {"PIPE", "PIPE LABEL = P, BRANCH = L, LENGTH = 20 m, DIAMETER = 8 in, NSECTIONS = 400,",
         "small.inp:5: PIPE: LENGTH / NSECTIONS must be at least 0.1 m"},
    };
    for (const BadCase& c : cases) {
        std::string text = std::string("\n") + kSmall;
        size_t at = text.find(std::string("\n") + c.replace);
        ASSERT_NE(at, std::string::npos) << c.replace;
        size_t end = text.find('\n', at + 1);
        text = text.substr(1, at) + c.with + text.substr(end);
        try {
            BuildModel(text, "small.inp");
            ADD_FAILURE() << "accepted: " << c.with;
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << "got: " << e.what() << "\nwant: " << c.message;
        }
    }
}

TEST(ZefasimInput, KeywordLinesOfTheExtensionApplyAllOrNothing) {
    Model m = BuildModel(Example("choke_well_plug.inp"), "c.inp");
    ApplyKeywords(m, "SHUTIN TSHUT1 = 0.0 s,  TSHUT2 = 0.2E+35 s   ");
    EXPECT_EQ(m.shut_from, 0);
    EXPECT_EQ(m.shut_until, 0.2e35);
    EXPECT_TRUE(m.ShutIn());
    ApplyKeywords(m, "SHUTIN TSHUT1 = 0.1E+35 s, TSHUT2 = 0.2E+35 s   ");
    EXPECT_FALSE(m.ShutIn());
    ApplyKeywords(m, "POSITION LABEL = NEWPOS, BRANCH = LINE, PIPE = P2, Section = 3 ");
    int p = m.FindPosition("NEWPOS");
    ASSERT_GE(p, 0);
    EXPECT_EQ(m.positions[p].section, 22);
    ApplyKeywords(m, "POSITION LABEL = NEWPOS, BRANCH = LINE, PIPE = P1, Section = 1 ");
    EXPECT_EQ(m.positions[m.FindPosition("NEWPOS")].section, 0);  // redefined, not duplicated
    ApplyKeywords(m, "WELL LABEL = W1, RESPRESSURE = 150000");
    EXPECT_EQ(m.wells[0].res_pressure, 150000);

    // Keyword input is all or nothing.
    const double before = m.wells[0].res_pressure;
    EXPECT_THROW(ApplyKeywords(m,
                               "WELL LABEL = W1, RESPRESSURE = 7e6\nWELL LABEL = NOPE, "
                               "RESPRESSURE = 1"),
                 InputError);
    EXPECT_EQ(m.wells[0].res_pressure, before);
    try {
        ApplyKeywords(m, "PIPE LABEL = X, BRANCH = LINE, LENGTH = 1, DIAMETER = 1");
        ADD_FAILURE();
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("keyword input:1: PIPE: cannot be changed"),
                  std::string::npos);
    }
    EXPECT_THROW(ApplyKeywords(m, "SHUTIN TSHUT1 = 5 s, TSHUT2 = 1 s"), InputError);
    EXPECT_THROW(ApplyKeywords(m, "WELL LABEL = W1, RESPRESSURE = -1"), InputError);
    EXPECT_EQ(m.wells[0].res_pressure, before);
}

}  // namespace
}  // namespace zefasim
