#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "host/extension.h"
#include "lib/case.h"
#include "lib/case_file.h"

// What the unit operation's view does when the user edits a variable or
// presses a button: ask the extension (VariableChanging), store the value
// when it agrees, then tell it (VariableChanged).
namespace refhost {

// The host's account of one change, as the extension receives it.
class ViewChange final : public host::VariableWrapper {
  public:
    ViewChange(std::string tag, int row, double number, std::string text,
               std::shared_ptr<host::Variable> object)
        : tag_(std::move(tag)),
          row_(row),
          number_(number),
          text_(std::move(text)),
          object_(std::move(object)) {}
    std::string Tag() const override { return tag_; }
    int Row() const override { return row_; }
    double NewNumber() const override { return number_; }
    std::string NewText() const override { return text_; }
    std::shared_ptr<host::Variable> VariableObject() const override { return object_; }

  private:
    std::string tag_;
    int row_;
    double number_;
    std::string text_;
    std::shared_ptr<host::Variable> object_;
};

// One edit: TAG=VALUE, TAG[ROW]=VALUE, or a button press (the command
// variable changed to 1).
struct ViewEdit {
    std::string tag;
    std::optional<std::size_t> row;
    std::string value;
    bool press = false;  // a button press
    // As the user wrote it, for messages: "TAG[ROW]=VALUE" or "press=TAG".
    std::string Describe() const;
};

// Bad syntax of an edit.
class EditSyntaxError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// Parses "TAG=VALUE" or "TAG[ROW]=VALUE" (ROW a whole number from 0).
// Throws EditSyntaxError.
ViewEdit ParseEdit(const std::string& text);
// The press of a button.
ViewEdit PressEdit(const std::string& command);

// A whole decimal number (also with fraction and exponent), finite.
bool ParseNumber(const std::string& text, double& value);

// Why the host's view would not let the user make this edit at all: a tag
// the unit does not have, a value that does not fit the variable's kind, a
// row outside the array, an unknown stream. Empty when it can be made.
// With `check_rows` false, rows are not checked (arrays change their length
// while a case runs).
std::string HostRefusal(PipelineUnit& unit, const ViewEdit& edit, const StreamResolver& streams,
                        bool check_rows = true);

// The result of an edit: stored, or refused by the host (with its reason)
// or by the extension (reason empty; the extension reported its own
// message, if any).
struct EditOutcome {
    bool stored = false;
    std::string host_reason;
};

// Makes the edit as the view does. A value is stored into the unit's
// variable: arrays by row; stream lists by stream name (without a row, or
// with the row just past the end, the stream is appended; an empty name
// removes the row); the reference stream by name. The wrapper carries the
// row (-1 for plain variables), the new value as number and text (a text
// that is no number gives the empty marker as its number) and the variable
// as its object, except for a stream list row that loses its stream, which
// has no object.
EditOutcome EditAsView(PipelineUnit& unit, host::UnitOperationExtension& extension,
                       const ViewEdit& edit, const StreamResolver& streams);

}  // namespace refhost
