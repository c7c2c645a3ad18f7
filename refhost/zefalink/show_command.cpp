// zefalink show: recalls a case and prints each pipeline unit's status line,
// status conditions and variables. Writes nothing.
#include <iostream>

#include "commands.h"
#include "pipeline_library.h"

namespace zefalink {
namespace {

std::string Join(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
    return out + "]";
}

std::string ValueText(const PipelineLibrary& library, const host::Variable& v) {
    if (auto* text = dynamic_cast<const host::TextVariable*>(&v)) return text->GetValue();
    if (auto* number = dynamic_cast<const host::NumberVariable*>(&v))
        return library.Format(number->GetValue());
    if (auto* texts = dynamic_cast<const host::TextArrayVariable*>(&v))
        return Join(texts->GetValues());
    if (auto* numbers = dynamic_cast<const host::NumberArrayVariable*>(&v)) {
        const host::NumberArray a = numbers->GetValues();
        std::vector<std::string> items;
        if (a.IsTwoD()) {
            for (std::size_t r = 0; r < a.rows; ++r) {
                std::vector<std::string> row;
                for (std::size_t col = 0; col < a.columns; ++col)
                    row.push_back(library.Format(a.At(r, col)));
                items.push_back(Join(row));
            }
        } else {
            for (double d : a.data) items.push_back(library.Format(d));
        }
        return Join(items);
    }
    if (auto* streams = dynamic_cast<const host::StreamListVariable*>(&v)) {
        std::vector<std::string> names;
        for (const auto& s : streams->GetStreams()) names.push_back(s ? s->Name() : "");
        return Join(names);
    }
    if (auto* object = dynamic_cast<const host::ObjectVariable*>(&v)) {
        auto stream = object->Object();
        return stream ? stream->Name() : "";
    }
    return "";
}

int RunShow(const std::string& path) {
    PipelineLibrary library;
    LoadedCase loaded;
    if (const int rc = OpenLibraryAndCase(library, path, loaded); rc != kExitOk) return rc;
    refhost::HostCase& c = loaded.c;
    EchoHostOutput(c);
    int rc = kExitOk;
    if (c.units.empty()) std::cout << "The case has no pipeline unit operation.\n";
    for (const auto& unit : c.units) {
        host::UnitOperationExtension* extension = library.Create();
        if (!extension) return kExitInternal;
        std::cout << "Unit " << unit->Name() << '\n';
        if (extension->Initialize(unit, true) != 4815) rc = kExitFailed;
        refhost::RecordingStatus status;
        extension->StatusQuery(status);
        if (library.Tools()) library.Tools()->update_status(extension);
        const double colour = unit->Get<host::NumberVariable>("StatusColor")->GetValue();
        std::cout << "Status: " << unit->Get<host::TextVariable>("StatusBarMessage")->GetValue()
                  << " (colour " << library.Format(colour) << ")\n";
        for (const auto& condition : status.conditions)
            std::cout << "Condition " << condition.code1 << ' ' << condition.code2 << ": "
                      << condition.text << '\n';
        for (const auto& variable : unit->Variables())
            std::cout << variable->Tag() << " = " << ValueText(library, *variable) << '\n';
        extension->Terminate();
    }
    return rc;
}

}  // namespace

void AddShowCommand(CLI::App& app, int& exit_code) {
    auto path = std::make_shared<std::string>();
    CLI::App* cmd = app.add_subcommand(
        "show", "Recall a case and print each pipeline unit's status and variables");
    cmd->add_option("case", *path, "Case file (CASE.json)")->required();
    cmd->callback([path, &exit_code] { exit_code = RunShow(*path); });
}

}  // namespace zefalink
