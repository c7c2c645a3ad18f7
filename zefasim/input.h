#pragma once

// The input language of zefa-server: one statement per line (a line ending in a
// comma continues on the next), a keyword followed by KEY = VALUE [UNIT] entries
// separated by commas; "!" or "#" starts a comment. docs/input-language.md
// describes the statements.

#include <stdexcept>
#include <string>
#include <vector>

#include "model.h"

namespace zefasim {

class InputError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Entry {
    std::string key;    // upper case
    std::string value;  // as written
    std::string unit;   // as written, may be empty
};

struct Statement {
    std::string keyword;  // upper case
    std::vector<Entry> entries;
    int line = 0;
};

// Splits text into statements; `origin` names the text in error messages.
std::vector<Statement> ParseStatements(const std::string& text, const std::string& origin);

// Builds a model from a whole input file's text and sets its initial state.
Model BuildModel(const std::string& text, const std::string& origin);

// Reads and builds the model file at `path` (`name` is used in messages).
Model LoadModelFile(const std::string& path, const std::string& name);

// Applies keyword input lines (SHUTIN, POSITION, WELL) to a running model. All
// lines are checked first; on any error the model is left unchanged.
void ApplyKeywords(Model& model, const std::string& text);

}  // namespace zefasim
