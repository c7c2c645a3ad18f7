// zefalink catalogue: look up pipeline variables in the extension's catalogue.

#include <charconv>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>

#include "catalogue/zefa_variables.h"
#include "commands.h"
#include "platform/error.h"

namespace zefalink {
namespace {

constexpr int kExitUnknownKey = 2;

struct CatalogueOptions {
    std::string key;
    bool all = false;
};

// A key must be written as a whole decimal number with an optional sign.
bool IsWholeNumber(const std::string& text) {
    std::size_t start = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    if (start == text.size()) return false;
    for (std::size_t i = start; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

void PrintEntry(std::int32_t key, const zefa::ZEFAVariableInfo& info) {
    std::cout << key << '\t' << info.KeyText << '\t' << info.Unit << '\t' << info.TypeCode << '\n';
}

int RunCatalogue(const CatalogueOptions& options) {
    if (options.all) {
        zefa::ZEFAVariableInfo info;
        for (std::int32_t key = 0; key <= zefa::kLastZEFAVariableKey;
             key += zefa::kZEFAVariableKeyStep) {
            zefa::GetZEFAVariableInfo(key, info);
            PrintEntry(key, info);
        }
        return 0;
    }

    const std::string& text = options.key;
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    std::int32_t key = 0;
    const auto [end, ec] = std::from_chars(first, text.data() + text.size(), key);
    try {
        // A whole number outside the 32-bit range is simply not a key either.
        if (ec != std::errc() || end != text.data() + text.size()) {
            throw zefa::Error(zefa::kUnknownZEFAVariableNumber,
                              std::string(zefa::kUnknownZEFAVariableSource),
                              std::string(zefa::kUnknownZEFAVariableLookupText));
        }
        zefa::ZEFAVariableInfo info;
        zefa::GetZEFAVariableInfo(key, info);
        PrintEntry(key, info);
        return 0;
    } catch (const zefa::Error& e) {
        std::cerr << e.what() << '\n';
        return kExitUnknownKey;
    }
}

}  // namespace

void AddCatalogueCommand(CLI::App& app, int& exit_code) {
    auto options = std::make_shared<CatalogueOptions>();
    CLI::App* cmd = app.add_subcommand(
        "catalogue", "Show the key text, unit and type code of pipeline variables");
    cmd->footer(
        "Prints one line KEY<TAB>TEXT<TAB>UNIT<TAB>TYPE per variable. Keys run from 0 to 13500\n"
        "in steps of 25.\n"
        "Exit status: 0 found; 2 KEY is not a variable key (the extension's error text goes\n"
        "to standard error); 64 usage error.");
    CLI::Option* key_opt =
        cmd->add_option("KEY", options->key, "numeric variable key, e.g. 13450")
            ->type_name("INTEGER")
            ->check(CLI::Validator(
                [](std::string& value) {
                    return IsWholeNumber(value)
                               ? std::string()
                               : "must be a whole number such as 13450, got '" + value + "'";
                },
                ""));
    CLI::Option* all_opt =
        cmd->add_flag("--all", options->all, "list every variable of the catalogue in key order");
    key_opt->excludes(all_opt);
    cmd->callback([options, &exit_code]() {
        if (!options->all && options->key.empty()) {
            throw CLI::RequiredError("KEY or --all");
        }
        exit_code = RunCatalogue(*options);
    });
}

}  // namespace zefalink
