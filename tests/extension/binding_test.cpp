#include <functional>
#include <set>

#include "host_world.h"

namespace zefa::test {
namespace {

TEST(VariableTable, BindsDistinctTagsWithTheHostsKindsInTheHostsOrder) {
    std::set<std::string> tags;
    const auto& host_definitions = refhost::PipelineVariableDefinitions();
    ASSERT_EQ(host_definitions.size(), kVariableBindings.size());
    for (std::size_t i = 0; i < kVariableBindings.size(); ++i) {
        const auto& row = kVariableBindings[i];
        tags.insert(row.tag);
        EXPECT_EQ(std::string(row.tag), host_definitions[i].tag) << "row " << i;
        EXPECT_EQ(row.kind, host_definitions[i].kind) << row.tag;
    }
    EXPECT_EQ(tags.size(), kVariableBindings.size());
}

TEST_F(ExtensionTest, EveryVariableIsBoundToTheHostsOwnObject) {
    // A value written through the host is read through the bound member and back.
    SetText("ServerName", "zefa-test");
    EXPECT_EQ(Use(State().vars().ServerName).GetValue(), "zefa-test");
    Use(State().vars().TCPTimeOut).SetValue(7);
    EXPECT_EQ(Var<host::NumberVariable>("TCPTimeOut")->GetValue(), 7);
    EXPECT_TRUE(State().vars().Inlets && State().vars().OutletSourceCB &&
                State().vars().IsFinished);
    // No reference stream is set, so the member stays empty.
    EXPECT_EQ(State().vars().ReferenceStream, nullptr);
    EXPECT_TRUE(window->Lines().empty());
}

TEST_F(ExtensionTest, AnUnsetNumberReadsAsTheEmptyMarkerNotZero) {
    EXPECT_EQ(Use(State().vars().PortNumber).GetValue(), -32767.0);
    EXPECT_TRUE(host::IsEmptyNumber(Use(State().vars().PortNumber).GetValue()));
    EXPECT_FALSE(host::IsEmptyNumber(-32767.5));
    EXPECT_FALSE(host::IsEmptyNumber(0.0));
}

TEST_F(ExtensionTest, ReferenceStreamIsTheVariablesObjectMember) {
    auto stream = std::make_shared<NamedStream>("REF");
    std::dynamic_pointer_cast<refhost::MemObjectVariable>(unit->FindVariable("ReferenceStream"))
        ->SetObject(stream);
    zefa->InitializeInternalVariables();
    EXPECT_EQ(State().vars().ReferenceStream, stream);
}

// An extension bound to a unit "P" of a host whose variable definitions were
// changed by `change`; the user interface records what is shown.
struct ChangedHost {
    explicit ChangedHost(
        const std::function<void(std::vector<refhost::VariableDefinition>&)>& change) {
        auto definitions = refhost::PipelineVariableDefinitions();
        change(definitions);
        state.container() = std::make_shared<refhost::PipelineUnit>(
            "P", std::make_shared<refhost::RefCase>("/tmp/case"),
            std::make_shared<refhost::MessageWindow>(), ui, definitions);
        zefa.InitializeInternalVariables();
    }
    std::shared_ptr<refhost::ScriptedUserInterface> ui =
        std::make_shared<refhost::ScriptedUserInterface>();
    ZEFA zefa{ui};
    ZefaInspector state{zefa};
};

// A host whose unit lacks one tag: binding stops at that row.
TEST(VariableBinding, AnUnknownTagStopsTheBindingAtItsRowAndIsReported) {
    ChangedHost bound([](auto& definitions) {
        std::erase_if(definitions,
                      [](const auto& def) { return std::string(def.tag) == "zefaExe"; });
    });
    auto& state = bound.state;
    auto& ui = bound.ui;
    EXPECT_TRUE(state.vars().zefaModelPath);  // row 8, before the missing row 9
    EXPECT_FALSE(state.vars().zefaExe);
    EXPECT_FALSE(state.vars().InputFile);  // after it: never bound
    EXPECT_FALSE(state.vars().boolTraceErrors);
    // boolTraceErrors is not bound, so the report cannot go to the message
    // window: it is shown as a message box rather than lost.
    ASSERT_EQ(ui->History().size(), 1u);
    EXPECT_EQ(ui->History()[0].title, "P: KAVRIS-ZEFA Link Error");
    EXPECT_EQ(ui->History()[0].text,
              "METHOD -- InitInternalVariables: Variable zefaExe is not defined for P");

    // Every later use of an unbound variable fails and is reported the same way.
    bound.zefa.DynamicStatusUpdate();
    ASSERT_EQ(ui->History().size(), 2u);
    EXPECT_EQ(ui->History()[1].text,
              "METHOD -- DynamicStatusUpdate: Object variable or With block variable not set");
}

TEST(VariableBinding, AVariableOfAnotherKindIsATypeMismatch) {
    ChangedHost bound([](auto& definitions) {
        for (auto& def : definitions)
            if (std::string(def.tag) == "PortNumber") def.kind = host::VariableKind::Text;
    });
    EXPECT_TRUE(bound.state.vars().ServerName);
    EXPECT_FALSE(bound.state.vars().PortNumber);
    EXPECT_FALSE(bound.state.vars().zefaHost);
    ASSERT_FALSE(bound.ui->History().empty());
    EXPECT_EQ(bound.ui->History().back().text, "METHOD -- InitInternalVariables: Type mismatch");
}

}  // namespace
}  // namespace zefa::test
