#include <algorithm>
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

// A host whose unit lacks a tag, or has it of another kind: binding stops at
// that row, and the report is shown as a box (the trace switch is never bound).
TEST(VariableBinding, AMissingOrMistypedTagStopsTheBindingAtItsRowAndIsReported) {
    struct Row {
        const char* tag;
        bool remove;  // else the tag becomes a text
        const char* report;
    };
    for (const Row row : {Row{"zefaExe", true, "Variable zefaExe is not defined for P"},
                          Row{"PortNumber", false, "Type mismatch"}}) {
        auto definitions = refhost::PipelineVariableDefinitions();
        const auto at = std::find_if(definitions.begin(), definitions.end(),
                                     [&](const auto& d) { return std::string(d.tag) == row.tag; });
        ASSERT_NE(at, definitions.end());
        if (row.remove)
            definitions.erase(at);
        else
            at->kind = host::VariableKind::Text;
        auto ui = std::make_shared<refhost::ScriptedUserInterface>();
        ZEFA zefa{ui};
        ZefaInspector state{zefa};
        state.container() = std::make_shared<refhost::PipelineUnit>(
            "P", std::make_shared<refhost::RefCase>("/tmp/case"),
            std::make_shared<refhost::MessageWindow>(), ui, definitions);
        zefa.InitializeInternalVariables();
        EXPECT_TRUE(state.vars().ServerName);  // a row before it
        EXPECT_FALSE(state.vars().InputFile);  // rows after it: never bound
        EXPECT_FALSE(state.vars().boolTraceErrors);
        ASSERT_EQ(ui->History().size(), 1u);
        EXPECT_EQ(ui->History()[0].title, "P: KAVRIS-ZEFA Link Error");
        EXPECT_EQ(ui->History()[0].text,
                  std::string("METHOD -- InitInternalVariables: ") + row.report);
        // Every later use of an unbound variable fails and is reported the same way.
        zefa.DynamicStatusUpdate();
        ASSERT_EQ(ui->History().size(), 2u);
        EXPECT_EQ(ui->History()[1].text,
                  "METHOD -- DynamicStatusUpdate: Object variable or With "
                  "block variable not set");
    }
}

}  // namespace
}  // namespace zefa::test
