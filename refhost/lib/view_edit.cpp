// Edits and presses as the unit's view makes them: parsing TAG[ROW]=VALUE,
// the host's own refusals, and the edit carried out on the extension.
#include "lib/view_edit.h"

#include <cctype>
#include <charconv>
#include <cmath>

#include "lib/components.h"
#include "lib/variables.h"

namespace refhost {

namespace {

bool IsTagText(const std::string& tag) {
    if (tag.empty()) return false;
    for (char c : tag)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

// The number a value stands for: the empty marker for an empty value, else
// the parsed number, else nothing.
std::optional<double> NumberOf(const std::string& value) {
    if (value.empty()) return host::kEmptyNumber;
    double v = 0.0;
    if (ParseNumber(value, v)) return v;
    return std::nullopt;
}

std::string RowText(std::size_t row) {
    // Texts that begin with a one-character literal are built piece by
    // piece here: GCC 12 at -O3 misreads "x" + text as an overlapping copy.
    std::string text(1, '[');
    text += std::to_string(row);
    text += ']';
    return text;
}

std::string OutsideRows(const ViewEdit& edit, std::size_t count) {
    return edit.tag + RowText(*edit.row) + ": the row is outside the array of " +
           std::to_string(count) + " entries";
}

std::size_t Count(host::Variable& variable) {
    switch (variable.Kind()) {
        case host::VariableKind::TextArray:
            return dynamic_cast<host::TextArrayVariable&>(variable).GetValues().size();
        case host::VariableKind::NumberArray:
            return dynamic_cast<host::NumberArrayVariable&>(variable).GetValues().Count();
        case host::VariableKind::StreamList:
            return dynamic_cast<host::StreamListVariable&>(variable).GetStreams().size();
        default:
            return 0;
    }
}

}  // namespace

std::string ViewEdit::Describe() const {
    if (press) return "press=" + tag;
    return tag + (row ? RowText(*row) : "") + "=" + value;
}

bool ParseNumber(const std::string& text, double& value) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    const auto [end, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && end == last && first != last && std::isfinite(value);
}

ViewEdit ParseEdit(const std::string& text) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) throw EditSyntaxError("expected TAG=VALUE, got \"" + text + "\"");
    ViewEdit edit;
    std::string left = text.substr(0, eq);
    edit.value = text.substr(eq + 1);
    const std::size_t open = left.find('[');
    if (open != std::string::npos) {
        const std::string rows = left.substr(open + 1);
        std::size_t row = 0;
        const char* first = rows.data();
        const char* last = rows.data() + rows.size();
        const auto [end, ec] = std::from_chars(first, last, row);
        if (rows.empty() || ec != std::errc() || end == first || end + 1 != last || *end != ']' ||
            !std::isdigit(static_cast<unsigned char>(rows[0]))) {
            throw EditSyntaxError("expected TAG[ROW]=VALUE with a row from 0, got \"" + text +
                                  "\"");
        }
        // The host's array rows are counted in 32 bits.
        if (row > 0x7fffffffu) throw EditSyntaxError("the row of \"" + text + "\" is too large");
        edit.row = row;
        left.resize(open);
    }
    if (!IsTagText(left)) {
        throw EditSyntaxError("expected a variable tag (letters, digits, _) before '=' in \"" +
                              text + "\"");
    }
    edit.tag = left;
    return edit;
}

ViewEdit PressEdit(const std::string& command) {
    if (!IsTagText(command)) {
        std::string message(1, '"');
        message += command;
        message += "\" is not a command name";
        throw EditSyntaxError(message);
    }
    return ViewEdit{command, std::nullopt, std::string(1, '1'), true};
}

std::string HostRefusal(PipelineUnit& unit, const ViewEdit& edit, const StreamResolver& streams,
                        bool check_rows) {
    std::shared_ptr<host::Variable> variable;
    try {
        variable = unit.FindVariable(edit.tag);
    } catch (const std::exception&) {
        std::vector<std::string> tags = PipelineCommandTags();
        for (const auto& v : unit.Variables()) tags.push_back(v->Tag());
        const std::string near = NearestName(edit.tag, tags);
        return edit.tag + " is not a variable of " + unit.Name() +
               (near.empty() ? "" : " (did you mean \"" + near + "\"?)");
    }
    const auto kind = variable->Kind();
    const bool array = kind == host::VariableKind::TextArray ||
                       kind == host::VariableKind::NumberArray ||
                       kind == host::VariableKind::StreamList;
    if (edit.row && !array) return edit.tag + " is not an array: write " + edit.tag + "=VALUE";
    if (!edit.row && array && kind != host::VariableKind::StreamList)
        return edit.tag + " is an array: write " + edit.tag + "[ROW]=VALUE";
    const std::size_t count = Count(*variable);
    switch (kind) {
        case host::VariableKind::Text:
            return "";
        case host::VariableKind::Number:
            if (!NumberOf(edit.value)) return edit.tag + ": \"" + edit.value + "\" is not a number";
            return "";
        case host::VariableKind::TextArray:
            if (check_rows && *edit.row >= count) return OutsideRows(edit, count);
            return "";
        case host::VariableKind::NumberArray:
            if (dynamic_cast<host::NumberArrayVariable&>(*variable).GetValues().IsTwoD())
                return edit.tag + " has two dimensions; the view does not edit it";
            if (check_rows && *edit.row >= count) return OutsideRows(edit, count);
            if (!NumberOf(edit.value))
                return edit.tag + RowText(*edit.row) + ": \"" + edit.value + "\" is not a number";
            return "";
        case host::VariableKind::StreamList:
            if (check_rows && edit.row && *edit.row > count) return OutsideRows(edit, count);
            if (edit.value.empty()) {
                if (!edit.row) return edit.tag + ": give the row whose stream is removed";
                if (check_rows && *edit.row >= count) return OutsideRows(edit, count);
                return "";
            }
            [[fallthrough]];
        case host::VariableKind::Object:
            if (!edit.value.empty() && !(streams && streams(edit.value)))
                return edit.tag + ": there is no stream \"" + edit.value + "\" in the case";
            return "";
    }
    return "";
}

EditOutcome EditAsView(PipelineUnit& unit, host::UnitOperationExtension& extension,
                       const ViewEdit& edit, const StreamResolver& streams) {
    EditOutcome outcome;
    outcome.host_reason = HostRefusal(unit, edit, streams);
    if (!outcome.host_reason.empty()) return outcome;
    auto variable = unit.FindVariable(edit.tag);
    const double number = NumberOf(edit.value).value_or(host::kEmptyNumber);
    const int row = edit.row ? static_cast<int>(*edit.row) : -1;
    std::shared_ptr<host::Variable> object = variable;
    if (variable->Kind() == host::VariableKind::StreamList && edit.value.empty()) object = nullptr;

    ViewChange change(edit.tag, row, number, edit.value, object);
    if (!extension.VariableChanging(change)) return outcome;

    // The extension may have changed the unit's arrays while it checked:
    // the row is looked at again before the value is stored.
    switch (variable->Kind()) {
        case host::VariableKind::Text:
            dynamic_cast<host::TextVariable&>(*variable).SetValue(edit.value);
            break;
        case host::VariableKind::Number:
            dynamic_cast<host::NumberVariable&>(*variable).SetValue(number);
            break;
        case host::VariableKind::TextArray: {
            auto& texts = dynamic_cast<host::TextArrayVariable&>(*variable);
            auto values = texts.GetValues();
            if (*edit.row >= values.size()) {
                outcome.host_reason = OutsideRows(edit, values.size());
                return outcome;
            }
            values[*edit.row] = edit.value;
            texts.SetValues(values);
            break;
        }
        case host::VariableKind::NumberArray: {
            auto& numbers = dynamic_cast<host::NumberArrayVariable&>(*variable);
            auto values = numbers.GetValues();
            if (values.IsTwoD() || *edit.row >= values.Count()) {
                outcome.host_reason = OutsideRows(edit, values.Count());
                return outcome;
            }
            values.At(*edit.row) = number;
            numbers.SetValues(values);
            break;
        }
        case host::VariableKind::StreamList: {
            auto& list = dynamic_cast<host::StreamListVariable&>(*variable);
            auto values = list.GetStreams();
            const std::size_t at = edit.row.value_or(values.size());
            if (edit.value.empty() ? at >= values.size() : at > values.size()) {
                outcome.host_reason = OutsideRows(edit, values.size());
                return outcome;
            }
            if (edit.value.empty()) {
                values.erase(values.begin() + static_cast<std::ptrdiff_t>(at));
            } else if (at == values.size()) {
                values.push_back(streams(edit.value));
            } else {
                values[at] = streams(edit.value);
            }
            list.SetStreams(values);
            break;
        }
        case host::VariableKind::Object:
            dynamic_cast<MemObjectVariable&>(*variable).SetObject(
                edit.value.empty() ? nullptr : streams(edit.value));
            break;
    }
    outcome.stored = true;
    extension.VariableChanged(change);
    return outcome;
}

}  // namespace refhost
