#include "fixture.h"

namespace zefa::test {

namespace {

// The unit's variables and case, but a message window and user interface of
// its own: what Initialize shows for a new case stays out of the tests' view.
class SetupContainer final : public host::Container {
  public:
    explicit SetupContainer(std::shared_ptr<refhost::PipelineUnit> unit) : unit_(std::move(unit)) {}
    std::shared_ptr<host::Variable> FindVariable(const std::string& tag) override {
        return unit_->FindVariable(tag);
    }
    std::string Name() const override { return unit_->Name(); }
    void WriteMessage(const std::string&) override {}
    std::shared_ptr<host::Case> GetCase() override { return unit_->GetCase(); }
    std::shared_ptr<host::UserInterface> GetUserInterface() override { return ui_; }

  private:
    std::shared_ptr<refhost::PipelineUnit> unit_;
    std::shared_ptr<host::UserInterface> ui_ = std::make_shared<host::NullUserInterface>();
};

// Sets every variable of the unit back to its empty value.
void ClearVariables(refhost::PipelineUnit& unit) {
    for (const auto& v : unit.Variables()) {
        if (auto t = std::dynamic_pointer_cast<host::TextVariable>(v)) t->SetValue("");
        if (auto n = std::dynamic_pointer_cast<host::NumberVariable>(v))
            n->SetValue(host::kEmptyNumber);
        if (auto ta = std::dynamic_pointer_cast<host::TextArrayVariable>(v)) ta->SetCount(0);
        if (auto na = std::dynamic_pointer_cast<host::NumberArrayVariable>(v)) na->SetBounds(0);
        if (auto sl = std::dynamic_pointer_cast<host::StreamListVariable>(v)) sl->SetLength(0);
    }
}

}  // namespace

void ExtensionTest::SetUp() {
    host_case = std::make_shared<refhost::RefCase>("/tmp/case");
    window = std::make_shared<refhost::MessageWindow>();
    ui = std::make_shared<refhost::ScriptedUserInterface>();
    unit = std::make_shared<refhost::PipelineUnit>("PIPE-100", host_case, window, ui);
    host_case->Flowsheet()->Add(unit);
    zefa = std::make_unique<ZEFA>(ui);
    // A freshly bound extension on a unit whose variables are all unset.
    ASSERT_EQ(zefa->Initialize(std::make_shared<SetupContainer>(unit), false),
              ZEFA::kInterfaceVersion);
    zefa->objContainer = unit;
    ClearVariables(*unit);
}

void ExtensionTest::TearDown() {
    if (zefa) zefa->Terminate();
}

std::vector<std::string> ExtensionTest::Boxes() const {
    std::vector<std::string> out;
    for (const auto& shown : ui->History()) {
        if (shown.kind == "message") out.push_back(shown.title + "|" + shown.text);
    }
    return out;
}

std::vector<std::string> ExtensionTest::StreamNames(const std::string& tag) {
    std::vector<std::string> names;
    for (const auto& s : Var<host::StreamListVariable>(tag)->GetStreams()) {
        names.push_back(s ? s->Name() : "<none>");
    }
    return names;
}

}  // namespace zefa::test
