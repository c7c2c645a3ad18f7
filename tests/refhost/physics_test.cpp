// Fluids, flashes and mixing of the reference host against hand-checked values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "lib/fluid.h"
#include "lib/stream.h"

using namespace refhost;

namespace zefa::test {
namespace {

ComponentSetPtr Set(std::vector<std::string> names) {
    return std::make_shared<ComponentSet>(names);
}

// Moles of each component carried by the phases of a fluid.
std::vector<double> PhaseComponentFlows(const Fluid& f) {
    std::vector<double> flows(f.Components()->Size(), 0.0);
    for (const auto& phase : {f.VapourPhase(), f.LightLiquidPhase(), f.AqueousPhase()}) {
        if (!phase) continue;
        const auto x = phase->Composition();
        for (std::size_t i = 0; i < x.size(); ++i) flows[i] += phase->MolarFlow() * x[i];
    }
    return flows;
}

}  // namespace

// Flashes checked by hand from the correlations. Water's vapour pressure at
// 30 C is 22064 * exp(5.373 * 1.345 * (1 - 647.1 / 303.15)) = 6.0642 kPa, so
// at 5000 kPa the vapour holds yw = 0.00121284 water and, with all methane in
// it, V = 0.9 / (1 - yw) = 0.901093 of the feed. Propane / n-pentane at 50 C
// and 500 kPa: K1 = 3.474585, K2 = 0.318968, x1 = (1 - K2) / (K1 - K2),
// y1 = K1 x1 = 0.74987, V = (0.5 - x1) / (y1 - x1) = 0.5321262. Water boils
// at 97.70 C at one atmosphere by the correlation.
TEST(Flash, SplitsIntoThePhasesTheCorrelationsGive) {
    struct Row {
        std::vector<std::string> names;
        std::vector<double> z;
        double t, p;
        const char* phases;  // V vapour, L light liquid, A aqueous
        double vapour_fraction;
        std::vector<double> y;   // vapour composition, when checked
        double vapour_mw = 0.0;  // when checked
    };
    const Row rows[] = {
        // 0.9*16.043 + 0.05*30.070 + 0.03*44.010 + 0.02*28.014 = 17.82278
        {{"methane", "ethane", "carbon-dioxide", "nitrogen"},
         {0.90, 0.05, 0.03, 0.02},
         30.0,
         5000.0,
         "V",
         1.0,
         {0.90, 0.05, 0.03, 0.02},
         17.82278},
        {{"methane", "water"}, {0.9, 0.1}, 30.0, 5000.0, "VA", 0.9010929, {0.99878716, 0.00121284}},
        {{"methane", "water"}, {0.9995, 0.0005}, 30.0, 5000.0, "V", 1.0, {0.9995, 0.0005}},
        {{"propane", "n-pentane"}, {0.5, 0.5}, 50.0, 500.0, "VL", 0.5321262, {0.74987, 0.25013}},
        {{"water"}, {1.0}, 97.0, 101.325, "A", 0.0, {}},
        {{"water"}, {1.0}, 98.5, 101.325, "V", 1.0, {1.0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.names[0] + " " + std::to_string(r.t) + " C " + std::to_string(r.p) + " kPa");
        auto f = Fluid::Create(Set(r.names), r.z, 20.0, r.p, 2.0);
        ASSERT_EQ(f->TPFlash(r.t, r.p), 0);
        const std::string phases = std::string(f->VapourPhase() ? "V" : "") +
                                   (f->LightLiquidPhase() ? "L" : "") +
                                   (f->AqueousPhase() ? "A" : "");
        EXPECT_EQ(phases, r.phases);
        EXPECT_NEAR(f->VapourFraction(), r.vapour_fraction, 1e-6);
        for (std::size_t i = 0; i < r.y.size(); ++i)
            EXPECT_NEAR(f->VapourPhase()->Composition()[i], r.y[i], 1e-6) << i;
        if (r.vapour_mw > 0) {
            EXPECT_NEAR(f->VapourPhase()->MolecularWeight(), r.vapour_mw, 1e-9);
            EXPECT_NEAR(f->MassFlowValue(), 2.0 * r.vapour_mw, 1e-9);
        }
    }
}

TEST(Flash, FailedFlashLeavesTheFluidAsItWas) {
    auto set = Set({"methane", "n-hexane"});
    auto f = Fluid::Create(set, {0.7, 0.3}, 25.0, 2000.0, 1.0);
    ASSERT_EQ(f->TPFlash(25.0, 2000.0), 0);
    const double h = f->MolarEnthalpy();
    const double beta = f->VapourFraction();
    EXPECT_NE(f->TPFlash(-300.0, 2000.0), 0);
    EXPECT_NE(f->TPFlash(25.0, -5.0), 0);
    EXPECT_NE(f->TPFlash(std::nan(""), 2000.0), 0);
    EXPECT_NE(f->PHFlash(2000.0, 1e9), 0);  // hotter than any temperature in range
    EXPECT_NE(f->PHFlash(0.0, h), 0);
    EXPECT_DOUBLE_EQ(f->TemperatureC(), 25.0);
    EXPECT_DOUBLE_EQ(f->PressureKPa(), 2000.0);
    EXPECT_DOUBLE_EQ(f->VapourFraction(), beta);
    EXPECT_DOUBLE_EQ(f->MolarEnthalpy(), h);
}

TEST(Mixing, FlowsComponentsAndEnthalpyAddButABackwardFlowAddsNoMaterial) {
    auto set = Set({"methane", "n-pentane", "water"});
    auto a = Fluid::Create(set, {0.9, 0.1, 0.0}, 60.0, 3000.0, 2.0);
    auto b = Fluid::Create(set, {0.0, 0.3, 0.7}, 20.0, 2500.0, 1.0);
    const double h_total = 2.0 * a->MolarEnthalpy() + 1.0 * b->MolarEnthalpy();
    auto mix = a->Copy();
    mix->MixIn(*b);
    EXPECT_DOUBLE_EQ(mix->MolarFlowKmol(), 3.0);
    EXPECT_DOUBLE_EQ(mix->PressureKPa(), 2500.0);  // the lower of the two
    const auto z = mix->Composition();
    EXPECT_NEAR(z[0], 1.8 / 3.0, 1e-14);
    EXPECT_NEAR(z[1], 0.5 / 3.0, 1e-14);
    EXPECT_NEAR(z[2], 0.7 / 3.0, 1e-14);
    EXPECT_NEAR(3.0 * mix->MolarEnthalpy(), h_total, 1e-6 * std::abs(h_total));
    EXPECT_NEAR(mix->MassFlowValue(), a->MassFlowValue() + b->MassFlowValue(), 1e-12);
    EXPECT_GT(mix->TemperatureC(), 20.0);
    EXPECT_LT(mix->TemperatureC(), 60.0);
    // The parts are untouched.
    EXPECT_DOUBLE_EQ(a->MolarFlowKmol(), 2.0);
    EXPECT_DOUBLE_EQ(b->Composition()[2], 0.7);
    // A backward flow takes flow away but adds none of its material.
    mix->MixIn(*Fluid::Create(set, {0.0, 0.0, 1.0}, 20.0, 2500.0, -0.5));
    EXPECT_DOUBLE_EQ(mix->MolarFlowKmol(), 2.5);
    EXPECT_NEAR(mix->Composition()[2], 0.7 / 3.0, 1e-14);
    auto other = Fluid::Create(Set({"methane", "propane"}), {1.0, 0.0}, 20.0, 1000.0, 1.0);
    EXPECT_THROW(mix->MixIn(*other), std::invalid_argument);
}

TEST(FluidInput, BadCompositionsAndConditionsAreRefused) {
    auto set = Set({"methane", "ethane"});
    EXPECT_THROW(Fluid::Create(set, {1.0}, 20.0, 100.0, 1.0), std::invalid_argument);
    EXPECT_THROW(Fluid::Create(set, {1.0, -0.1}, 20.0, 100.0, 1.0), std::invalid_argument);
    EXPECT_THROW(Fluid::Create(set, {0.0, 0.0}, 20.0, 100.0, 1.0), std::invalid_argument);
    EXPECT_THROW(Fluid::Create(set, {0.5, 0.5}, -280.0, 100.0, 1.0), std::invalid_argument);
    EXPECT_THROW(Fluid::Create(set, {0.5, 0.5}, 20.0, 0.0, 1.0), std::invalid_argument);
    auto f = Fluid::Create(set, {2.0, 6.0}, 20.0, 100.0, 1.0);
    EXPECT_DOUBLE_EQ(f->Composition()[1], 0.75);  // normalised
    EXPECT_THROW(f->SetComposition({1.0, 2.0, 3.0}), std::invalid_argument);
    EXPECT_DOUBLE_EQ(f->Composition()[1], 0.75);
    EXPECT_THROW(ComponentSet({"methane", "unobtainium"}), std::invalid_argument);
    EXPECT_THROW(ComponentSet({"methane", "Methane"}), std::invalid_argument);
    EXPECT_EQ(NearestName("metane", ComponentSet({"methane", "ethane", "water"}).Names()),
              "methane");
    EXPECT_EQ(NearestName("xyzzyplugh", {"methane", "water"}), "");
}

TEST(StreamFlags, MonikersReadAndSetTheSpecifications) {
    auto set = Set({"methane"});
    auto s = Stream::Create("S1", Fluid::Create(set, {1.0}, 20.0, 1000.0, 0.5));
    EXPECT_EQ(s->MonikerValue(":Boolean.520"), 0.0);
    s->SpecifyPressure(true);
    s->SpecifyFlow(true, Stream::kMassBasis);
    EXPECT_EQ(s->MonikerValue(":Boolean.520"), 1.0);
    EXPECT_EQ(s->MonikerValue(":Boolean.521"), 1.0);
    EXPECT_EQ(s->MonikerValue(":Index.528"), 1.0);
    EXPECT_EQ(s->MassFlow()->State(), 1);
    EXPECT_EQ(s->MolarFlow()->State(), 0);
    s->SetMonikerValue(":Index.528", 0);
    EXPECT_EQ(s->MolarFlow()->State(), 1);
    EXPECT_THROW(s->MonikerValue(":Boolean.999"), std::invalid_argument);
    EXPECT_THROW(s->SetMonikerValue(":Index.528", 7), std::invalid_argument);
    // Stream values act on its fluid; a duplicate does not.
    s->MassFlow()->SetValue(16.043);
    EXPECT_NEAR(s->MolarFlowValue(), 1.0, 1e-12);
    auto copy = s->DuplicateFluid();
    copy->MolarFlow()->SetValue(5.0);
    EXPECT_NEAR(s->MolarFlowValue(), 1.0, 1e-12);
    EXPECT_THROW(s->Pressure()->SetValue(std::nan("")), std::invalid_argument);
}

TEST(Flash, RandomStatesBalanceAndInvert) {
    // Many compositions and conditions: every flash balances in moles and
    // mass, its phase fractions lie in [0, 1], the light liquid is free of
    // water, and a PH flash from another state finds the temperature again.
    auto set = Set({"methane", "ethane", "propane", "n-butane", "n-pentane", "n-hexane", "c7+",
                    "carbon-dioxide", "nitrogen", "water"});
    std::uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) / 16777216.0;
    };
    int three_phase = 0;
    for (int k = 0; k < 300; ++k) {
        std::vector<double> z(set->Size());
        for (double& v : z) v = next() < 0.3 ? 0.0 : next();
        z[static_cast<std::size_t>(k) % z.size()] += 0.1;
        const double t = -60.0 + 300.0 * next();
        const double p = 50.0 + 15000.0 * next();
        auto f = Fluid::Create(set, z, t, p, 1.0 + next());
        ASSERT_EQ(f->TPFlash(t, p), 0) << k;
        const auto flows = PhaseComponentFlows(*f);
        const auto zn = f->Composition();
        double fractions = 0.0;
        for (const auto& phase : f->State().phases) {
            if (!phase) continue;
            EXPECT_GT(phase->fraction, 0.0) << k;
            EXPECT_LE(phase->fraction, 1.0 + 1e-12) << k;
            fractions += phase->fraction;
        }
        EXPECT_NEAR(fractions, 1.0, 1e-9) << k;
        double mass = 0.0;
        for (const auto& phase : {f->VapourPhase(), f->LightLiquidPhase(), f->AqueousPhase()})
            if (phase) mass += phase->MassFlow();
        EXPECT_NEAR(mass, f->MassFlowValue(), 1e-9 * f->MassFlowValue()) << k;
        const double vapour_mass = f->VapourPhase() ? f->VapourPhase()->MassFlow() : 0.0;
        EXPECT_NEAR(f->MassVapourFraction(), vapour_mass / f->MassFlowValue(), 1e-12) << k;
        if (f->LightLiquidPhase()) {
            EXPECT_EQ(f->LightLiquidPhase()->Composition()[9], 0.0) << k;
        }
        three_phase += f->VapourPhase() && f->LightLiquidPhase() && f->AqueousPhase();
        for (std::size_t i = 0; i < zn.size(); ++i) {
            EXPECT_NEAR(flows[i], f->MolarFlowKmol() * zn[i], 1e-9) << k << " " << i;
        }
        const double h = f->MolarEnthalpy();
        auto g = f->Copy();
        ASSERT_EQ(g->TPFlash(t + 40.0, 2.0 * p), 0);
        ASSERT_EQ(g->PHFlash(p, h), 0) << k << " t=" << t << " p=" << p;
        EXPECT_NEAR(g->MolarEnthalpy(), h, 1e-5 * std::max(1.0, std::abs(h))) << k;
        EXPECT_NEAR(g->TemperatureC(), t, 0.05) << k << " p=" << p;
    }
    EXPECT_GT(three_phase, 10);
}

}  // namespace zefa::test
